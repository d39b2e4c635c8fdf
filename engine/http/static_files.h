// Plain files and folders: a file goes out whole behind a 200 header (an
// HTML page through the include processor); a folder is answered with its
// index page, a listing when browsing is allowed, or 403.
#pragma once

#include <cstdint>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

void sendStaticFile(Connection& c, HttpRequest& r, uint64_t size);
void serveFolder(Connection& c, HttpRequest& r);

}  // namespace qv
