#include "engine/gateway/cgi_launch.h"

#include "engine/config/file_types.h"
#include "engine/log/strings.h"

namespace qv {

namespace {

constexpr std::size_t kQueryCommandLimit = 80;

std::size_t lineLength(const std::vector<std::string>& words) {
    std::size_t n = words.empty() ? 0 : words.size() - 1;
    for (const auto& w : words) n += w.size();
    return n;
}

std::string folderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::vector<std::string> commandWords(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t\r\n", at)) != std::string_view::npos) {
        std::size_t end = line.find_first_of(" \t\r\n", at);
        words.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

Launch planLaunch(const LaunchInput& in) {
    Launch l;
    std::string_view type = fileExtension(in.scriptPath);
    const bool perl = equalsNoCase(type, "pl");
    if (perl) {
        l.program = in.perlCompiler;
        l.argv = {in.perlCompiler, in.scriptPath};
        l.workDir = in.perlDir;
        l.captureOutput = true;
    } else {
        const bool standard = in.standardFlag || in.standardMode;
        l.program = in.scriptPath;
        l.argv = {in.scriptPath};
        if (!standard) l.argv.insert(l.argv.end(), {in.profileFile, in.contentFile, in.outputFile});
        l.workDir = folderOf(in.scriptPath);
        l.captureOutput = in.standardMode;
    }
    if (!in.query.empty() && lineLength(l.argv) + in.query.size() < kQueryCommandLimit) {
        std::string decoded = in.query;
        urlUnescape(decoded, true);
        for (auto& word : commandWords(decoded)) l.argv.push_back(std::move(word));
    }
    if (in.command && !perl) {
        l.argv = commandWords(*in.command);
        l.program = l.argv.empty() ? std::string() : l.argv.front();
        l.workDir.clear();
        l.captureOutput = true;
        return l;
    }
    if (startsWithNoCase(type, "bat")) {
        l.argv.insert(l.argv.begin(), "/bin/sh");
        l.program = "/bin/sh";
    }
    return l;
}

}  // namespace qv
