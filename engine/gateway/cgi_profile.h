// The request profile a Windows CGI program reads: an INI file whose name
// it gets as its first argument.
//
// Wire contract (towards programs): sections [CGI], [System], [Form
// Literal], [Form External], [Extra Headers] and [Accept] with the keys of
// the Windows CGI 1.1 interface, written in that order, lines ending in
// "\n".  A form value that was URL-encoded or has 255 characters or more
// goes into a file of its own, named in [Form External] with its length.
#pragma once

#include <string>
#include <vector>

#include "engine/gateway/cgi_facts.h"

namespace qv {

inline constexpr std::string_view kCgiVersion = "CGI/1.1 (WIN)";

// A form value that goes to a file of its own.
struct ExternalField {
    std::string path;
    std::string value;
};

struct CgiProfile {
    std::string text;
    std::vector<ExternalField> externals;  // to be written before the program starts
};

CgiProfile winCgiProfile(const CgiFacts& facts, const std::string& profilePath);

// The file for the n-th external value of a profile: the profile's path cut
// after the first "." of its file name, then n ("CGIin5f.qvx": "CGIin5f.0").
std::string externalFieldPath(const std::string& profilePath, int n);

}  // namespace qv
