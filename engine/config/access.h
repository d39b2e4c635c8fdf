// Host masks, FTP rights and the per-folder access file "access.qac".
//
// [Host Restrictions] of the settings file maps a restriction name (the
// access word of an alias) to a dotted mask, and "<name>.redirect" to where
// a refused HTTP client is sent.  "access.qac" in a served folder holds
// [Description], [counts], [count] StartDate, [messages] simple_format and
// [cgi mode] entries for the files of that folder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

// The first four words of the text (cut to 31 characters, split at ".",
// blank, CR and LF) as numbers cut to 8 bits; missing words give 0.
std::array<uint8_t, 4> parseDottedQuad(std::string_view text);

// 1 when, under the mask, the client's address equals the server's own
// (`ownAddress`, network byte order, as the listening socket reports it);
// 0 otherwise and when there is no client address.
int addressInMask(std::string_view mask, uint32_t ownAddress, std::optional<std::string_view> client);

// Operation 0 reads, 1 writes.  1 when the alias's FTP rights (owner, group,
// others; "r" then "w" in each group of three) allow it, or the user is an
// FTP super user; 0 otherwise, also for another operation, no alias or no
// user.  An alias without FTP owner or group uses "!nobody" instead.
int checkFtpRights(const Settings& s, const AliasEntry* alias, int operation, std::optional<std::string_view> user);

// The access file that governs a file: "access.qac" in the folder holding
// it (a path without "/" is taken as the folder itself).
std::string accessFilePath(std::string_view filePath);

// One value of that access file, cut to size - 1 characters; none when the
// file, section or key is missing or the value is empty.
std::optional<std::string> readAccessFile(std::string_view filePath, std::string_view section, std::string_view key,
                                          std::size_t size);

}  // namespace qv
