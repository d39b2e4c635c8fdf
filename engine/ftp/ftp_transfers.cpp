// PORT and PASV, and the commands that use the data connection: LIST,
// RETR and STOR.  Each transfer answers 150 first, opens the data
// connection within the engine's FTP data time-out, and ends with 226 only
// when every byte moved.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/folder_entries.h"
#include "engine/core/io.h"
#include "engine/core/server_table.h"
#include "engine/core/socket_info.h"
#include "engine/ftp/ftp_session.h"
#include "engine/log/request_log.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"
#include "engine/platform/syscalls.h"

namespace qv {

namespace {

constexpr std::string_view kNoDataMode = "550 Error Opening data connection for /bin/ls.\r\n";
constexpr std::string_view kTransferStarts = "150 Opening data connection for XXX (XXX bytes).\r\n";
constexpr std::string_view kListStarts = "150- Quorvane Pro\r\n150 Opening data connection for /bin/ls.\r\n";
constexpr std::string_view kNoDataConnection = "425 Can't open data connection.\r\n";
constexpr std::string_view kConnectFailed = "550 Error connecting to port.\r\n";
constexpr std::string_view kComplete = "226 Transfer complete.\r\n";
constexpr std::string_view kAborted = "426 Connection closed; transfer aborted.\r\n";
constexpr std::string_view kLocalError = "451 Requested action aborted: local error in processing.\r\n";
constexpr std::string_view kTooLarge = "552 Requested file action aborted: exceeded storage allocation.\r\n";
constexpr std::string_view kCannotCreate = "553 Requested action not taken: file could not be created.\r\n";
constexpr std::string_view kIllegalPort = "500 Illegal PORT command.\r\n";

std::string_view resultReply(DataResult r) {
    switch (r) {
        case DataResult::kDone: return kComplete;
        case DataResult::kBroken: return kAborted;
        case DataResult::kLocalError: return kLocalError;
        case DataResult::kTooLarge: return kTooLarge;
    }
    return kAborted;
}

// Sends the preliminary reply and opens the data connection; answers and
// gives an invalid descriptor when it cannot be opened.
UniqueFd openData(FtpSession& s, std::string_view preliminary) {
    ftpReply(s, preliminary);
    flushSend(s.c);
    const bool passive = s.data.passive();
    setSocketActivity(s.c.socketInfo, "ftp server wait");
    UniqueFd fd = s.data.open(s.c.sock, s.c.peerIp, s.server.engine.options.ftpDataTimeout);
    if (!fd.valid()) ftpReply(s, passive ? kNoDataConnection : kConnectFailed);
    return fd;
}

void logTransfer(FtpSession& s, std::string_view method, std::string_view url, std::string_view file,
                 uint64_t bytes) {
    LoggedRequest r;
    r.start = std::time(nullptr);
    r.method = std::string(method);
    r.url = std::string(url);
    r.counterKey = std::string(file);
    r.user = s.loggedIn && !s.anonymous ? s.user : std::string();
    r.status = 200;
    r.bytes = static_cast<int64_t>(bytes);
    logRequest(s.c, *s.settings, r);
}

std::string folderOf(const std::string& path) {
    std::size_t cut = path.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

std::string baseName(const std::string& path) {
    std::size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// A new hidden work file beside `target`, created exclusively with mode
// 0666 under the umask.  The path, or empty with errno set.
std::string createWorkFile(const std::string& target, UniqueFd& fd) {
    static std::atomic<unsigned> counter {0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tag[48];
        std::snprintf(tag, sizeof tag, ".%d.%u", static_cast<int>(getpid()), counter++);
        std::string path = concat({folderOf(target), "/", kWorkFilePrefix, baseName(target), tag});
        fd.reset(sysOpen(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd.valid()) return path;
        if (errno != EEXIST) return {};
    }
    return {};
}

DataResult storeInto(FtpSession& s, const std::string& target) {
    UniqueFd file;
    std::string work = createWorkFile(target, file);
    if (work.empty()) {
        debugPrint("Error creating file '" + target + "'\r\n  " + systemErrorText());
        ftpReply(s, kCannotCreate);
        return DataResult::kLocalError;
    }
    UniqueFd data = openData(s, kTransferStarts);
    DataResult result = DataResult::kBroken;
    if (data.valid()) {
        uint64_t received = 0;
        const uint64_t limit = static_cast<uint64_t>(s.settings->max_upload_mb) * 1024 * 1024;
        result = receiveToFile(data.get(), s.c.sock, file.get(), limit, received);
        data.reset();
        if (close(file.release()) != 0 && result == DataResult::kDone) result = DataResult::kLocalError;
        // The old file stays whole until the new one is complete.
        if (result == DataResult::kDone && rename(work.c_str(), target.c_str()) != 0) result = DataResult::kLocalError;
        if (result == DataResult::kDone)
            debugPrintf("Stored %llu bytes in '%s'\r\n", static_cast<unsigned long long>(received), target.c_str());
        ftpReply(s, resultReply(result));
    }
    if (result != DataResult::kDone) unlink(work.c_str());
    return result;
}

}  // namespace

void ftpPort(FtpSession& s, const FtpLine& line) {
    auto target = parsePortArgument(line.argument.value_or(""));
    if (target) {
        const std::string address = dottedAddress(target->address);
        debugPrintf("PORT %s [%d,%d]\r\n", address.c_str(), target->port / 256, target->port % 256);
        debugPrint("IP = '" + address + "'\r\n");
    }
    // The data may go only to the client itself, and never to a privileged
    // port: anything else would make this server attack a third party.
    if (!target || target->address != s.c.peerIp || target->port < 1024) {
        ftpReply(s, kIllegalPort);
        return;
    }
    s.data.setActive(*target);
    ftpReply(s, "200 Okay\r\n");
}

void ftpPasv(FtpSession& s) {
    uint32_t address = 0;
    int port = 0;
    if (!s.data.openPassive(s.c.sock, address, port)) {
        debugPrint("Error entering passive mode\r\n  " + systemErrorText());
        ftpReply(s, "550 Error Entering Passive Mode (XXX,XXX,XXX,XX,X,X)\r\n");
        return;
    }
    ftpReply(s, passiveReply(address, port));
}

void ftpList(FtpSession& s) {
    debugPrint("ftp server got list command\r\n");
    uint64_t sent = 0;
    if (!s.data.prepared()) {
        ftpReply(s, kNoDataMode);
    } else if (UniqueFd data = openData(s, kListStarts); data.valid()) {
        setSocketActivity(s.c.socketInfo, s.listingDir);
        auto entries = readFolderEntries(s.listingDir).value_or(std::vector<FolderEntry> {});
        if (entries.empty())
            debugPrint("No files found in dir '" + s.listingDir + "'\r\n");
        else
            debugPrintf("There were %zu entries read.\r\n", entries.size());
        DataResult result = sendData(data.get(), s.c.sock, listingText(entries), sent);
        data.reset();
        addSocketBytes(s.c.socketInfo, sent);
        ftpReply(s, resultReply(result));
    }
    logTransfer(s, "LIST", s.virtualDir, s.listingDir, sent);
}

void ftpRetr(FtpSession& s, const FtpTarget& t) {
    debugPrint("ftp server got RETR command\r\n");
    uint64_t sent = 0;
    UniqueFd file(sysOpen(t.physical.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ftpReply(s, "550 xxx: Size < 0.\r\n");
    } else if (!s.data.prepared()) {
        ftpReply(s, kNoDataMode);
    } else if (UniqueFd data = openData(s, kTransferStarts); data.valid()) {
        setSocketFileSize(s.c.socketInfo, static_cast<uint64_t>(st.st_size));
        DataResult result = sendFileData(data.get(), s.c.sock, file.get(), sent);
        data.reset();
        addSocketBytes(s.c.socketInfo, sent);
        ftpReply(s, resultReply(result));
    }
    logTransfer(s, "RETR", t.virtualPath, t.physical, sent);
}

void ftpStor(FtpSession& s, const FtpTarget& t) {
    debugPrint("ftp server got STOR command\r\n");
    if (equalsNoCase(s.user, "anonymous")) {
        ftpReply(s, "550 Error anonymous users cannot store files.\r\n");
        return;
    }
    if (!s.data.prepared()) {
        ftpReply(s, kNoDataMode);
        return;
    }
    storeInto(s, t.physical);
}

}  // namespace qv
