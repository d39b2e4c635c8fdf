#include "engine/gateway/cgi_run.h"

#include <fcntl.h>

#include "engine/config/access.h"
#include "engine/config/file_types.h"
#include "engine/config/path_mapping.h"
#include "engine/core/engine.h"
#include "engine/gateway/cgi_environment.h"
#include "engine/gateway/cgi_launch.h"
#include "engine/gateway/cgi_profile.h"
#include "engine/gateway/extension_run.h"
#include "engine/gateway/path_info.h"
#include "engine/gateway/program_output.h"
#include "engine/gateway/work_files.h"
#include "engine/http/form_fields.h"
#include "engine/http/response.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/child_process.h"
#include "engine/platform/runtime_dir.h"
#include "engine/platform/unique_fd.h"

extern char** environ;

namespace qv {

namespace {

constexpr std::size_t kRunModeLength = 512;

std::string fileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The request profile and the form values kept in files of their own.
bool writeProfile(const CgiFacts& facts, WorkFiles& files) {
    CgiProfile profile = winCgiProfile(facts, files.profile);
    for (auto& external : profile.externals) {
        files.externals.push_back(external.path);
        if (writeWorkFile(external.path, external.value) != 0) return false;
    }
    return writeWorkFile(files.profile, profile.text) == 0;
}

struct StandardFds {
    UniqueFd in, out, err;
};

// The content file as standard input; standard output is the output file
// when it is the reply, else the error file, which then is standard error
// too only in the first case.
bool openStandardFds(const WorkFiles& files, bool capture, StandardFds& fds) {
    auto openFile = [](const std::string& path, int flags) {
        return UniqueFd(open(path.c_str(), flags | O_CLOEXEC));
    };
    if (capture) {
        fds.out = openFile(files.output, O_WRONLY | O_TRUNC);
        if (!fds.out.valid()) {
            debugPrint("Error opening cgi file\r\n");
            return false;
        }
    }
    UniqueFd err = openFile(files.error, O_WRONLY | O_TRUNC);
    fds.in = openFile(files.content, O_RDONLY);
    if (!err.valid() || !fds.in.valid()) debugPrint("Error opening cgi content file (may be ok)\r\n");
    if (capture)
        fds.err = std::move(err);
    else
        fds.out = std::move(err);
    return true;
}

LaunchInput launchInput(const HttpRequest& r, const WorkFiles& files, const ProgramCall& call) {
    const Settings& s = *r.settings;
    LaunchInput in;
    in.scriptPath = absolutePath(r.filePath);  // the program starts in a folder of its own
    in.standardFlag = r.alias && r.alias->standardCgi;
    std::optional<std::string> mode = readAccessFile(r.filePath, "cgi mode", fileNameOf(r.filePath), kRunModeLength);
    in.standardMode = mode && mode->front() == 's';
    in.profileFile = files.profile;
    in.contentFile = files.content;
    in.outputFile = files.output;
    in.query = r.query.value_or("");
    in.command = call.command;
    in.perlCompiler = s.Perl_Compiler;
    in.perlDir = s.Perl_Dir;
    return in;
}

std::string commandLineText(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& word : argv) line.append(line.empty() ? "" : " ").append(word);
    return line;
}

// Starts the program and waits for it; the reply follows only when it
// ended within the time-out, and then from its output file.
void runAndReply(ProgramSink& sink, const Launch& launch, StandardFds& fds, const CgiFacts& facts) {
    const Settings& s = *sink.r.settings;
    ChildSpec setup;
    setup.program = launch.program;
    setup.argv = launch.argv;
    setup.env = cgiEnvironment(facts, environ);
    setup.workDir = launch.workDir;
    setup.stdinFd = fds.in.get();
    setup.stdoutFd = fds.out.get();
    setup.stderrFd = fds.err.get();
    ChildProcess child;
    int err = spawnChild(setup, child);
    if (s.debug_cgi) debugPrintf("CreateProccess return was %d\r\n", err == 0 ? 1 : 0);
    fds = {};  // the child holds its own copies
    if (err != 0) {
        std::string reason = systemErrorText(err);
        debugPrint("Last error was " + reason + "\r\n");
        sink.failure("<h1>Quorvane - CGI Error</h1>An error occurred when trying to run that program.<p>  The result '" +
                     reason + "'\r\n");
        return;
    }
    Server* server = sink.c.server();
    auto timeout = server ? server->engine.options.programTimeout : std::chrono::milliseconds(180000);
    ChildWait waited = waitChild(child, timeout);
    if (waited != ChildWait::Exited) {
        if (waited == ChildWait::TimedOut)
            debugPrint("CGI script timed out but is still_active.\r\n");
        else
            debugPrint("Error doing WaitForSingleObject for CGI script.\r\n" + systemErrorText() + "\r\n");
        abandonChild(std::move(child));
        // Never what the program has written so far: it is not done.
        debugPrint("CGI timed out 180sec\r\n");
        sink.failure("<h1>CGI timeout 180 sec</h1>");
        return;
    }
    if (s.debug_cgi) debugPrint("CGI Script finished.\r\n");
    sendProgramOutput(sink, facts.outputFile);
}

}  // namespace

int RunCgiProgram(Connection& c, HttpRequest& r, const ProgramCall& call) {
    const Settings& s = *r.settings;
    ProgramSink sink {c, r, call};
    if (equalsNoCase(fileExtension(r.filePath), "dll") || equalsNoCase(fileExtension(r.filePath), "isa"))
        return RunIsapiExtension(c, r, call);
    if (lingeringChildren() > kMaxLingeringPrograms) {
        debugPrint("CGI refused: too many timed-out programs still run\r\n");
        sink.error(500);
        return 1;
    }
    WorkFiles files;
    files.keep = !s.Debug_Mode.starts_with('N');
    if (createWorkFiles(s.tempdir, files) != 0 || writeWorkFile(files.content, r.body.value_or("")) != 0) {
        sink.error(500);
        debugPrint("Error creating CGI content file\r\n");
        return 1;
    }
    std::string translated;
    if (int code = translatePathInfo(c, r, translated)) {
        sink.error(code);
        return 1;
    }
    VarList form;
    const bool posted = DecodeFormFields(r, form);
    CgiFacts facts = cgiFacts(c, r, files, translated, posted ? &form : nullptr);
    if (!writeProfile(facts, files)) {
        sink.error(500);
        debugPrint("CGI ERROR writecgifile()\r\n");
        return 1;
    }
    Launch launch = planLaunch(launchInput(r, files, call));
    FileStamp script = fileSizeAndDate(r.filePath);
    if (!call.command && script.size == 0) {
        sink.error(404);
        debugPrintf("Error finding cgi file.  FS was %ld.\r\n", 0L);
        return 1;
    }
    if (call.command)
        debugPrint("Command line is now '" + commandLineText(launch.argv) + "'\r\n       aname is now '" +
                   launch.program + "'\r\n");
    StandardFds fds;
    if (!openStandardFds(files, launch.captureOutput, fds)) {
        sink.error(500);
        return 1;
    }
    if (s.debug_cgi) debugPrint("commandline is '" + launch.program + ": " + commandLineText(launch.argv) + "'\r\n");
    runAndReply(sink, launch, fds, facts);
    return 0;
}

}  // namespace qv
