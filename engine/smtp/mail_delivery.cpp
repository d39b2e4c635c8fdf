#include "engine/smtp/mail_delivery.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/file_lock.h"
#include "engine/platform/runtime_dir.h"
#include "engine/platform/syscalls.h"
#include "engine/platform/unique_fd.h"
#include "engine/smtp/mail_users.h"

namespace qv {

namespace {

// A mail reader holds the lock while it reads or rewrites the mailbox;
// past this the delivery fails and the sender tries again later.
constexpr auto kLockWait = std::chrono::seconds(20);
constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr std::size_t kSpoolPathLength = 259;
constexpr std::size_t kRecipientLength = 255;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A message must start a line: a mail file whose last line lacks its end
// (written by another program) gets one first.
bool endLastLine(int fd, off_t size) {
    char last = '\n';
    if (size > 0 && pread(fd, &last, 1, size - 1) != 1) return false;
    return last == '\n' || writeAll(fd, "\n");
}

bool copyAll(int from, int to) {
    std::array<char, kCopyBlock> block;
    for (;;) {
        const ssize_t n = read(from, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!writeAll(to, std::string_view(block.data(), static_cast<std::size_t>(n)))) return false;
    }
}

// A new mail file's name must survive a crash as well as its contents.
bool syncFolder(const std::string& folder) {
    UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0;
}

// Appends under the lock already held; on failure the file is cut back to
// `start`, its size before.
bool appendLocked(int in, int out, off_t start, bool created, const std::string& target) {
    bool ok = endLastLine(out, start) && copyAll(in, out) && fdatasync(out) == 0;
    if (ok && created) ok = syncFolder(folderOf(target));
    if (!ok && ftruncate(out, start) != 0)
        debugPrint(concat({"AppendFile: Error restoring file '", target, "'.\r\n  ", systemErrorText()}));
    return ok;
}

struct RecipientStatus {
    int number;
    std::string_view status;
};

// A control file gets its [Mail Status] once, after delivery: appended in
// one write (no new file per message), unless an earlier run gave it one,
// whose keys are then replaced.
void recordStatus(const ProfileFile& control, const std::vector<RecipientStatus>& statuses) {
    if (statuses.empty()) return;
    bool ok = true;
    if (control.keys("Mail Status").empty()) {
        std::string text = "[Mail Status]\r\n";
        for (const auto& s : statuses) text += concat({"To", std::to_string(s.number), "=", s.status, "\r\n"});
        UniqueFd fd(open(control.path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        ok = fd.valid() && writeAll(fd.get(), text);
    } else {
        for (const auto& s : statuses)
            ok = control.writeString("Mail Status", "To" + std::to_string(s.number), s.status) == 0 && ok;
    }
    if (!ok) debugPrint(concat({"Error writing the mail status to '", control.path(), "'.\r\n"}));
}

}  // namespace

int AppendFile(const std::string& source, const std::string& target) {
    UniqueFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        debugPrint(concat({"AppendFile: Error opening read file ", source, ".\r\n"}));
        return 0;
    }
    struct stat st {};
    const bool existed = stat(target.c_str(), &st) == 0;
    // Read as well as written: the last byte is checked (endLastLine).
    UniqueFd out(open(target.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (!out.valid() || fstat(out.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        debugPrint(concat({"AppendFile: Error opening write file ", target, ".\r\n"}));
        return 0;
    }
    if (lockRecordsForWriting(out.get(), kLockWait) != 0) {
        debugPrint(concat({"AppendFile: Error locking file '", target, "'.\r\n"}));
        return 0;
    }
    // The size is taken under the lock: no writer that honours it adds to
    // the file until the descriptor closes.
    if (fstat(out.get(), &st) != 0 || !appendLocked(in.get(), out.get(), st.st_size, !existed, target)) {
        debugPrint(concat({"AppendFile: Error appending to file '", target, "'.\r\n"}));
        return 0;
    }
    return 1;
}

bool mailFileWritable(const std::string& mailFile) {
    struct stat st {};
    if (stat(mailFile.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) && faccessat(AT_FDCWD, mailFile.c_str(), W_OK, AT_EACCESS) == 0;
    return errno == ENOENT && runtimeFolderUsable(folderOf(mailFile));
}

int processMailControlFile(const std::string& controlPath, const ProfileFile& users, DeliveryCount* count) {
    if (controlPath.empty()) return 0;
    debugPrint(concat({"Processing queue file ", controlPath, ".\r\n"}));
    const ProfileFile control(controlPath, false);
    const std::string spool = control.getString("Mail Info", "File", "", kSpoolPathLength + 1);
    if (spool.empty()) {
        debugPrint(concat({"Error filename not found in control file '", controlPath, "'.\r\n"}));
        return 0;
    }
    const int recipients = control.getInt("Mail Info", "ToCount", 0);
    if (recipients <= 0) {
        debugPrint(concat({"Error ToCount was 0 in control file '", controlPath, "'.\r\n"}));
        return 0;
    }
    DeliveryCount counted;
    std::vector<RecipientStatus> statuses;
    for (int i = 1; i <= recipients; ++i) {
        const std::string address = control.getString("Mail Info", "To" + std::to_string(i), "", kRecipientLength + 1);
        MailUser user;
        if (findMailUser(users, address, user) != kMailUserLocal) continue;
        if (AppendFile(spool, user.mailFile)) {
            ++counted.sent;
            statuses.push_back({i, "Sent"});
            debugPrint(concat({"Appended to file '", user.mailFile, "'.\r\n"}));
        } else {
            ++counted.failed;
            statuses.push_back({i, "Error Appending"});
            debugPrint(concat({"Error appending to file '", user.mailFile, "'.\r\n"}));
        }
    }
    recordStatus(control, statuses);
    if (count) *count = counted;
    return 1;
}

}  // namespace qv
