// HTML pages pass through the include processor: every line is expanded
// with the page variables, and lines that begin with "<!--#" are directives
// ("config cmdprefix=..." / "cmdpostfix=...", "exec cmd=..." / "exec
// cgi=...") that are never sent themselves.
#pragma once

#include <string>
#include <string_view>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

// What a page shows where a directive could not run.
inline constexpr std::string_view kScriptError = "*** SSI SCRIPT ERROR ***";

// Expands the page at `path` (the request's file path when empty) into
// `page`.  0, also when the file cannot be opened (logged, nothing added);
// 1 when it is empty.  The page is built whole before anything is sent, so
// that the response can announce its true length.
int processIncludes(Connection& c, HttpRequest& r, const std::string& path, std::string& page);

}  // namespace qv
