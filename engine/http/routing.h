// Where an HTTP request goes.  Responders are tried in one fixed order: the
// built-in pages, message boards, the mapping of the path to a local file,
// gateway programs, image maps, folders, and plain files.  Each answers the
// request or declines it for the next one.
#pragma once

#include <string>

#include "engine/config/path_mapping.h"
#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

// One request on its way to the responder that answers it.
struct Exchange {
    Connection& c;
    Server& server;
    HttpRequest& r;
    const std::string& url;  // as the request line gave it
    std::string mapped;      // the local path, once the mapping has run
    FileStamp stamp;         // its size and time; size 0 for a folder or nothing
};

// Answers the request through the first responder that takes it.
void routeRequest(Exchange& x);

}  // namespace qv
