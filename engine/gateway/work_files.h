// The files one gateway program run exchanges with the server, in the temp
// folder: the request body (content file), the request profile, the
// program's standard error and its output.  Each run has its own names
// ("CGIco<id>.qvx", "CGIin<id>.qvx", "CGIer<id>.qvx", "CGIou<id>.qvx", one
// <id> for the four), made with O_EXCL and mode 0600 (a body may carry a
// password), so no run, engine or lingering program reads another's.
#pragma once

#include <string>
#include <vector>

namespace qv {

struct WorkFiles {
    std::string content;
    std::string profile;
    std::string error;
    std::string output;
    std::vector<std::string> externals;  // form values written to files of their own
    bool keep = false;                   // left in place for inspection

    WorkFiles() = default;
    WorkFiles(const WorkFiles&) = delete;
    WorkFiles& operator=(const WorkFiles&) = delete;
    // Deletes every file made, unless `keep`.
    ~WorkFiles();
};

// Creates the four files, empty.  0, or the errno of the failure (nothing
// is left behind then).
int createWorkFiles(const std::string& tempFolder, WorkFiles& files);

// Writes `text` into a new file of mode 0600 at `path` (replacing one
// there).  0 or errno.
int writeWorkFile(const std::string& path, std::string_view text);

}  // namespace qv
