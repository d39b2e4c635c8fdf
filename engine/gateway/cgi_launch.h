// How a gateway program is started: which executable, with which
// arguments, in which folder, and whether its standard output is its reply.
//
//   Windows CGI (default)   script profile content output [query words]
//   bare command line       script [query words]      (alias flag "standard CGI")
//   standard CGI            script [query words]      ("cgi mode" of access.qac starts with "s")
//   Perl (".pl")            Perl_Compiler script [query words], in Perl_Dir
//   batch (".bat")          as its mode says, run by /bin/sh
//   page command            the words of the command  ("exec cmd" in a page)
//
// Standard input is always the content file.  Query words are added only
// while the command line stays under 80 characters; they are decoded.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qv {

struct LaunchInput {
    std::string scriptPath;
    bool standardFlag = false;   // the alias's standard CGI flag
    bool standardMode = false;   // access.qac says "s..." for the script
    std::string profileFile, contentFile, outputFile;
    std::string query;           // as received
    std::optional<std::string> command;  // a page's literal command line
    std::string perlCompiler, perlDir;
};

struct Launch {
    std::string program;
    std::vector<std::string> argv;
    std::string workDir;   // empty: the server's own
    bool captureOutput = false;  // standard output is the output file
};

Launch planLaunch(const LaunchInput& in);

// The blank-separated words of a command line.
std::vector<std::string> commandWords(std::string_view line);

}  // namespace qv
