// Running a helper program to its end: an argument vector (never a shell),
// its standard output captured, and a bounded wait.
#pragma once

#include <string>
#include <vector>

namespace qv {

// Runs argv[0] (searched on PATH) and waits at most `timeoutMs` for it; a
// program still running then is killed.  Returns its exit status, or -1
// when it could not be started, was killed or ended by a signal.  Its
// standard output goes to `output` when given; standard error is discarded.
int runProgram(const std::vector<std::string>& argv, int timeoutMs, std::string* output = nullptr);

}  // namespace qv
