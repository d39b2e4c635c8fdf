// Attaching a network share named in the settings ([remote] path%d).  This
// platform attaches shares through the system's mount configuration, not
// through the server, so every attempt reports why it was not attached;
// it never reports a silent success.
#pragma once

#include <string>

namespace qv {

// Returns 0 when attached; otherwise an errno value and `reason` holds the
// text to show after "Error mounting '%s'\r\n  ".
int attachNetworkShare(const std::string& remoteName, const std::string& user, const std::string& password,
                       std::string& reason);

}  // namespace qv
