// Running a gateway program for one HTTP request: the program is a child
// process that gets the request through work files (see work_files.h), the
// request profile and its environment, and whose output, once it has
// ended, becomes the reply (see program_reply.h).  Pages run programs
// through the same routine ("exec" directives), their output going into the
// page.
#pragma once

#include <optional>
#include <string>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

struct ProgramCall {
    bool sendHeader = true;              // false inside a page: no status line
    std::optional<std::string> command;  // a page's literal command line
    std::string prefix;                  // put before every output line (pages)
    std::string suffix;                  // and after it
    std::string* page = nullptr;         // inside a page: the output goes here
};

// Programs whose client was given the time-out reply and that still run;
// past this many, new programs are refused (500) until some end.
constexpr std::size_t kMaxLingeringPrograms = 32;

// 1 when it stopped early after an error reply, else 0.
int RunCgiProgram(Connection& c, HttpRequest& r, const ProgramCall& call);

}  // namespace qv
