// The system calls through which the engine moves bytes: socket sends and
// receives, file sends, and file opens and writes.  Each wrapper is the
// plain call unless a test armed a fault for it; then the Nth call can fail
// with a chosen errno (a peer that resets, a disk that fills, a call that a
// signal interrupted) or move fewer bytes than it was asked to (a short
// write), so tests check what the engine does then instead of hoping for a
// full disk.  With nothing armed a call costs one relaxed atomic load.
#pragma once

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace qv {

enum class SysOp { kSend, kRecv, kSendfile, kOpen, kWrite };

ssize_t sysSend(int sock, const void* data, std::size_t length, int flags);
ssize_t sysRecv(int sock, void* data, std::size_t length, int flags);
ssize_t sysSendfile(int sock, int fd, off_t* offset, std::size_t count);
int sysOpen(const char* path, int flags, mode_t mode = 0);
ssize_t sysWrite(int fd, const void* data, std::size_t length);

// Writes every byte through sysWrite, going on after interrupted and short
// writes; false (errno set) when a write fails or stores nothing.
bool writeAll(int fd, std::string_view bytes);

// sysOpen, made again while a signal interrupts it.
int openRetrying(const char* path, int flags, mode_t mode = 0);

// For tests.  Arms a fault for the nth call of `op` from now on (1: the
// next one), made by any thread.  Several faults may be armed at once, for
// one operation or several; each counts the calls from when it was armed.
//
// failNthCall: the call does nothing and returns -1 with errno = `error`
// (nonzero).
void failNthCall(SysOp op, int n, int error);
// shortenNthCall: the call is made with at most `bytes` bytes (send, recv,
// sendfile and write; an open is made as asked).
void shortenNthCall(SysOp op, int n, std::size_t bytes);
// Drops every fault still armed.
void clearFaults();

}  // namespace qv
