// The runtime folder an engine resolves when nothing names one: the
// installed service's folder when this user may work in it, else a folder
// of the user's own.  The service's folder is stood in for by a temporary
// one.  Root may use any folder, so the "may not use it" cases run in a
// child that has dropped to the unprivileged user "nobody".
#include <gtest/gtest.h>

#include <cstdlib>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/platform/runtime_dir.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::TempFolder;

// Sets or clears one environment variable for the scope of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// defaultRuntimeFolder(systemFolder) as the user "nobody" would resolve it,
// computed in a child process that gives up root first.
std::string resolvedAsNobody(const std::string& systemFolder) {
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) return "<no user nobody>";
    int fds[2];
    if (pipe(fds) != 0) return "<no pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
        std::string folder = defaultRuntimeFolder(systemFolder);
        ssize_t n = write(fds[1], folder.data(), folder.size());
        _exit(n == static_cast<ssize_t>(folder.size()) ? 0 : 3);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "<child failed>";
}

struct RuntimeFolderOrder : ::testing::Test {
    TempFolder top;
    ScopedEnv noRun{"QUORVANE_RUN", nullptr};
    ScopedEnv xdg{"XDG_RUNTIME_DIR", "/xdg/runtime"};
    std::string system = top.file("run-quorvane");

    void SetUp() override { chmod(top.path().c_str(), 0755); }
};

TEST_F(RuntimeFolderOrder, ExplicitFolderWinsOverTheServiceFolder) {
    ASSERT_EQ(mkdir(system.c_str(), 0777), 0);
    ScopedEnv run("QUORVANE_RUN", "/srv/run/quorvane//");
    EXPECT_EQ(defaultRuntimeFolder(system), "/srv/run/quorvane");
}

TEST_F(RuntimeFolderOrder, ServiceFolderIsChosenWhenThisUserMayUseIt) {
    ASSERT_EQ(mkdir(system.c_str(), 0770), 0);
    EXPECT_EQ(defaultRuntimeFolder(system + "/"), system);
}

TEST_F(RuntimeFolderOrder, AbsentServiceFolderOrAFileThereFallsBackToTheUserFolders) {
    EXPECT_EQ(defaultRuntimeFolder(system), "/xdg/runtime/quorvane");
    test::writeFile(system, "not a folder");
    EXPECT_EQ(defaultRuntimeFolder(system), "/xdg/runtime/quorvane");
    ScopedEnv noXdg("XDG_RUNTIME_DIR", "");
    EXPECT_EQ(defaultRuntimeFolder(system), "/tmp/quorvane-" + std::to_string(getuid()));
}

// The installed folder is 0770 for the service user and its group: another
// user must not pick it (its lock files and table could not be opened).
TEST_F(RuntimeFolderOrder, ServiceFolderOfAnotherUserIsSkipped) {
    ASSERT_EQ(mkdir(system.c_str(), 0770), 0);
    ASSERT_EQ(chmod(system.c_str(), 0770), 0);
    if (geteuid() != 0) {
        // Without root the folder is ours; take our own write permission.
        ASSERT_EQ(chmod(system.c_str(), 0550), 0);
        EXPECT_EQ(defaultRuntimeFolder(system), "/xdg/runtime/quorvane");
        return;
    }
    EXPECT_EQ(resolvedAsNobody(system), "/xdg/runtime/quorvane");
    // Readable and searchable but not writable is not enough either.
    ASSERT_EQ(chmod(system.c_str(), 0775), 0);
    EXPECT_EQ(resolvedAsNobody(system), "/xdg/runtime/quorvane");
    // The same child picks the folder once it may work there, so the cases
    // above failed for the mode and not for the way the child runs.
    ASSERT_EQ(chmod(system.c_str(), 0777), 0);
    EXPECT_EQ(resolvedAsNobody(system), system);
}

}  // namespace
}  // namespace qv
