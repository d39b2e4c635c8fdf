// Where the engine keeps its files on this machine: the settings folder
// (QUORVANE_ETC) and the runtime folder (QUORVANE_RUN) that holds every
// named object shared between engines.  Two engines that resolve the same
// runtime folder share their mutexes, reset event and SocketInfoList.
#pragma once

#include <string>

namespace qv {

// $QUORVANE_ETC, else "/etc/quorvane".  Never ends in "/".
std::string defaultSettingsFolder();

// $QUORVANE_RUN, else $XDG_RUNTIME_DIR/quorvane, else /tmp/quorvane-<uid>.
std::string defaultRuntimeFolder();

// Creates the folder (and missing parents) with the given mode when it does
// not exist.  Returns 0, or the errno of the failing mkdir.
int ensureFolder(const std::string& path, unsigned mode);

// Joins a folder and a file name with exactly one "/" between them.
std::string joinPath(const std::string& folder, const std::string& name);

}  // namespace qv
