// Appending to a file that other threads and processes append to as well:
// the writer takes the file's exclusive lock, waiting a bounded time.
#pragma once

#include <chrono>
#include <string>

#include "engine/platform/unique_fd.h"

namespace qv {

// Opens an existing file for appending and takes its exclusive lock
// (flock), trying again until `wait` has passed; the lock goes with the
// descriptor.  Invalid with errno set when the file cannot be opened
// (ENOENT for a missing one) or stays locked (EWOULDBLOCK).
UniqueFd openLockedForAppend(const std::string& path, std::chrono::milliseconds wait);

// Takes the exclusive flock of an open file, trying again until `wait` has
// passed.  0, or the errno (EWOULDBLOCK when the file stayed locked).
int lockExclusive(int fd, std::chrono::milliseconds wait);

// Takes a write lock on the whole file through fcntl, trying again until
// `wait` has passed.  The lock is an open-file-description lock: it
// conflicts with the record locks other programs take with fcntl or lockf
// (mail readers lock mailboxes that way) and with other descriptors of
// this process, and goes when the descriptor is closed.  0, or the errno
// (EWOULDBLOCK when the file stayed locked).
int lockRecordsForWriting(int fd, std::chrono::milliseconds wait);

}  // namespace qv
