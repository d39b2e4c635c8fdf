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
    void clear();
};

}  // namespace qv::test
