// libFuzzer target: a request as a client could send it, parsed and mapped
// (see request_check.h).  A contained path is a pass; anything else is
// printed and aborts, so libFuzzer keeps the input as a crash artifact.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "tests/fuzz/request_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qv::fuzz::RequestCheck check =
        qv::fuzz::checkRequest(std::string_view(reinterpret_cast<const char*>(data), size));
    if (check.verdict == qv::fuzz::kPathContained) return 0;
    std::fprintf(stderr, "request_fuzz: %s: '%s'\n", qv::fuzz::verdictText(check.verdict), check.localPath.c_str());
    std::abort();
}
