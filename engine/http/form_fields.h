// Posted form fields: an application/x-www-form-urlencoded body (or one
// sent without a content type) as a list of names and values.
#pragma once

#include "engine/http/request.h"
#include "engine/http/var_list.h"

namespace qv {

// Adds the body's fields to `fields`: the body is cut at every "&", CR and
// LF (empty pieces skipped); each piece is URL-decoded, then cut at its
// first "=" into name and value (no "=": an empty value).  A field's number
// is 1 when its piece held a "%".  Returns false, adding nothing, when
// there is no body or it has another content type.
bool DecodeFormFields(const HttpRequest& r, VarList& fields);

}  // namespace qv
