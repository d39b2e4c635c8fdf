#include "engine/platform/network_drive.h"

#include <cerrno>

namespace qv {

int attachNetworkShare(const std::string& remoteName, const std::string& user, const std::string& password,
                       std::string& reason) {
    reason =
        "Network shares are not attached by the server on this system; mount the share through the "
        "system's mount table and name the mounted folder in the settings instead.\r\n";
    return EOPNOTSUPP;
}

}  // namespace qv
