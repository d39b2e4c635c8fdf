#include "tests/support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/output.h"
#include "engine/platform/syscalls.h"

namespace qv::test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvtest-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
std::mutex captureMutex;
std::vector<std::string> captured;

int captureSink(std::string_view text) {
    std::lock_guard lock(captureMutex);
    captured.emplace_back(text);
    return 1;
}
}  // namespace

CapturedOutput::CapturedOutput() {
    clear();
    setDebugSink(captureSink);
}

CapturedOutput::~CapturedOutput() { setDebugSink(nullptr); }

std::vector<std::string> CapturedOutput::texts() const {
    std::lock_guard lock(captureMutex);
    return captured;
}

std::string CapturedOutput::joined() const {
    std::string all;
    for (const auto& t : texts()) all += t;
    return all;
}

int CapturedOutput::count(const std::string& piece) const {
    const std::string all = joined();
    int n = 0;
    for (auto at = all.find(piece); !piece.empty() && at != std::string::npos; at = all.find(piece, at + piece.size()))
        ++n;
    return n;
}

FaultsCleared::~FaultsCleared() { clearFaults(); }

void CapturedOutput::clear() {
    std::lock_guard lock(captureMutex);
    captured.clear();
}

long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

EnginePtr startEngine(const TempFolder& etc, const TempFolder& run, const std::string& ini,
                      std::vector<Protocol> protocols, ThreadStarter startThread) {
    EngineOptions options;
    options.protocols = std::move(protocols);
    options.startThread = startThread;
    return startEngineWith(etc, run, ini, std::move(options));
}

EnginePtr startEngineWith(const TempFolder& etc, const TempFolder& run, const std::string& ini, EngineOptions options) {
    writeFile(etc.file("quorvane.ini"), ini);
    options.settingsFolder = etc.path();
    options.runtimeFolder = run.path();
    EnginePtr engine = createEngine(std::move(options));
    startServers(*engine);
    return engine;
}

}  // namespace qv::test
