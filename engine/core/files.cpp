#include "engine/core/files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/syscalls.h"

namespace qv {

namespace {

// The lines that tell an operator a work or log file could not be made or
// written, each its own text as the debug log viewer shows them.
void reportFileTrouble(const char* headline, const std::string& path, bool suggestCreating) {
    debugPrint(headline);
    debugPrint(path);
    debugPrint("]\r\n");
    debugPrint("  Check your TempDir config. Check your disk space.\r\n");
    if (suggestCreating) debugPrint("  If the file does not exist, try creating it.\r\n");
}

void reportCannotCreate(const std::string& path) { reportFileTrouble("UNABLE TO CREATE TEMP FILE!  [", path, false); }

}  // namespace

int openForAppend(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        int fd = openRetrying(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) reportFileTrouble("UNABLE TO WRITE TO TEMP FILE!  [", path, true);
        return fd;
    }
    debugPrint("\r\nCREATING TEMP FILE [");
    debugPrint(path);
    debugPrint("]\r\n");
    int fd = openRetrying(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) reportCannotCreate(path);
    return fd;
}

int Createfile(const std::string& path) {
    int fd = openRetrying(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        debugPrint("Createfile: Error creating file '" + path + "'\r\n  " + systemErrorText());
        return -1;
    }
    close(fd);
    return 0;
}

int CreateFileWith(const std::string& path, std::string_view bytes) {
    int fd = openRetrying(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        debugPrint("CreateFileWith: Error creating file '" + path + "'\r\n  " + systemErrorText());
        return -1;
    }
    if (!writeAll(fd, bytes)) {
        debugPrint("CreateFileWith: Error writing to file file '" + path + "'\r\n  " + systemErrorText());
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

int createTempFile(const std::string& path, std::optional<std::string_view> text) {
    int fd = openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        reportCannotCreate(path);
        return -1;
    }
    bool ok = !text || writeAll(fd, *text);
    close(fd);
    if (!ok) {
        reportCannotCreate(path);
        return -1;
    }
    return 0;
}

int appendTo(int fd, const std::string& path, std::string_view text) {
    struct stat before {};
    const bool sized = fstat(fd, &before) == 0;
    bool ok = writeAll(fd, text);
    // A line cut off by a full disk would run into the next one: the file
    // goes back to the length it had (callers hold the file's mutex, so
    // nobody appended meanwhile).  Should that fail too, the diagnostic
    // below still tells the operator to look at the disk.
    if (!ok && sized) {
        [[maybe_unused]] int truncated = ftruncate(fd, before.st_size);
    }
    if (!ok) {
        reportFileTrouble("UNABLE TO WRITE TO TEMP FILE!  [", path, false);
        return -1;
    }
    return 0;
}

int appendToFile(const std::string& path, std::optional<std::string_view> text) {
    if (!text) return 0;
    int fd = openForAppend(path);
    if (fd < 0) return -1;
    int rc = appendTo(fd, path, *text);
    close(fd);
    return rc;
}

int folderExists(const std::string& path) {
    if (path.empty()) return 0;
    DIR* dir = opendir(path.c_str());
    if (!dir) return 0;
    closedir(dir);
    return 1;
}

}  // namespace qv
