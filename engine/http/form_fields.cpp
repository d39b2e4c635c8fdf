#include "engine/http/form_fields.h"

#include "engine/log/strings.h"

namespace qv {

namespace {

// Only a form posts fields; a file upload or JSON body is not cut up.
bool isFormBody(std::string_view contentType) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
    return type.empty() || equalsNoCase(type, "application/x-www-form-urlencoded");
}

}  // namespace

bool DecodeFormFields(const HttpRequest& r, VarList& fields) {
    if (!r.body || r.contentLength <= 0 || !isFormBody(r.contentType)) return false;
    const std::string& body = *r.body;
    for (std::size_t at = 0; at < body.size();) {
        std::size_t end = body.find_first_of("&\r\n", at);
        if (end == std::string::npos) end = body.size();
        std::string piece = body.substr(at, end - at);
        at = end + 1;
        if (piece.empty()) continue;
        const bool encoded = piece.find('%') != std::string::npos;
        urlUnescape(piece, false);
        std::size_t eq = piece.find('=');
        fields.add(std::string_view(piece).substr(0, eq),
                   eq == std::string::npos ? std::string_view() : std::string_view(piece).substr(eq + 1), encoded);
    }
    return true;
}

}  // namespace qv
