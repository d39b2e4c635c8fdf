#include "engine/ftp/ftp_commands.h"

#include <array>
#include <cinttypes>
#include <cstdio>

#include "engine/log/dates.h"
#include "engine/log/strings.h"

namespace qv {

namespace {

// In code order: the table's index is the command code.
constexpr std::array<FtpCommandRow, 34> kCommands {{
    {"USER", false, false, false}, {"PASS", false, false, false}, {"ACCT", false, false, true},
    {"CWD", true, false, false},   {"CDUP", true, false, false},  {"SMNT", false, false, true},
    {"QUIT", false, false, false}, {"REIN", false, false, false}, {"PORT", false, false, false},
    {"PASV", false, false, false}, {"TYPE", false, false, false}, {"STRU", false, false, false},
    {"MODE", false, false, false}, {"RETR", true, false, false},  {"STOR", true, true, false},
    {"STOU", false, false, false}, {"APPE", false, false, true},  {"ALLO", false, false, true},
    {"REST", false, false, true},  {"RNFR", true, true, false},   {"RNTO", true, true, false},
    {"ABOR", false, false, false}, {"DELE", true, true, false},   {"RMD", true, true, false},
    {"MKD", true, true, false},    {"PWD", false, false, false},  {"LIST", false, false, false},
    {"NLST", false, false, true},  {"SITE", false, false, false}, {"SYST", false, false, false},
    {"STAT", false, false, false}, {"HELP", false, false, false}, {"NOOP", false, false, false},
    {"SIZE", true, false, false},
}};

constexpr FtpCommandRow kUnknownRow {"", false, false, false};

void collapseSlashes(std::string& path) {
    std::string out;
    for (char c : path)
        if (!(c == '/' && !out.empty() && out.back() == '/')) out += c;
    path = std::move(out);
}

std::string withSlashes(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string parentOf(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::size_t cut = folder.find_last_of('/');
    if (cut == std::string::npos || cut == 0) return "/";
    return folder.substr(0, cut);
}

}  // namespace

const FtpCommandRow& ftpCommandRow(FtpCode code) {
    int i = static_cast<int>(code);
    return i < 0 ? kUnknownRow : kCommands[static_cast<std::size_t>(i)];
}

FtpLine parseFtpLine(std::string_view line) {
    FtpLine parsed;
    std::size_t blank = line.find(' ');
    parsed.word = std::string(line.substr(0, blank));
    if (blank != std::string_view::npos) parsed.argument = std::string(line.substr(blank + 1));
    for (std::size_t i = 0; i < kCommands.size(); ++i)
        if (equalsNoCase(parsed.word, kCommands[i].word)) parsed.code = static_cast<FtpCode>(i);
    return parsed;
}

std::string displayedLine(const FtpLine& parsed, std::string_view line) {
    if (parsed.code == FtpCode::kPass) return "PASS ****";
    return std::string(line);
}

std::string ftpJoinPath(std::string_view folder, std::string_view argument) {
    std::string arg = withSlashes(argument);
    std::string path;
    if (arg.size() >= 1 && arg[0] == '/' && (arg.size() == 1 || arg[1] != '/')) {
        path = arg;
    } else if (arg == "..") {
        path = parentOf(withSlashes(folder));
    } else {
        path = withSlashes(folder);
        if (!path.empty() && path.back() == '/') path.pop_back();
        path += "/" + arg;
    }
    collapseSlashes(path);
    return path;
}

std::string homeFolderPath(std::string_view setting) {
    std::string path = "/" + withSlashes(setting);
    collapseSlashes(path);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool pathWithin(std::string_view path, std::string_view folder) {
    while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
    if (folder.empty()) return true;
    if (!path.starts_with(folder)) return false;
    return path.size() == folder.size() || path[folder.size()] == '/';
}

bool pathAbove(std::string_view path, std::string_view home) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/" || path.empty()) return false;
    return pathWithin(home, path) && !pathWithin(path, home);
}

std::string confineToHome(const std::string& path, std::string_view home, bool ancestorsAllowed) {
    if (pathWithin(path, home)) return path;
    if (ancestorsAllowed && pathAbove(path, home)) return path;
    std::string_view rest = path;
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return rest.empty() ? std::string(home) : ftpJoinPath(home, rest);
}

std::optional<PortTarget> parsePortArgument(std::string_view argument) {
    std::array<int, 6> fields {};
    std::size_t n = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = argument.find(',', start);
        std::string_view field = argument.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (n == fields.size() || field.empty() || field.size() > 3) return std::nullopt;
        int value = 0;
        for (char c : field) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return std::nullopt;
        fields[n++] = value;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (n != fields.size()) return std::nullopt;
    PortTarget target;
    auto* bytes = reinterpret_cast<unsigned char*>(&target.address);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(fields[static_cast<std::size_t>(i)]);
    target.port = fields[4] * 256 + fields[5];
    return target;
}

std::string passiveReply(uint32_t networkAddress, int port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkAddress);
    char text[96];
    std::snprintf(text, sizeof text, "227 Entering Passive Mode (%u,%u,%u,%u,%d,%d)\r\n", b[0], b[1], b[2], b[3],
                  port / 256, port % 256);
    return text;
}

std::string listingLine(const FolderEntry& entry) {
    std::string date = dosDateText(entry.dosDate);
    std::size_t comma = date.find(',');
    std::string first = comma == std::string::npos ? date : date.substr(0, comma);
    std::string second = comma == std::string::npos ? std::string() : date.substr(comma + 1);
    if (first.empty()) first = "?";
    if (second.empty()) second = "?";
    char head[64];
    std::snprintf(head, sizeof head, "%s   1 root     system %9" PRIu64 " ", entry.folder ? "drw-r--r--" : "-rw-r--r--",
                  entry.size);
    return concat({head, first, second, "  ", entry.name, "\r\n"});
}

std::string listingText(const std::vector<FolderEntry>& entries) {
    if (entries.empty()) return {};
    std::string text = "total " + std::to_string(entries.size()) + "\r\n";
    for (const FolderEntry& e : entries) text += listingLine(e);
    return text;
}

}  // namespace qv
