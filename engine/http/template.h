// The page template language.  "$name" is replaced by the value of the
// longest variable whose name prefixes the text after the "$" (case does
// not matter); "$$" gives "$".  A bracket after the name makes text
// conditional: "$v?[text]" only when v has a value, "$v![text]" only when
// it has none, "$v|[default]" the value or else the default.  Brackets nest.
// "$unknown" followed within 31 characters by "[" counts as empty.
#pragma once

#include <string>
#include <string_view>

#include "engine/core/connection.h"
#include "engine/http/request.h"
#include "engine/http/var_list.h"

namespace qv {

std::string expandTemplate(const VarList& vars, std::string_view text);

// The page variables of a request: client, server, administrator, dates,
// protocol, script name, counter key and the file's modification times.
void addPageVariables(VarList& vars, const Connection& c, const HttpRequest& r);

}  // namespace qv
