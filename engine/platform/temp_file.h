// Unique work files: a new file created with O_EXCL in a folder, named from a
// prefix and a counter, so two threads or processes never get the same name.
#pragma once

#include <string>

namespace qv {

// Creates an empty file "<folder>/<prefix><pid>-<count>.tmp" (hexadecimal
// numbers) of mode 0600, as only the server reads it, that did not exist,
// and returns its path; returns the empty text and sets errno on failure.
std::string uniqueTempFile(const std::string& folder, const std::string& prefix);

}  // namespace qv
