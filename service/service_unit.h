// What "qvx32 -install" sets up besides the unit file: the text of the
// systemd unit, the system user the service runs as, and the log and temp
// folders that user must write.  User look-ups and the helper that creates
// users are passed in, so installing can be checked without adding users.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qv::service {

inline constexpr const char* kDefaultServiceUser = "quorvane";
// The data folders a default installation lays out (html, ftp, gopher,
// logs, temp); it is also the service user's home.
inline constexpr const char* kDataFolder = "/var/lib/quorvane";

struct UnitSettings {
    std::string program;         // ExecStart
    std::string user;            // User=
    std::string settingsFolder;  // QUORVANE_ETC for the service; empty: its default
};

// The unit's text, or nothing when a value holds a control character
// (which would start a line of its own in the unit).
std::optional<std::string> serviceUnitText(const UnitSettings& unit);

struct UserIds {
    uid_t uid = 0;
    gid_t gid = 0;  // the user's own group: an operator joins it to share
};

struct SystemUsers {
    std::function<std::optional<UserIds>(const std::string& name)> find;
    // Runs a helper program to its end; returns its exit status or -1.
    std::function<int(const std::vector<std::string>& argv)> run;
    bool root = false;
};

// getpwnam_r, runProgram with a bounded wait, and the effective user.
SystemUsers realSystemUsers();

// A name useradd accepts and no option parser mistakes for an option:
// a lower-case letter or "_", then letters, digits, "_" or "-", at most 32.
bool validUserName(const std::string& name);

enum class UserResult { kExists, kCreated, kMissing, kCreateFailed };

// Finds the user; when it is missing and this process is root, creates it
// as a system user without a home folder or a login shell.  kMissing: it
// does not exist and could not be created without root.
UserResult ensureServiceUser(const std::string& name, const SystemUsers& users, UserIds& ids);

enum class FolderResult { kHandedOver, kLeftAsIs, kFailed };

// Makes the folder the service user's (owner, its group, mode 0770),
// creating it when missing.  A folder that holds files and lies outside
// `dataFolder` stays as it is: it may be shared with other programs (a
// logdir of /var/log must not change hands).  Inside `dataFolder` the
// files are handed over too, so logs that an earlier root service wrote
// can still be appended to.  kFailed leaves errno set.
FolderResult handOverFolder(const std::string& path, const UserIds& ids, const std::string& dataFolder);

}  // namespace qv::service
