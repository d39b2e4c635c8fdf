#include "engine/smtp/mail_users.h"

#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

namespace {

constexpr std::string_view kDomains = "mail domains";
constexpr std::string_view kFiles = "mail files";
// Only this much of an address is split into name and domain.
constexpr std::size_t kSplitLength = 128;

// A key whose value is empty counts as absent.
std::string valueOf(const ProfileFile& users, std::string_view section, std::string_view key) {
    return users.getString(section, key, "", kMailFilePathLength + 1);
}

}  // namespace

int findMailUser(const ProfileFile& users, std::string_view address, MailUser& user) {
    user = MailUser {};
    debugPrint(concat({"Asked to find '", address, "'\r\n"}));
    std::string file = valueOf(users, kFiles, address);
    if (!file.empty()) {
        debugPrint("Local user found.\r\n");
        user.name = address.substr(0, kMailUserNameLength);
        user.mailFile = std::move(file);
        user.local = true;
        return kMailUserLocal;
    }
    const std::string_view cut = address.substr(0, kSplitLength);
    const std::size_t at = cut.find('@');
    if (at == std::string_view::npos) {
        debugPrint("Local user not found.\r\n");
        return kMailUserUnknown;
    }
    user.name = cut.substr(0, std::min(at, kMailUserNameLength));
    user.domain = cut.substr(at + 1, kMailDomainLength);
    if (valueOf(users, kDomains, cut.substr(at + 1)).empty()) {
        debugPrint("User not in our domain.  Will try to forward\r\n");
        return kMailUserForeign;
    }
    file = valueOf(users, kFiles, cut.substr(0, at));
    if (file.empty()) {
        debugPrint("User not found in our domain.\r\n");
        user = MailUser {};
        return kMailUserUnknown;
    }
    debugPrint("User found in our domain.\r\n");
    user.mailFile = std::move(file);
    user.local = true;
    return kMailUserLocal;
}

}  // namespace qv
