// Local delivery: a received message, held in its spool file, appended to
// the mail file of every local recipient its control file names.
//
// A mail file is an mbox file: a sequence of messages, each opened by a
// "From " line and closed by an empty line.  Each message goes in whole
// under a write lock that mail readers honour (fcntl), is synced to the
// disk before delivery counts as done, and is taken back when it could
// not be written whole, so a mail file never holds a part of a message.
//
// The outcome for each local recipient is added to the control file:
//
//   [Mail Status]
//   To<n>=Sent | Error Appending
//
// numbered as the recipients under [Mail Info]; others get no key.
#pragma once

#include <string>

#include "engine/platform/profile.h"

namespace qv {

struct DeliveryCount {
    int sent = 0;
    int failed = 0;
};

// 1 when the control file named a spool file and at least one recipient
// (then every local recipient was tried), else 0.  `count`, when given,
// receives how many local recipients got the message and how many did not.
int processMailControlFile(const std::string& controlPath, const ProfileFile& users,
                           DeliveryCount* count = nullptr);

// Appends the whole of `source` to the mail file `target` (created with
// mode 0600 when missing) as described above.  1 when it was appended and
// synced, 0 otherwise (the target then is as it was).
int AppendFile(const std::string& source, const std::string& target);

// Whether a message could be appended to `mailFile` now: an existing
// regular file the server may write, or a missing one in a folder where it
// may create files.
bool mailFileWritable(const std::string& mailFile);

}  // namespace qv
