#include "engine/config/file_types.h"

#include <string>

#include "engine/log/strings.h"

namespace qv {

namespace {

std::string upperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

// The last entry read with the given special extension ("*" or "|").
const FileTypeEntry* specialEntry(const Settings& s, std::string_view which) {
    const FileTypeEntry* found = nullptr;
    for (const auto& e : s.fileTypes)
        if (e.extension == which) found = &e;
    return found;
}

const FileTypeEntry* matchingEntry(const Settings& s, std::string_view extension) {
    for (const auto& e : s.fileTypes)
        if (sameExtension(e.extension, extension)) return &e;
    return nullptr;
}

std::optional<std::string_view> field(const FileTypeEntry* e, const std::optional<std::string> FileTypeEntry::*member) {
    if (!e || !(e->*member)) return std::nullopt;
    return std::string_view(*(e->*member));
}

}  // namespace

std::string_view fileExtension(std::string_view name) {
    // Only the last component counts: a dot in a folder name ("/srv/site.v2/")
    // must not make every file below it look alike.
    std::size_t slash = name.find_last_of('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.size() >= 3) {
        std::size_t dot = name.find('.', 1);
        if (dot != std::string_view::npos && dot <= name.size() - 2) return name.substr(dot + 1);
    }
    return name.substr(name.size());
}

char fileTypeChar(const Settings& s, std::string_view name) {
    const FileTypeEntry* e = matchingEntry(s, upperCase(fileExtension(name)));
    return e ? e->gopherType : '0';
}

ProgramKind programKind(const AliasEntry* alias, std::string_view path) {
    if (!alias || !alias->programs) return ProgramKind::kNone;
    std::string_view type = fileExtension(path);
    if (equalsNoCase(type, "dll") || equalsNoCase(type, "isa")) return ProgramKind::kExtension;
    if (startsWithNoCase(type, "exe") || startsWithNoCase(type, "bat") || startsWithNoCase(type, "pl"))
        return ProgramKind::kCgi;
    return ProgramKind::kNone;
}

std::optional<std::string_view> fileContentType(const Settings& s, std::string_view name) {
    std::string extension = upperCase(fileExtension(name));
    if (extension.empty()) return field(specialEntry(s, "|"), &FileTypeEntry::mimeType);
    if (const FileTypeEntry* e = matchingEntry(s, extension)) return field(e, &FileTypeEntry::mimeType);
    return field(specialEntry(s, "*"), &FileTypeEntry::mimeType);
}

std::optional<std::string_view> fileIcon(const Settings& s, std::string_view name) {
    std::string extension = upperCase(fileExtension(name));
    if (extension.empty()) return field(specialEntry(s, "|"), &FileTypeEntry::icon);
    const FileTypeEntry* e = matchingEntry(s, extension);
    if (e && e->icon) return std::string_view(*e->icon);
    return field(specialEntry(s, "*"), &FileTypeEntry::icon);
}

}  // namespace qv
