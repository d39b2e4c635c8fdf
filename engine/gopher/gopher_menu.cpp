#include "engine/gopher/gopher_menu.h"

#include "engine/config/file_types.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"

namespace qv {

namespace {

constexpr std::size_t kNameColumn = 12;

std::string displayText(const FolderEntry& e, const std::optional<std::string>& description) {
    std::string text;
    if (e.folder) {
        text = e.name + "/";
    } else {
        std::string name = e.name.size() < kNameColumn ? std::string(kNameColumn - e.name.size(), ' ') + e.name : e.name;
        text = concat({name, " ", listingSizeText(e.size), " ", dosDateText(e.dosDate)});
    }
    if (description) text = concat({text, ": ", description->substr(0, kDescriptionLength)});
    return menuField(text);
}

// "/docs" and "a.txt" give "/docs/a.txt"; a path that already ends in "/"
// (the root, "/") gets no second one.
std::string selectorPath(std::string_view path, std::string_view name) {
    if (!path.empty() && path.back() == '/') return concat({path, name});
    return concat({path, "/", name});
}

}  // namespace

GopherRequest parseGopherRequest(std::string_view line) {
    line = line.substr(0, line.find('\t'));
    GopherRequest r;
    if (line.empty()) return r;
    r.type = line.front();
    r.path = std::string(line.substr(1));
    for (char& c : r.path)
        if (c == '\\') c = '/';
    return r;
}

std::string menuField(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return out;
}

std::string menuLine(const Settings& s, const MenuFolder& folder, const FolderEntry& e,
                     const std::optional<std::string>& description) {
    const char type = e.folder ? kMenuType : fileTypeChar(s, e.name);
    const std::string_view typeText(&type, 1);
    const std::string selector = menuField(selectorPath(folder.path, e.name));
    return concat({typeText, displayText(e, description), "\t", typeText, selector, "\t", menuField(folder.host),
                   "\t", std::to_string(folder.port), "\r\n"});
}

}  // namespace qv
