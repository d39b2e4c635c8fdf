// Unique work files: a new file created with O_EXCL in a folder, named from a
// prefix and a counter, so two threads or processes never get the same name.
#pragma once

#include <string>

#include "engine/platform/unique_fd.h"

namespace qv {

// Creates an empty file "<folder>/<prefix><pid>-<count>.tmp" (hexadecimal
// numbers) of mode 0600, as only the server reads it, that did not exist;
// returns it open for writing and its path in `path`.  On failure the
// descriptor is invalid, `path` empty and errno set.
UniqueFd uniqueTempFile(const std::string& folder, const std::string& prefix, std::string& path);

}  // namespace qv
