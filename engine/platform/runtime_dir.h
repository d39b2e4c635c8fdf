// Where the engine keeps its files on this machine: the settings folder
// (QUORVANE_ETC) and the runtime folder (QUORVANE_RUN) that holds every
// named object shared between engines.  Two engines that resolve the same
// runtime folder share their mutexes, reset event and SocketInfoList.
#pragma once

#include <string>

namespace qv {

// The installed service's runtime folder (systemd's RuntimeDirectory).
inline constexpr const char* kSystemRuntimeFolder = "/run/quorvane";

// $QUORVANE_ETC, else "/etc/quorvane".  Never ends in "/".
std::string defaultSettingsFolder();

// $QUORVANE_RUN, else kSystemRuntimeFolder when runtimeFolderUsable says
// so (a console program, the desktop program and the service then meet
// there), else $XDG_RUNTIME_DIR/quorvane, else /tmp/quorvane-<uid>.
std::string defaultRuntimeFolder();

// The same order with another folder in the place of /run/quorvane.
std::string defaultRuntimeFolder(const std::string& systemFolder);

// True when the path is a folder in which this process, by its effective
// user and groups, may list, create and open files.
bool runtimeFolderUsable(const std::string& path);

// Creates the folder (and missing parents) with the given mode when it does
// not exist.  Returns 0, or the errno of the failing mkdir.
int ensureFolder(const std::string& path, unsigned mode);

// Joins a folder and a file name with exactly one "/" between them.
std::string joinPath(const std::string& folder, const std::string& name);

// A relative path as the current folder sees it, made absolute (unchanged
// when absolute, empty, or the current folder is unknown): for paths handed
// to a child that starts in another folder.
std::string absolutePath(const std::string& path);

}  // namespace qv
