// qvx32 driven as an operator would: console runs with signals, the debug
// log socket with a viewer, and the service unit commands.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::ChildProcess;

// A client of the debug log socket that collects one text per message.
struct LogClient {
    int fd = -1;
    explicit LogClient(const std::string& path) {
        sockaddr_un a {};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        for (int tries = 0; tries < 500 && fd < 0; ++tries) {
            fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(fd);
                fd = -1;
                test::sleepMs(10);
            }
        }
    }
    ~LogClient() {
        if (fd >= 0) close(fd);
    }
    // The next message, or nothing within the time.
    std::optional<std::string> next(int timeoutMs = 3000) {
        pollfd p {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        char buf[1024];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return std::nullopt;
        return std::string(buf, static_cast<std::size_t>(n));
    }
};

struct Qvx32 : ::testing::Test {
    test::TempFolder etc, run, logs;
    int port = test::freePort();

    std::map<std::string, std::string> env() const {
        return {{"QUORVANE_ETC", etc.path()}, {"QUORVANE_RUN", run.path()}};
    }
    void writeIni(const std::string& options, const std::string& extra = "") {
        test::writeFile(etc.file("quorvane.ini"), "[Options]\nlogdir=" + logs.path() + "/\n" + options +
                                                      "\n[Multi]\nserver1=talk\nip1=127.0.0.1\nport1=" +
                                                      std::to_string(port) + "\n" + extra + "server2=none\n" );
    }
    std::unique_ptr<ChildProcess> startDebug(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {QVX32_PATH, "-debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto child = std::make_unique<ChildProcess>(argv, env());
        EXPECT_TRUE(child->waitForOutput("servers started up OK.\r\n"));
        return child;
    }
};

TEST_F(Qvx32, ConsoleRunReloadsOnHangupAndStopsOnInterrupt) {
    writeIni("view_connects=0");
    auto qvx = startDebug();
    std::string out = qvx->output();
    EXPECT_EQ(out.rfind("Debugging Quorvane32 Service.\n", 0), 0u);
    for (const char* line : {"Quorvane Pro starting up...\r\n", "Sockets started up\r\n",
                             "#1 TEST Host: ", "Listening on 127.0.0.1:", "1 servers started up OK.\r\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;

    writeIni("view_connects=1");
    qvx->signal(SIGHUP);
    ASSERT_TRUE(qvx->waitForOutput("\r\nReloading settings...\r\n"));
    // The new settings are in effect once a connection is announced; the
    // reload may still be reading the file when the first one arrives.
    const std::string announced = "Connection from 127.0.0.1 on port " + std::to_string(port) + "\r\n";
    EXPECT_TRUE(test::eventually(
        [&] {
            close(test::connectLoopback(port));
            return qvx->output().find(announced) != std::string::npos;
        },
        10000));

    qvx->signal(SIGINT);
    EXPECT_EQ(qvx->wait(), 0);
    EXPECT_NE(qvx->output().find("Stopping Quorvane32 Service.\n"), std::string::npos);
    EXPECT_NE(qvx->output().find("Goodby from threadWaitForReset\r\n"), std::string::npos);
}

TEST_F(Qvx32, TerminateStopsTheConsoleRunToo) {
    writeIni("");
    auto qvx = startDebug();
    qvx->signal(SIGTERM);
    EXPECT_EQ(qvx->wait(), 0);
    EXPECT_NE(qvx->output().find("Stopping Quorvane32 Service.\n"), std::string::npos);
}

// A second console run on the same runtime folder cannot have the debug log
// socket: it says why and fails, so the shell sees it.  The first one runs
// on.  The settings file read is named on the console.
TEST_F(Qvx32, ASecondRunOnTheSameFolderFailsVisibly) {
    writeIni("");
    auto first = startDebug();
    EXPECT_NE(first->output().find("Reading settings from '" + etc.file("quorvane.ini") + "'\r\n"),
              std::string::npos);
    ChildProcess second({QVX32_PATH, "-debug"}, env());  // why goes to its standard error
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(second.output().find("servers started up OK"), std::string::npos);
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(), 0);
}

// A killed server leaves the shared reset event working: the next one on the
// same runtime folder reloads on every SIGHUP and stops on SIGTERM.
TEST_F(Qvx32, ReloadsGoOnAfterAServerWasKilled) {
    writeIni("");
    auto victim = startDebug();
    victim->signal(SIGHUP);
    ASSERT_TRUE(victim->waitForOutput("\r\nReloading settings...\r\n"));
    victim->signal(SIGKILL);
    victim->wait();
    auto next = startDebug();
    auto reloads = [&] {
        std::string out = next->output();
        int n = 0;
        for (std::size_t at = out.find("Reloading settings"); at != std::string::npos;
             at = out.find("Reloading settings", at + 1))
            ++n;
        return n;
    };
    for (int i = 1; i <= 5; ++i) {
        // A signal that lands while the previous reload still runs is
        // absorbed by design, so it is sent again until this reload shows.
        bool reloaded = false;
        for (int attempt = 0; attempt < 10 && !reloaded; ++attempt) {
            next->signal(SIGHUP);
            reloaded = test::eventually([&] { return reloads() >= i; }, 1000);
        }
        ASSERT_TRUE(reloaded) << "reload " << i;
    }
    next->signal(SIGTERM);
    EXPECT_EQ(next->wait(), 0);
}

TEST_F(Qvx32, ConsoleShowsEveryRequestLineInOrderUnderConcurrentClients) {
    test::TempFolder web;
    test::writeFile(etc.file("quorvane.ini"), "[Options]\nview_commands=1\nview_connects=1\nlogdir=" + logs.path() +
                                                  "/\n[Multi]\nserver1=httpd\nip1=127.0.0.1\nport1=" +
                                                  std::to_string(port) + "\ndir1=" + web.path() + "/\nserver2=none\n");
    auto qvx = startDebug();
    constexpr int kClients = 16, kRequests = 40;
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            for (int j = 0; j < kRequests; ++j) {
                int fd = test::connectLoopback(port);
                test::sendText(fd, "GET /c" + std::to_string(i) + "-r" + std::to_string(j) + " HTTP/1.0\r\n\r\n");
                test::readUntilClosed(fd, 5000);
                close(fd);
            }
        });
    for (auto& t : clients) t.join();
    const std::string last = "127.0.0.1 - '/c0-r" + std::to_string(kRequests - 1) + "'\r\n";
    ASSERT_TRUE(test::eventually([&] { return qvx->output().find(last) != std::string::npos; }, 10000));
    qvx->signal(SIGINT);
    ASSERT_EQ(qvx->wait(), 0);

    // Every line whole, and each client's lines in the order it sent them.
    std::vector<int> next(kClients, 0);
    int requestLines = 0;
    std::istringstream console(qvx->output());
    for (std::string line; std::getline(console, line);) {
        int client = -1, request = -1;
        if (std::sscanf(line.c_str(), "127.0.0.1 - '/c%d-r%d'", &client, &request) != 2) continue;
        ASSERT_EQ(line, "127.0.0.1 - '/c" + std::to_string(client) + "-r" + std::to_string(request) + "'\r");
        ASSERT_TRUE(client >= 0 && client < kClients);
        EXPECT_EQ(request, next[client]++) << "client " << client;
        ++requestLines;
    }
    EXPECT_EQ(requestLines, kClients * kRequests);
}

TEST_F(Qvx32, LateViewerGetsTheFirstThirtyTwoTextsThenNewOnes) {
    // Twenty network drives make forty texts before the servers start.
    std::string remote = "[remote]\n";
    for (int n = 1; n <= 20; ++n) remote += "path" + std::to_string(n) + "=share" + std::to_string(n) + "\n";
    test::writeFile(etc.file("quorvane.ini"), remote + "[Options]\nlogdir=" + logs.path() +
                                                  "/\n[Multi]\nserver1=talk\nip1=127.0.0.1\nport1=" +
                                                  std::to_string(port) + "\nserver2=none\n");
    auto qvx = startDebug();
    std::string console = qvx->output().substr(std::string("Debugging Quorvane32 Service.\n").size());
    LogClient viewer(run.file("debuglog"));
    std::string first32;
    for (int i = 0; i < 32; ++i) {
        auto text = viewer.next();
        ASSERT_TRUE(text) << "message " << i;
        first32 += *text;
    }
    EXPECT_EQ(console.rfind(first32, 0), 0u);
    EXPECT_FALSE(viewer.next(300));  // the later start-up texts were dropped

    qvx->signal(SIGHUP);
    EXPECT_EQ(viewer.next(), std::optional<std::string>("\r\nReloading settings...\r\n"));
    qvx->signal(SIGINT);
    EXPECT_EQ(qvx->wait(), 0);
}

TEST_F(Qvx32, LongTextsAreCutAndTheSocketIsForOwnerAndGroup) {
    std::string longDir = "/" + std::string(290, 'd') + "/";
    writeIni("", "dir1=" + longDir.substr(0, 258) + "\n");
    std::string path = run.file("custom.sock");
    auto qvx = startDebug({"-pipe", path});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_NE(access(run.file("debuglog").c_str(), F_OK), 0);

    LogClient viewer(path);
    std::string startLine;
    for (auto text = viewer.next(); text; text = viewer.next(500))
        if (text->rfind("#1 TEST", 0) == 0) startLine = *text;
    ASSERT_EQ(startLine.size(), 255u);
    std::string console = qvx->output();
    EXPECT_NE(console.find(startLine), std::string::npos);
    EXPECT_GT(console.find("\r\n", console.find(startLine)) - console.find(startLine), 255u);
    qvx->signal(SIGINT);
    EXPECT_EQ(qvx->wait(), 0);
}

TEST_F(Qvx32, ViewerFollowsTheServerThroughARestart) {
    writeIni("");
    std::string path = run.file("debuglog");
    ChildProcess viewer({QVX32_PATH, "-viewlog", "-pipe", path}, env());
    for (int round = 0; round < 2; ++round) {
        std::size_t before = viewer.output().size();
        auto qvx = startDebug();
        ASSERT_TRUE(test::eventually(
            [&] { return viewer.output().find("servers started up OK.\r\n", before) != std::string::npos; }, 10000));
        qvx->signal(SIGINT);
        EXPECT_EQ(qvx->wait(), 0);
    }
    viewer.signal(SIGINT);
    viewer.wait();
}

// Started by the service manager: READY once the servers run, STOPPING on
// SIGTERM, and a clean exit.
TEST_F(Qvx32, ServiceModeReportsThroughTheNotifySocket) {
    writeIni("");
    std::string notifyPath = run.file("notify");
    int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a {};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", notifyPath.c_str());
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    auto nextNotice = [&]() -> std::string {
        pollfd p {notify, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return "";
        char buf[256];
        ssize_t n = recv(notify, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    };
    auto serviceEnv = env();
    serviceEnv["NOTIFY_SOCKET"] = notifyPath;
    ChildProcess qvx({QVX32_PATH}, serviceEnv);
    EXPECT_EQ(nextNotice(), "READY=1");
    int fd = test::connectLoopback(port);  // the servers run
    EXPECT_GE(fd, 0);
    close(fd);
    qvx.signal(SIGTERM);
    EXPECT_EQ(nextNotice(), "STOPPING=1");
    EXPECT_EQ(qvx.wait(), 0);
    EXPECT_EQ(qvx.output().find("Stopping"), std::string::npos);  // no console texts in service mode
    close(notify);
}

// Every install names an existing user ("nobody"), so none is created; the
// settings point the log and temp folders into temporary folders, since a
// root -install hands them to the service user.
struct Qvx32Install : ::testing::Test {
    test::TempFolder units, etc, work;
    std::map<std::string, std::string> env = {{"QUORVANE_UNIT_DIR", units.path()}, {"QUORVANE_ETC", etc.path()}};

    void SetUp() override {
        test::writeFile(etc.file("quorvane.ini"),
                        "[Options]\nlogdir=" + work.file("logs") + "/\ntempdir=" + work.file("temp") + "/\n");
    }
    std::string unit() const { return test::readFile(units.file("quorvane32.service")); }
};

TEST_F(Qvx32Install, InstallAndRemoveTheUnit) {
    ChildProcess install({QVX32_PATH, "/INSTALL", "-user", "nobody"}, env);
    EXPECT_EQ(install.wait(), 0);
    EXPECT_EQ(install.output(), "Quorvane32 Service installed.\n");
    std::string text = unit();
    EXPECT_NE(text.find("Description=Quorvane32 Service\n"), std::string::npos);
    EXPECT_NE(text.find(std::string("ExecStart=") + QVX32_PATH + "\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=QUORVANE_ETC=" + etc.path() + "\n"), std::string::npos);

    ChildProcess again({QVX32_PATH, "-install", "-user", "nobody"}, env);
    again.wait();
    EXPECT_EQ(again.output(), "CreateService failed - File exists (0x11)\n");

    ChildProcess remove({QVX32_PATH, "-Remove"}, env);
    EXPECT_EQ(remove.wait(), 0);
    EXPECT_EQ(remove.output(), "Quorvane32 Service removed.\n");
    EXPECT_NE(access(units.file("quorvane32.service").c_str(), F_OK), 0);

    ChildProcess removeAgain({QVX32_PATH, "-remove"}, env);
    removeAgain.wait();
    EXPECT_EQ(removeAgain.output(), "OpenService failed - No such file or directory (0x2)\n");
}

// The unit as systemd will run it: an unprivileged user that still binds
// ports below 1024, reloads on SIGHUP, the hardening, and the shared
// runtime folder; the shell's own runtime folder is not copied.
TEST_F(Qvx32Install, UnitRunsAsTheUserWithTheCapabilityAndTheRuntimeFolder) {
    env["QUORVANE_RUN"] = work.file("run");
    ChildProcess install({QVX32_PATH, "-install", "-USER", "nobody"}, env);
    EXPECT_EQ(install.wait(), 0);
    std::string text = unit();
    for (const char* line :
         {"\nUser=nobody\n", "\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n", "\nExecReload=/bin/kill -HUP $MAINPID\n",
          "\nNoNewPrivileges=yes\n", "\nPrivateTmp=yes\n", "\nProtectSystem=full\n",
          "\nRestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n", "\nRuntimeDirectory=quorvane\n",
          "\nRuntimeDirectoryMode=0770\n", "\nRuntimeDirectoryPreserve=yes\n", "\nUMask=0007\n",
          "\nEnvironment=QUORVANE_RUN=/run/quorvane\n", "\n[Install]\nWantedBy=multi-user.target\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("ProtectHome"), std::string::npos);
    EXPECT_EQ(text.find(work.file("run")), std::string::npos);
    EXPECT_EQ(install.output(), "Quorvane32 Service installed.\n");

    if (geteuid() == 0) {  // root hands the work folders to the user
        const passwd* nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        struct stat st {};
        ASSERT_EQ(stat(work.file("logs").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, nobody->pw_uid);
        EXPECT_EQ(st.st_mode & 07777, 0770u);
    }
}

TEST_F(Qvx32Install, BadUserNameWritesNothing) {
    ChildProcess install({QVX32_PATH, "-install", "-user", "--uid=0"}, env);
    EXPECT_EQ(install.wait(), 0);
    EXPECT_EQ(install.output(), "CreateService failed - '--uid=0' is not a valid user name\n");
    EXPECT_NE(access(units.file("quorvane32.service").c_str(), F_OK), 0);
    EXPECT_NE(access(work.file("logs").c_str(), F_OK), 0);
}

// Needs a running systemd and root: the installed unit is started and its
// main process must run as the service user.
TEST_F(Qvx32Install, ServiceStartsAsThatUserUnderSystemd) {
    struct stat st {};
    if (stat("/run/systemd/system", &st) != 0)
        GTEST_SKIP() << "systemd is not running on this machine; the unit cannot be started here";
    if (geteuid() != 0) GTEST_SKIP() << "starting a system service needs root";
    if (access("/etc/systemd/system/quorvane32.service", F_OK) == 0 ||
        access("/run/systemd/system/quorvane32.service", F_OK) == 0)
        GTEST_SKIP() << "a quorvane32 service is installed here already";
    // PrivateTmp hides the test's /tmp folders from the service: its
    // settings live under /run instead.
    char pattern[] = "/run/qvx32-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string serviceEtc = pattern;
    chmod(serviceEtc.c_str(), 0755);
    int port = test::freePort();
    test::writeFile(serviceEtc + "/quorvane.ini", "[Options]\nlogdir=" + serviceEtc + "/logs/\ntempdir=" + serviceEtc +
                                                     "/temp/\n[Multi]\nserver1=talk\nip1=127.0.0.1\nport1=" +
                                                     std::to_string(port) + "\nserver2=none\n");
    chmod((serviceEtc + "/quorvane.ini").c_str(), 0644);
    std::map<std::string, std::string> runEnv = {{"QUORVANE_UNIT_DIR", "/run/systemd/system"},
                                                 {"QUORVANE_ETC", serviceEtc}};
    ChildProcess install({QVX32_PATH, "-install", "-user", "nobody"}, runEnv);
    ASSERT_EQ(install.wait(30000), 0);
    ChildProcess start({"/usr/bin/systemctl", "start", "quorvane32"}, {});
    EXPECT_EQ(start.wait(30000), 0);
    ChildProcess show({"/usr/bin/systemctl", "show", "-p", "MainPID", "--value", "quorvane32"}, {});
    show.wait(10000);
    std::string status = test::readFile("/proc/" + std::to_string(std::atoi(show.output().c_str())) + "/status");
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    EXPECT_NE(status.find("\nUid:\t" + std::to_string(nobody->pw_uid) + "\t"), std::string::npos) << status;
    ChildProcess remove({QVX32_PATH, "-remove"}, runEnv);
    EXPECT_EQ(remove.wait(120000), 0);
    std::filesystem::remove_all(serviceEtc);
}

TEST(Qvx32Service, UnknownOptionPrintsUsageAndFailsOutsideTheServiceManager) {
    ChildProcess qvx({QVX32_PATH, "-help"}, {});
    EXPECT_EQ(qvx.wait(), 1);
    EXPECT_EQ(qvx.output(),
              "QVX32 -install          to install the service\n"
              "QVX32 -remove           to remove the service\n"
              "QVX32 -debug <params>   to run as a console app for debugging\n"
              "\nStartServiceCtrlDispatcher being called.\n"
              "This may take several seconds.  Please wait.\n");
}

}  // namespace
}  // namespace qv
