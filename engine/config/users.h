// Checks on the user and group tables of the settings, the external user
// files of groups, and the per-user FTP keys of [Users].
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

// -1 no user given; -4 user not in the table; 0 the stored user has no
// password; -2 no password given; -3 the password differs; 0 it matches.
// Names and passwords compare exactly (case counts).
int checkUserPassword(const Settings& s, std::optional<std::string_view> user,
                      std::optional<std::string_view> password);

// 1 when the group (name compared without regard to case) lists the user
// (compared exactly) among its members.
int isUserInGroup(const Settings& s, std::optional<std::string_view> user, std::optional<std::string_view> group);

// 1 when the group (name compared exactly, as stored: "Staff") has an
// external user file whose [Users] section gives the user a password equal
// to the given one without regard to case.  A stored password that begins
// with "@" (also the default for a missing user) never matches.
int checkExternalUser(const Settings& s, std::optional<std::string_view> user,
                      std::optional<std::string_view> password, std::optional<std::string_view> group);

// 1 when the user is in the table and FTPSuperUser<N> starts with "1";
// otherwise prints "User not superuser.\r\n" and gives 0.
int isSuperUser(const Settings& s, std::optional<std::string_view> user);

// The user's FTP home; none (after "No FTP Home Dir found.\r\n") when the
// user is unknown or has no FTPDir<N>.  No user: none, silently.
std::optional<FtpHome> getFtpHome(const Settings& s, std::optional<std::string_view> user);

}  // namespace qv
