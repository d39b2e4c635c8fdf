// Child processes: what a started program inherits (seen through the probe
// program's report), the errors of a start that fails, bounded waits, and
// the reaping of children that outlive their wait.  The waits and the
// reaping run twice: with pidfds, and as on a kernel without them.  Every
// wait is bounded, so a lost child fails its test instead of hanging.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <map>
#include <optional>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "engine/platform/child_process.h"
#include "engine/platform/process.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::readFile;
using test::TempFolder;
using test::writeFile;

constexpr auto kBound = 10s;  // any child of these tests ends well within it

// The probe's report, split into its fields.
struct Report {
    std::map<std::string, std::string> fields;  // "argc", "argv[0]", "cwd", ...
    std::string input;                          // what it read on standard input
    std::vector<std::string> env;
    bool complete = false;

    std::string operator[](const std::string& key) const {
        auto it = fields.find(key);
        return it == fields.end() ? "<missing " + key + ">" : it->second;
    }
};

Report parseReport(const std::string& text) {
    Report report;
    const std::string head = "Content-type: text/plain\r\n\r\n";
    const std::size_t inputAt = text.find("\r\nstdin=");
    if (text.rfind(head, 0) != 0 || inputAt == std::string::npos) return report;
    for (std::size_t at = head.size(); at < inputAt + 2;) {
        const std::size_t end = text.find("\r\n", at);
        const std::string line = text.substr(at, end - at);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) report.fields[line.substr(0, eq)] = line.substr(eq + 1);
        at = end + 2;
    }
    const std::size_t inputStart = inputAt + 8;
    std::size_t envAt = text.find("\r\nenv:", inputStart);
    if (envAt == std::string::npos) envAt = text.size() - 2;
    report.input = text.substr(inputStart, envAt - inputStart);
    for (std::size_t at = envAt + 2; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        report.env.push_back(text.substr(at + 4, end - at - 4));
        at = end + 2;
    }
    report.complete = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    return report;
}

// Sets or clears one environment variable of the test process for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

bool gone(pid_t pid) {
    errno = 0;
    return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD && access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0;
}

// No child of this process is left, reaped or not.
bool noChildLeft() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

bool lingeringDropsTo(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (lingeringChildren() != count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return lingeringChildren() == count;
}

class ChildProcessTest : public ::testing::Test {
protected:
    TempFolder folder;

    // The probe with these extra arguments and an environment of its own.
    static ChildSpec probe(std::vector<std::string> arguments = {}, std::vector<std::string> env = {"QUERY_STRING="}) {
        ChildSpec setup;
        setup.program = QV_PROBE_PATH;
        setup.argv = {QV_PROBE_PATH};
        setup.argv.insert(setup.argv.end(), arguments.begin(), arguments.end());
        setup.env = std::move(env);
        return setup;
    }

    struct Run {
        int started = -1;
        ChildWait waited = ChildWait::Failed;
        int status = -1;
        std::string output;
        Report report;
    };

    // Runs the setup to its end with standard input, output and error on
    // files of the test folder (descriptors the parent keeps open).
    Run run(ChildSpec setup, const std::string& input = "") {
        writeFile(folder.file("in"), input);
        writeFile(folder.file("out"), "");
        const int in = open(folder.file("in").c_str(), O_RDONLY | O_CLOEXEC);
        const int out = open(folder.file("out").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        setup.stdinFd = in;
        setup.stdoutFd = out;
        Run result;
        ChildProcess child;
        result.started = spawnChild(setup, child);
        if (result.started == 0) result.waited = waitChild(child, kBound, &result.status);
        close(in);
        close(out);
        result.output = readFile(folder.file("out"));
        result.report = parseReport(result.output);
        return result;
    }
};

TEST_F(ChildProcessTest, ArgumentsArriveAsGivenWithoutAShell) {
    const std::vector<std::string> words = {"two words", "\"double\" 'single'", "$HOME;echo x|y*`id`", ""};
    Run r = run(probe(words));
    ASSERT_EQ(r.started, 0);
    ASSERT_TRUE(r.report.complete) << r.output;
    EXPECT_EQ(r.report["argc"], "5");
    EXPECT_EQ(r.report["argv[0]"], QV_PROBE_PATH);
    for (std::size_t i = 0; i < words.size(); ++i) EXPECT_EQ(r.report["argv[" + std::to_string(i + 1) + "]"], words[i]);
}

TEST_F(ChildProcessTest, EnvironmentIsExactlyTheGivenBlock) {
    ScopedEnv parentOnly("QV_PARENT_ONLY", "1");
    Run r = run(probe({}, {"Z=last", "QUERY_STRING=a=b&c", "A=1", "EMPTY="}));
    ASSERT_TRUE(r.report.complete) << r.output;
    EXPECT_EQ(r.report.env, (std::vector<std::string> {"A=1", "EMPTY=", "QUERY_STRING=a=b&c", "Z=last"}));
}

TEST_F(ChildProcessTest, StandardInputIsTheGivenDescriptor) {
    Run r = run(probe(), std::string("line one\r\nline two\0end", 23));
    ASSERT_TRUE(r.report.complete) << r.output;
    EXPECT_EQ(r.report.input, std::string("line one\r\nline two\0end", 23));
}

// The server ignores SIGPIPE and its connection threads block it; a
// program that inherited either would go on writing to a closed pipe.
TEST_F(ChildProcessTest, SignalDispositionsAndMaskAreDefault) {
    struct sigaction ignore {}, oldPipe {}, oldUsr2 {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);
    sigaction(SIGUSR2, &ignore, &oldUsr2);
    sigset_t blocked, oldMask;
    sigemptyset(&blocked);
    for (int sig : {SIGPIPE, SIGTERM, SIGUSR1, SIGCHLD}) sigaddset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &oldMask);
    Run r = run(probe());
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGUSR2, &oldUsr2, nullptr);
    ASSERT_TRUE(r.report.complete) << r.output;
    EXPECT_EQ(r.report["sigpipe"], "default");
    EXPECT_EQ(r.report["sigmask"], "empty");
}

TEST_F(ChildProcessTest, ChildLeadsItsOwnProcessGroupUnlessToldNot) {
    EXPECT_EQ(run(probe()).report["pgid_is_pid"], "1");
    ChildSpec stays = probe();
    stays.ownProcessGroup = false;
    EXPECT_EQ(run(stays).report["pgid_is_pid"], "0");
}

// A group signal reaches the child's own group; a child left in the
// server's group gets it alone.
TEST_F(ChildProcessTest, GroupSignalReachesTheChild) {
    for (bool ownGroup : {true, false}) {
        ChildSpec setup = probe({}, {"QUERY_STRING=sleep=5000"});
        setup.ownProcessGroup = ownGroup;
        ChildProcess child;
        ASSERT_EQ(spawnChild(setup, child), 0);
        EXPECT_EQ(child.signal(SIGUSR1, true), 0) << ownGroup;
        int status = 0;
        ASSERT_EQ(waitChild(child, kBound, &status), ChildWait::Exited);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGUSR1) << status;
        EXPECT_EQ(child.signal(SIGUSR1), ESRCH);
    }
}

TEST_F(ChildProcessTest, RunsInTheGivenFolder) {
    mkdir(folder.file("work dir").c_str(), 0755);
    ChildSpec setup = probe();
    setup.workDir = folder.file("work dir");
    Run r = run(setup);
    char real[4096];
    ASSERT_TRUE(realpath(setup.workDir.c_str(), real));
    EXPECT_EQ(r.report["cwd"], real);
    char here[4096];
    EXPECT_STRNE(getcwd(here, sizeof here), real);

    // A relative program path names the file the server sees.
    std::string relative = std::filesystem::relative(QV_PROBE_PATH).string();
    if (relative.find('/') == std::string::npos) relative = "./" + relative;
    setup.program = relative;
    Run fromHere = run(setup);
    ASSERT_EQ(fromHere.started, 0) << relative;
    EXPECT_EQ(fromHere.report["cwd"], real);
}

// Caps of the calling thread: CAP_NET_BIND_SERVICE made inheritable and
// ambient, as systemd's AmbientCapabilities gives the service.
bool raiseAmbientBindCapability() {
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].inheritable |= 1U << CAP_NET_BIND_SERVICE;
    if (syscall(SYS_capset, &header, data) != 0) return false;
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_BIND_SERVICE, 0, 0) == 0;
}

TEST_F(ChildProcessTest, AmbientCapabilitiesAreNotPassedOn) {
    EXPECT_EQ(run(probe()).report["capamb"], "0000000000000000");
    // Capabilities belong to a thread: the raised ones die with it.
    std::optional<Run> raised;
    std::string threadAmbient;
    std::thread([&] {
        if (!raiseAmbientBindCapability()) return;
        std::ifstream status("/proc/thread-self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("CapAmb:", 0) == 0) threadAmbient = line.substr(line.find_first_not_of(" \t", 7));
        raised = run(probe());
    }).join();
    if (!raised) GTEST_SKIP() << "no permission to raise an ambient capability";
    EXPECT_EQ(threadAmbient, "0000000000000400");
    EXPECT_EQ(raised->report["capamb"], "0000000000000000");
}

// The errno of the step that failed, and no child left behind.
TEST_F(ChildProcessTest, FailedStartsReturnTheErrnoAndLeaveNoChild) {
    writeFile(folder.file("text"), "not a program\n");
    writeFile(folder.file("garbage"), "\x01\x02\x03\x04 not an executable");
    chmod(folder.file("garbage").c_str(), 0755);
    ChildSpec badFd = probe();
    badFd.stdoutFd = 1000;  // not open
    ChildSpec badFolder = probe();
    badFolder.workDir = folder.file("missing");
    ChildSpec noArgv = probe();
    noArgv.argv.clear();
    auto named = [](std::string program) {
        ChildSpec setup;
        setup.argv = {program};
        setup.program = std::move(program);
        return setup;
    };
    const struct {
        const char* name;
        ChildSpec setup;
        int expected;
    } rows[] = {
        {"missing file", named(folder.file("missing")), ENOENT},
        {"file without x", named(folder.file("text")), EACCES},
        {"not an executable format", named(folder.file("garbage")), ENOEXEC},
        {"a folder", named(folder.path()), EACCES},
        {"bare name not on PATH", named("qv-no-such-program"), ENOENT},
        {"empty program", named(""), ENOENT},
        {"closed descriptor", badFd, EBADF},
        {"missing working folder", badFolder, ENOENT},
        {"empty argv", noArgv, EINVAL},
    };
    for (const auto& row : rows) {
        ChildProcess child;
        EXPECT_EQ(spawnChild(row.setup, child), row.expected) << row.name;
        EXPECT_FALSE(child.running()) << row.name;
        EXPECT_TRUE(noChildLeft()) << row.name;
    }
}

// A bare name is looked up on the server's PATH, not the child's; entries
// without an executable file of the name are passed over.
TEST_F(ChildProcessTest, BareNameIsSearchedOnTheServersPath) {
    mkdir(folder.file("a").c_str(), 0755);
    mkdir(folder.file("b").c_str(), 0755);
    writeFile(folder.file("a/qvprobe"), "not executable");
    ASSERT_EQ(symlink(QV_PROBE_PATH, folder.file("b/qvprobe").c_str()), 0);
    ChildSpec setup;
    setup.program = "qvprobe";
    setup.argv = {"qvprobe"};
    setup.env = {"PATH=/nowhere"};
    {
        ScopedEnv path("PATH", (folder.file("a") + ":" + folder.file("missing") + ":" + folder.file("b")).c_str());
        Run r = run(setup);
        ASSERT_EQ(r.started, 0);
        EXPECT_EQ(r.report["argv[0]"], "qvprobe");
    }
    ScopedEnv path("PATH", "/nowhere");
    setup.env = {"PATH=" + folder.file("b")};
    EXPECT_EQ(run(setup).started, ENOENT);
}

// Descriptors left as -1 are /dev/null; the system's "sh" is found on PATH.
TEST_F(ChildProcessTest, MissingDescriptorsAreDevNull) {
    ChildSpec setup;
    setup.program = "sh";
    setup.argv = {"sh", "-c", "readlink /proc/self/fd/0 /proc/self/fd/2; echo $0"};
    Run r = run(setup);
    ASSERT_EQ(r.started, 0);
    EXPECT_EQ(r.output, folder.file("in") + "\n/dev/null\nsh\n");
    setup.stdinFd = -1;
    const int out = open(folder.file("out2").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    setup.stdoutFd = out;
    ChildProcess child;
    ASSERT_EQ(spawnChild(setup, child), 0);
    ASSERT_EQ(waitChild(child, kBound), ChildWait::Exited);
    close(out);
    EXPECT_EQ(readFile(folder.file("out2")), "/dev/null\n/dev/null\nsh\n");
}

TEST_F(ChildProcessTest, ExitStatusIsReportedAndTheChildReaped) {
    Run r = run(probe({}, {"QUERY_STRING=fail=1"}));
    ASSERT_EQ(r.waited, ChildWait::Exited);
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 3) << r.status;
    EXPECT_TRUE(r.report.complete);
    EXPECT_TRUE(noChildLeft());
}

// A program told its output file (a ".qvx" third argument) writes there.
TEST_F(ChildProcessTest, ProbeWritesToTheOutputFileItIsTold) {
    Run r = run(probe({"profile", "content", folder.file("reply.qvx")}));
    EXPECT_EQ(r.output, "");
    Report report = parseReport(readFile(folder.file("reply.qvx")));
    EXPECT_TRUE(report.complete);
    EXPECT_EQ(report["argv[3]"], folder.file("reply.qvx"));
    EXPECT_EQ(report["fds"], "0,1,2");
}

// Threads starting children at once: each child has its own descriptors
// only, though the others' files are open, inheritable, in the parent.
TEST_F(ChildProcessTest, ConcurrentStartsKeepTheirDescriptorsApart) {
    std::vector<std::string> seen[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 6; ++i) {
                const std::string name = folder.file("out" + std::to_string(t));
                const int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ChildSpec setup = probe();
                setup.stdoutFd = out;
                ChildProcess child;
                int status = -1;
                if (spawnChild(setup, child) == 0 && waitChild(child, kBound, &status) == ChildWait::Exited && status == 0)
                    seen[t].push_back(parseReport(readFile(name))["fds"]);
                close(out);
            }
        });
    for (auto& thread : threads) thread.join();
    for (const auto& fds : seen) EXPECT_EQ(fds, std::vector<std::string>(6, "0,1,2"));
}

// The waits, the descriptor sweep and the reaper, with pidfds and without.
class ChildProcessModes : public ChildProcessTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { useChildFallbacks(GetParam()); }
    void TearDown() override { useChildFallbacks(false); }
};

INSTANTIATE_TEST_SUITE_P(Kernel, ChildProcessModes, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) { return mode.param ? "WithoutPidfd" : "WithPidfd"; });

TEST_P(ChildProcessModes, OnlyTheStandardDescriptorsAreInherited) {
    const int plain = open("/dev/null", O_RDONLY);
    const int high = dup2(plain, 300);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Run r = run(probe());
    for (int fd : {plain, high, pipeFds[0], pipeFds[1]}) close(fd);
    ASSERT_TRUE(r.report.complete) << r.output;
    EXPECT_EQ(r.report["fds"], "0,1,2");
}

TEST_P(ChildProcessModes, WaitTimesOutAndTheChildGoesOn) {
    ChildProcess child;
    ASSERT_EQ(spawnChild(probe({}, {"QUERY_STRING=sleep=2000"}), child), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitChild(child, 100ms), ChildWait::TimedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 1000ms);
    EXPECT_TRUE(child.running());
    EXPECT_EQ(child.signal(SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitChild(child, kBound, &status), ChildWait::Exited);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(waitChild(child, 0ms), ChildWait::Failed);
    EXPECT_TRUE(gone(child.pid()));
}

TEST_P(ChildProcessModes, AbandonedChildIsReapedWhenItEnds) {
    const std::size_t before = lingeringChildren();
    ChildProcess child;
    ASSERT_EQ(spawnChild(probe({}, {"QUERY_STRING=sleep=300"}), child), 0);
    const pid_t pid = child.pid();
    abandonChild(std::move(child));
    EXPECT_FALSE(child.running());
    EXPECT_EQ(lingeringChildren(), before + 1);
    EXPECT_TRUE(lingeringDropsTo(before));
    EXPECT_TRUE(gone(pid));
}

// Destroying a running child, or starting another in its object, hands it
// to the reaper.
TEST_P(ChildProcessModes, ChildDroppedWhileRunningIsReaped) {
    const std::size_t before = lingeringChildren();
    pid_t first, second;
    {
        ChildProcess child;
        ASSERT_EQ(spawnChild(probe({}, {"QUERY_STRING=sleep=200"}), child), 0);
        first = child.pid();
        ASSERT_EQ(spawnChild(probe({}, {"QUERY_STRING=sleep=200"}), child), 0);
        second = child.pid();
        EXPECT_EQ(lingeringChildren(), before + 1);
    }
    EXPECT_EQ(lingeringChildren(), before + 2);
    EXPECT_TRUE(lingeringDropsTo(before));
    EXPECT_TRUE(gone(first));
    EXPECT_TRUE(gone(second));
}

TEST(ProcessRunProgram, CapturesOutputAndExitStatus) {
    std::string output;
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; echo err >&2; exit 4"}, 10000, &output), 4);
    EXPECT_EQ(output, "out\n");
    EXPECT_EQ(runProgram({"qv-no-such-program"}, 10000), -1);
    EXPECT_TRUE(noChildLeft());
}

TEST(ProcessRunProgram, KillsAProgramPastItsTime) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runProgram({"sleep", "10"}, 200), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace qv
