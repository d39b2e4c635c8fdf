// The mail users served here, from the mail-user file "qvx_mail.ini" beside
// the settings file:
//
//   [mail domains]   a domain served here = any non-empty text
//   [mail files]     a full address (user@domain) or a local user name =
//                    the path of that user's mail file
//
// Section and key names match without regard to case.
#pragma once

#include <string>
#include <string_view>

#include "engine/platform/profile.h"

namespace qv {

inline constexpr std::string_view kMailUsersFileName = "qvx_mail.ini";
inline constexpr std::size_t kMailUserNameLength = 64;
inline constexpr std::size_t kMailDomainLength = 64;
inline constexpr std::size_t kMailFilePathLength = 250;

// findMailUser's results.
constexpr int kMailUserUnknown = 0;
constexpr int kMailUserLocal = 1;    // a user of ours whose mail file is known
constexpr int kMailUserForeign = 2;  // not in a domain served here

struct MailUser {
    std::string name;      // up to kMailUserNameLength characters
    std::string domain;    // up to kMailDomainLength characters
    std::string mailFile;  // up to kMailFilePathLength characters
    bool local = false;
};

// Looks `address` up in the mail-user file and fills `user` (cleared
// first), telling the diagnostic output what it found.
int findMailUser(const ProfileFile& users, std::string_view address, MailUser& user);

}  // namespace qv
