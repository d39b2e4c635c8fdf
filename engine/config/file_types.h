// Lookups in the file-type table by a name's extension: the text after the
// first dot (not the last: "a.tar.gz" has the extension "tar.gz"), compared
// on its first three characters.
#pragma once

#include <optional>
#include <string_view>

#include "engine/config/settings.h"

namespace qv {

// The text after the first "." at a position from the second character to
// the last but one of the name (the text after the last "/" of a path); the
// empty text at the name's end when there is none.
std::string_view fileExtension(std::string_view name);

// The Gopher type of the first entry that matches the upper-cased extension
// (the table was written for upper-case 8.3 names; here files keep their
// long names, mostly in lower case); '0' when none does.
char fileTypeChar(const Settings& s, std::string_view name);

// What a file in a program folder is: a program run through the gateway
// ("exe", "bat" and "pl", their first letters compared without regard to
// case), an extension library ("dll", "isa"), or neither (served as a
// file).  Files outside a program folder are always neither.  HTTP runs
// the first two; no protocol may hand them out as files.
enum class ProgramKind { kNone, kCgi, kExtension };
ProgramKind programKind(const AliasEntry* alias, std::string_view path);

// The MIME type for a name, matched on the upper-cased extension: the "|"
// entry for a name without extension, the first matching entry (even when
// it has no MIME type), else the "*" entry.  The name itself is not changed:
// the path that is later opened keeps its case.
std::optional<std::string_view> fileContentType(const Settings& s, std::string_view name);

// As fileContentType for the icon, but a matching entry without an icon
// falls back to the "*" entry's icon.
std::optional<std::string_view> fileIcon(const Settings& s, std::string_view name);

}  // namespace qv
