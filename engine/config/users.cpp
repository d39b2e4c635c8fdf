#include "engine/config/users.h"

#include <string>

#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

// The text size of an external password, as a buffer size: one character
// less is read.
constexpr std::size_t kExternalPasswordSize = 24;

// The user's 1-based position in the table.
std::optional<std::size_t> userNumber(const Settings& s, std::string_view user) {
    for (std::size_t i = 0; i < s.users.size(); ++i)
        if (s.users[i].name == user) return i + 1;
    return std::nullopt;
}


}  // namespace

int checkUserPassword(const Settings& s, std::optional<std::string_view> user,
                      std::optional<std::string_view> password) {
    if (!user) return -1;
    auto number = userNumber(s, *user);
    if (!number) return -4;
    const std::string& stored = s.users[*number - 1].password;
    if (stored.empty()) return 0;
    if (!password) return -2;
    return *password == stored ? 0 : -3;
}

int isUserInGroup(const Settings& s, std::optional<std::string_view> user, std::optional<std::string_view> group) {
    if (!user || !group) return 0;
    for (const auto& g : s.groups) {
        if (!equalsNoCase(g.name, *group)) continue;
        // Only the first group of that name counts, as for every lookup.
        for (const auto& member : g.members)
            if (member == *user) return 1;
        return 0;
    }
    return 0;
}

int checkExternalUser(const Settings& s, std::optional<std::string_view> user,
                      std::optional<std::string_view> password, std::optional<std::string_view> group) {
    if (!user || !password || !group) return 0;
    for (const auto& g : s.groups) {
        if (g.name != *group) continue;
        if (!g.externalFile) return 0;
        // "@" marks an entry that may not log in; it is also what a user
        // missing from the file reads as.
        std::string stored = ProfileFile(*g.externalFile).getString("Users", *user, "@", kExternalPasswordSize);
        if (!stored.empty() && stored.front() == '@') return 0;
        return equalsNoCase(stored, *password) ? 1 : 0;
    }
    return 0;
}

int isSuperUser(const Settings& s, std::optional<std::string_view> user) {
    auto number = user ? userNumber(s, *user) : std::nullopt;
    if (number && s.users[*number - 1].superUser) return 1;
    debugPrint("User not superuser.\r\n");
    return 0;
}

std::optional<FtpHome> getFtpHome(const Settings& s, std::optional<std::string_view> user) {
    if (!user) return std::nullopt;
    auto number = userNumber(s, *user);
    if (number && s.users[*number - 1].ftpHome) return s.users[*number - 1].ftpHome;
    debugPrint("No FTP Home Dir found.\r\n");
    return std::nullopt;
}

}  // namespace qv
