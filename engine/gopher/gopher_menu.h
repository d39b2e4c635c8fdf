// Gopher requests and menus, free of sockets and files: the request line
// split into item type and path, and one menu line per folder entry.
//
// Wire contract of a menu (RFC 1436 layout, TAB between fields):
//   <type><display text>\t<selector>\t<host>\t<port>\r\n   one per entry
//   .\r\n                                                  the end
// A selector is the entry's type letter, the folder's path, "/" and the
// entry's name, so the first character of a request names the kind of
// item wanted ("1" a menu, anything else a file).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/config/settings.h"
#include "engine/core/folder_entries.h"

namespace qv {

constexpr char kMenuType = '1';
constexpr std::string_view kMenuEnd = ".\r\n";
// Descriptions from the folder's access file are cut to this length.
constexpr std::size_t kDescriptionLength = 127;

struct GopherRequest {
    char type = kMenuType;
    std::string path;  // backslashes turned into "/"
};

// The received line without its line end.  An empty line asks for the root
// menu.  A TAB ends the selector: what follows is a search text or a
// Gopher+ marker ("\t$", "\t+"), which this server does not take.
GopherRequest parseGopherRequest(std::string_view line);

// Where a menu is served from and what its links name.
struct MenuFolder {
    std::string_view path;  // the requested path, the selectors' middle part
    std::string_view host;
    int port = 0;
};

// The entry's line, CR LF ended.  Folders get type "1" and "name/"; files
// their Gopher type from the file-type table and the name right-aligned in
// 12 characters, size text and date; a description is added as ": text".
std::string menuLine(const Settings& s, const MenuFolder& folder, const FolderEntry& e,
                     const std::optional<std::string>& description);

// A text made fit for one field of a menu line: TAB, CR and LF, which would
// end the field or the line, become blanks.
std::string menuField(std::string_view text);

}  // namespace qv
