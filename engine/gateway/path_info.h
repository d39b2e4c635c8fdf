// PATH_TRANSLATED for a gateway program or extension: the request's path
// info mapped as a request path is, with the same access checks.
#pragma once

#include <string>

#include "engine/core/connection.h"
#include "engine/http/request.h"

namespace qv {

// 0 with `translated` set (empty without path info), or the error page to
// answer: 401 when a login is needed, kForbiddenObject when access is
// refused (logged).  The mapping's alias decides access only; how the
// program is called stays with the program's own alias.
int translatePathInfo(Connection& c, const HttpRequest& r, std::string& translated);

}  // namespace qv
