// Talking to a client: a read with a time-out that returns raw bytes or one
// line, a buffered send, whole-file sends and receives, and the close.  All
// take the Connection of the calling thread and no lock.  Byte counts feed
// the logs and SocketInfoList: what flushSend and sendFileRaw send is added
// to `bytesSent` and the record; what sendBytes sends directly past the
// buffer is counted in neither.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/core/connection.h"
#include "engine/platform/clock.h"

namespace qv {

// Longest a send or a file receive may stall before it fails: a client that
// stops reading (or sending an upload) for this long is given up.
constexpr int kTransferStallSeconds = 300;

// Reads into `buffer`, whose last byte is kept for the terminating NUL (so
// at most buffer.size() - 1 bytes are read).
//
// Raw mode: the bytes of one receive, waiting at most `timeoutSeconds` for
// them; 0 when the peer has closed.
//
// Bytes are read ahead into the connection's own buffer, so a line costs one
// receive, not a peek and a read; bytes past a line stay for the next read.
//
// Line mode: reads up to and including a line feed, or until the buffer is
// full.  Each new chunk may take up to `timeoutSeconds` to arrive (the limit
// counts from zero for every chunk).  A final "\n", then a final "\r", is
// removed when at least two bytes were read.  Bytes after the line feed stay
// in the socket.
//
// Results: the byte count; -2 when the time-out passed with no data; -1 on
// an error, an empty buffer, or a peer that closed before a line ended.
int readSocket(Connection& c, std::span<char> buffer, bool lineMode, int timeoutSeconds);

// readLineBefore: how the line came.
enum class LineRead { kRead, kTimedOut, kClosed, kOverBudget };

// Reads one line through its line feed into `line`, without the line feed
// and one carriage return before it.  At most `keep` characters are kept;
// the rest of a longer line is read and dropped (`cut` tells), so its tail
// never passes for a line of its own.  At most `budget` bytes are read in
// all (line end included; the budget is lowered by what was read), and no
// wait goes past `deadline`.  A time-out prints the read time-out text.
LineRead readLineBefore(Connection& c, std::string& line, std::size_t keep, std::size_t& budget,
                        SteadyClock::time_point deadline, bool& cut);

// For a reader that parses the stream itself: the received bytes not yet
// read, receiving more first when there are none (waiting at most
// `timeoutSeconds`).  The caller takes what it uses with takeReceived, so
// bytes past its end stay for the next read.  1 bytes are in `bytes`; 0 the
// peer closed; -1 an error; -2 the time-out passed with no data.
int peekReceived(Connection& c, std::string_view& bytes, int timeoutSeconds);
// Marks `count` bytes of what peekReceived gave as read.
void takeReceived(Connection& c, std::size_t count);

// Drops a CR LF (or a lone LF) that is already waiting; some clients send
// one after a request body.
void discardLineEnd(Connection& c);

// 0 when sent or nothing to send; 1 when a send failed.  The bytes that
// left before the failure are counted and dropped from the buffer; the rest
// is kept, so a later flush tries those again and never repeats any.
// `more`: more bytes follow at once, so the system may hold these to fill
// a segment.
int flushSend(Connection& c, bool more = false);

// Drops what the send buffer holds, unsent and uncounted: for a response
// given up after a failed send, whose connection is ending.
void discardSend(Connection& c);

// Buffers small sends; a send that would fill the buffer flushes it and
// goes out directly.  0 buffered or sent; 1 the flush or the direct send
// failed (after a failed flush the data is not sent at all).
int sendBytes(Connection& c, std::string_view data);
inline int sendString(Connection& c, std::string_view text) { return sendBytes(c, text); }

// Results of sendFileRaw and sendFile.
constexpr int kFileSent = 0;        // sent whole
constexpr int kFileNotOpened = 1;   // the file failed to open or is empty; nothing was sent
constexpr int kFileSendFailed = 2;  // a send failed on the way: the peer has part of it
constexpr int kFileShort = 3;       // fewer bytes than its size went (a file that shrank)

// Sends a whole file with as few sendfile calls as the socket accepts,
// without flushing the buffer first (nothing is copied through it, so
// `buffsize` plays no part).
int sendFileRaw(Connection& c, const std::string& path);
// flushSend, then sendFileRaw; kFileSendFailed when the flush failed.
int sendFile(Connection& c, const std::string& path);

// Stores everything the peer sends until it closes.  The byte count, or -1.
// A file of more than `maxBytes` is refused (-1) and what was stored of it
// removed.
int64_t receiveFile(Connection& c, const std::string& path, int64_t maxBytes);

// flushSend, then close.  0, or the nonzero result of the close.
int closeConnection(Connection& c);

// Sends every byte (retrying interrupted and partial sends); false when the
// peer is gone or stalled past the socket's send time-out.
bool sendAll(int sock, std::string_view data, int flags = 0);

}  // namespace qv
