// RNFR/RNTO, DELE, MKD and RMD: changes made to the files of a session's
// folders once the write check has passed.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/ftp/ftp_session.h"
#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {

bool renameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link never replaces either
    // (folders cannot be linked, so they are not renamed there).
    if (link(from.c_str(), to.c_str()) != 0) return false;
    if (unlink(from.c_str()) != 0) {
        int err = errno;
        unlink(to.c_str());
        errno = err;
        return false;
    }
    return true;
}

void ftpRnfr(FtpSession& s, const FtpTarget& t) {
    s.renameFrom = t.physical;
    ftpReply(s, "350 File exists, ready for destination name\r\n");
    debugPrint("350 File exists, ready for destination name\r\n");
}

void ftpRnto(FtpSession& s, const FtpTarget& t) {
    constexpr std::string_view kExists = "550 xxx: File already exists.  Size > 0.\r\n";
    constexpr std::string_view kFailed = "550 RNTO unknown error.\r\n";
    struct stat st {};
    if (lstat(t.physical.c_str(), &st) == 0) {
        ftpReply(s, kExists);
        return;
    }
    std::optional<std::string> from = std::exchange(s.renameFrom, std::nullopt);
    if (!from) {
        ftpReply(s, kFailed);
        return;
    }
    if (!renameNoReplace(*from, t.physical)) {
        ftpReply(s, errno == EEXIST ? kExists : kFailed);
        return;
    }
    ftpReply(s, "250 RNTO command successful.\r\n");
    debugPrint("250 RNTO command successful.\r\n");
}

void ftpDele(FtpSession& s, const FtpTarget& t) {
    if (unlink(t.physical.c_str()) == 0) {
        std::string reply = concat({"250 File ", t.virtualPath, " [", t.physical, "] Deleted.\r\n"});
        ftpReply(s, reply);
        debugPrint(reply);
        return;
    }
    std::string reply = concat({"550 Unable to delete file ", t.virtualPath, " [", t.physical, "].\r\n"});
    debugPrint(reply + systemErrorText());
    ftpReply(s, reply);
}

void ftpMkd(FtpSession& s, const FtpTarget& t) {
    if (mkdir(t.physical.c_str(), 0777) != 0) {
        ftpReply(s, "500 MKD Error creating directory.\r\n");
        debugPrint(concat({"Error creating directory '", t.virtualPath, "'->'", t.physical, "'\r\n"}));
        return;
    }
    ftpReply(s, "250 MKD command successful.\r\n");
    debugPrint(concat({"User created directory '", t.virtualPath, "'->'", t.physical, "'\r\n"}));
}

void ftpRmd(FtpSession& s, const FtpTarget& t) {
    if (rmdir(t.physical.c_str()) != 0) {
        ftpReply(s, "500 RMD Error removing directory.\r\n");
        debugPrint(concat({"Error removing directory '", t.virtualPath, "'->'", t.physical, "'\r\n"}));
        return;
    }
    ftpReply(s, "250 RMD command successful.\r\n");
    debugPrint(concat({"User removed directory '", t.virtualPath, "'->'", t.physical, "'\r\n"}));
}

}  // namespace qv
