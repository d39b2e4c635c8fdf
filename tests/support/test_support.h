// Helpers shared by the tests: temporary folders, a sink that collects the
// engine's diagnostic text, and files written in one call.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace qv::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Installs itself as the debug sink for its lifetime and keeps every text.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    std::vector<std::string> texts() const;
    std::string joined() const;
    bool contains(const std::string& piece) const { return joined().find(piece) != std::string::npos; }
    // How often the piece occurs in all the text.
    int count(const std::string& piece) const;
    void clear();
};

// Drops every system-call fault still armed when it goes, so a fault that
// a failing test left unfired cannot hit the next test.
struct FaultsCleared {
    FaultsCleared() = default;
    ~FaultsCleared();
    FaultsCleared(const FaultsCleared&) = delete;
    FaultsCleared& operator=(const FaultsCleared&) = delete;
};

}  // namespace qv::test
