// Where a gateway program's reply goes: straight to the client, or into
// the page whose "exec" directive ran it.
#pragma once

#include <string>
#include <string_view>

#include "engine/gateway/cgi_run.h"

namespace qv {

struct ProgramSink {
    Connection& c;
    HttpRequest& r;
    const ProgramCall& call;

    // False when the client is gone.
    bool write(std::string_view data);
    // The error page for `code`; inside a page, the script-error mark.
    void error(int code);
    // One of the fixed failure texts ("<h1>CGI no output</h1>"): after a
    // 500 status line when the reply carries a header, alone otherwise.
    void failure(std::string_view text);
};

// The reply a finished program's output file asks for.
void sendProgramOutput(ProgramSink& sink, const std::string& outputFile);

}  // namespace qv
