// The check that the request fuzz target applies to every input, shared with
// the corpus replay test so that every input the fuzzer ever kept (and every
// crash it found, once committed to the corpus) is checked again by the
// normal test suite.
//
// An input is a request as a client could send it: a request line, then
// header lines, each ended by "\n".  It is parsed and its URL path decoded
// and mapped the way the HTTP server does it, against a fixed alias table.
// Whatever the bytes, nothing may crash, and a mapped local path must stay
// inside the server's folder or the folder of the alias it came through.
#pragma once

#include <string>
#include <string_view>

#include "engine/config/settings.h"

namespace qv::fuzz {

// The server folder requests are mapped into when no alias matches.
inline constexpr std::string_view kFuzzRoot = "/srv/fuzz/root/";

// Verdicts on a mapped local path.
constexpr int kPathContained = 0;
constexpr int kPathClimbs = 1;    // it still holds ".."
constexpr int kPathHasNul = 2;    // a NUL would cut the name the system opens
constexpr int kPathEscapes = 3;   // it lies outside its folder

struct RequestCheck {
    int mapResult = 0;            // what aliasToDosDir returned
    std::string localPath;        // the mapped path (meaningful when mapResult is kMapped)
    int verdict = kPathContained; // always kPathContained unless the path was mapped
};

// The settings the inputs are mapped under: an alias with a folder ending in
// "/", one without, one with "$1", and the gopher folder for an empty path.
const Settings& fuzzSettings();

// The verdict on `local`, mapped through `alias` (null: the server's folder).
// An alias is a text prefix of the request path, so its folder (up to any
// "$") is a text prefix of what it maps to.
int judgeMappedPath(const std::string& local, const AliasEntry* alias);

// Parses and maps one input and judges the result.
RequestCheck checkRequest(std::string_view input);

// A line of text for a verdict, for failure messages.
const char* verdictText(int verdict);

}  // namespace qv::fuzz
