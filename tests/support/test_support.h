// Helpers shared by the tests: temporary folders, a sink that collects the
// engine's diagnostic text, files written in one call, and engines started
// on settings of the test's own.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "engine/quorvane.h"

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

// The resident memory of this process, in KiB.
long residentKib();

// Writes `ini` as the settings file in `etc` and starts an engine on it with
// `run` as its runtime folder (and the built-in protocols unless a table is
// given).  The engine stops when the pointer lets it go.
EnginePtr startEngine(const TempFolder& etc, const TempFolder& run, const std::string& ini,
                      std::vector<Protocol> protocols = {}, ThreadStarter startThread = nullptr);
// The same with options of the test's own; their folders are set here.
EnginePtr startEngineWith(const TempFolder& etc, const TempFolder& run, const std::string& ini, EngineOptions options);

}  // namespace qv::test
