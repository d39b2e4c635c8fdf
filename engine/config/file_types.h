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

// The Gopher type of the first entry whose extension matches exactly (case
// counts); '0' when none does.
char fileTypeChar(const Settings& s, std::string_view name);

// The MIME type for a name, matched on the upper-cased extension: the "|"
// entry for a name without extension, the first matching entry (even when
// it has no MIME type), else the "*" entry.  The name itself is not changed:
// the path that is later opened keeps its case.
std::optional<std::string_view> fileContentType(const Settings& s, std::string_view name);

// As fileContentType for the icon, but a matching entry without an icon
// falls back to the "*" entry's icon.
std::optional<std::string_view> fileIcon(const Settings& s, std::string_view name);

}  // namespace qv
