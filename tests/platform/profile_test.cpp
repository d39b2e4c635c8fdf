// ProfileFile, the INI reader/writer behind the settings, counter and access
// files.  Reads go through a cache, so changes made behind the reader's back
// must still be seen at the next read.
#include "engine/platform/profile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::readFile;
using test::writeFile;

class ProfileTest : public ::testing::Test {
protected:
    test::TempFolder folder;
    std::string path = folder.file("test.ini");
    ProfileFile ini{path};
};

TEST_F(ProfileTest, ReadsCaseInsensitivelyTrimmedFirstMatchFirst) {
    writeFile(path,
              "key=outside any section\n"
              "[Options]\n"
              "  Name  =   spaced value  \n"
              "dup=first\n"
              "DUP=second\n"
              ";hidden=comment\n"
              "no equals sign\n"
              "empty=\n"
              "[options]\n"
              "later=in a repeated section\n");
    EXPECT_EQ(ini.getString("OPTIONS", "name", "def", 100), "spaced value");
    EXPECT_EQ(ini.getString("options", "Dup", "def", 100), "first");
    EXPECT_EQ(ini.getString("Options", "hidden", "def", 100), "def");
    EXPECT_EQ(ini.getString("Options", "empty", "def", 100), "");
    EXPECT_EQ(ini.getString("Options", "key", "def", 100), "def");
    EXPECT_FALSE(ini.hasKey("Options", "later")) << "only the first section of a name is read";
    EXPECT_EQ(ini.keys("Options"), (std::vector<std::string>{"Name", "dup", "empty"}));
    // Cut to the buffer size minus one; the default too.
    EXPECT_EQ(ini.getString("Options", "name", "", 4), "spa");
    EXPECT_EQ(ini.getString("Options", "name", "", 1), "");
    EXPECT_EQ(ini.getString("Options", "absent", "default", 4), "def");
    EXPECT_EQ(ProfileFile(folder.file("missing.ini")).getString("Options", "name", "def", 100), "def");
}

TEST_F(ProfileTest, IntegersAreTheNumberAtTheStartOfTheValue) {
    writeFile(path, "[N]\nplain=42\nnegative=-17\ntrailing=12abc\nword=abc\nempty=\nspaced=  300  \nhex=0x1F\n");
    std::pair<const char*, int> cases[] = {{"plain", 42}, {"negative", -17}, {"trailing", 12}, {"word", 0},
                                           {"empty", 0},  {"spaced", 300},   {"hex", 0},       {"absent", 99}};
    for (auto [key, expected] : cases) EXPECT_EQ(ini.getInt("n", key, 99), expected) << key;
}

TEST_F(ProfileTest, WriteCreatesAddsAndReplaces) {
    ASSERT_EQ(ini.writeString("Counts", "a", "1"), 0);  // creates file and section
    ASSERT_EQ(ini.writeString("counts", "b", "2"), 0);
    ASSERT_EQ(ini.writeString("COUNTS", "A", "10"), 0);
    EXPECT_EQ(ini.keys("Counts").size(), 2u);
    EXPECT_EQ(ini.getInt("Counts", "a", 0), 10);
    ASSERT_EQ(ini.writeString("Counts", "a", "11"), 0);
    ASSERT_EQ(ini.writeString("Second", "c", "3"), 0);
    EXPECT_EQ(readFile(path), "[Counts]\na=11\nb=2\n\n[Second]\nc=3\n");

    // A new key goes after the last key of its section, before the rest.
    writeFile(path, "; comment\n[One]\nx=1\n\n[Two]\ny=2\n");
    ASSERT_EQ(ini.writeString("One", "z", "3"), 0);
    EXPECT_EQ(readFile(path), "; comment\n[One]\nx=1\nz=3\n\n[Two]\ny=2\n");
}

TEST_F(ProfileTest, NullValueDeletesKeyAndNullKeyDeletesSection) {
    writeFile(path, "[One]\nx=1\ny=2\n[Two]\nz=3\n[Three]\nw=4\n");
    ASSERT_EQ(ini.writeString("one", "X", std::nullopt), 0);
    ASSERT_EQ(ini.writeString("TWO", std::nullopt, std::nullopt), 0);
    ASSERT_EQ(ini.writeString("One", "absent", std::nullopt), 0);
    ASSERT_EQ(ini.writeString("Absent", std::nullopt, std::nullopt), 0);
    EXPECT_EQ(readFile(path), "[One]\ny=2\n[Three]\nw=4\n");
}

// Keys and values come from requests (hit counters, access files): a line
// break or a bracket must never smuggle new lines or sections into a file.
TEST_F(ProfileTest, WritesThatWouldAddLinesAreRefused) {
    writeFile(path, "[S]\nk=v\n");
    EXPECT_EQ(ini.writeString("S", "k", "1\n[Evil]\nx=y"), EINVAL);
    EXPECT_EQ(ini.writeString("S", "a\rb", "1"), EINVAL);
    EXPECT_EQ(ini.writeString("S", "[T]", "1"), EINVAL);
    EXPECT_EQ(ini.writeString("S", "a=b", "1"), EINVAL);
    EXPECT_EQ(ini.writeString("S]x", "a", "1"), EINVAL);
    EXPECT_EQ(readFile(path), "[S]\nk=v\n");
}

TEST_F(ProfileTest, WritesLeaveNoWorkFilesAndKeepCrLf) {
    writeFile(path, "[S]\r\nk = v \r\n");
    EXPECT_EQ(ini.getString("S", "k", "", 10), "v");
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ini.writeString("S", "n" + std::to_string(i % 2), std::to_string(i)), 0);
    EXPECT_EQ(readFile(path), "[S]\r\nk = v \r\nn0=8\r\nn1=9\r\n");
    // Beside the file only its hidden write-lock file.
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename();
        EXPECT_TRUE(name == "test.ini" || name == std::string(kWorkFilePrefix) + "test.ini.lock") << name;
    }
}

TEST_F(ProfileTest, ABatchIsWrittenWholeOrNotAtAll) {
    writeFile(path, "[A]\nx=1\n[B]\ny=2\n");
    chmod(path.c_str(), 0640);
    std::vector<ProfileWrite> writes {{"A", "x", "10"}, {"B", "y", std::nullopt}, {"C", "z", "3"}};
    ASSERT_EQ(ini.writeBatch(writes), 0);
    EXPECT_EQ(readFile(path), "[A]\nx=10\n[B]\n\n[C]\nz=3\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file keeps its mode
    writes.push_back({"D", "bad\nkey", "v"});
    EXPECT_EQ(ini.writeBatch(writes), EINVAL);
    EXPECT_EQ(readFile(path), "[A]\nx=10\n[B]\n\n[C]\nz=3\n");
}

// Two processes writing other keys of one file at the same time: the write
// lock keeps either from replacing the file with a copy that lacks the
// other's keys.
TEST_F(ProfileTest, WritersInTwoProcessesLoseNothing) {
    writeFile(path, "");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    const char* prefix = child == 0 ? "child" : "parent";
    ProfileFile file(path);
    for (int i = 0; i < 100; ++i)
        if (file.writeString("Keys", prefix + std::to_string(i), "1") != 0) break;
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(ini.keys("Keys").size(), 200u);
}

// Another process rewrites the file.  The file first rests for a while, so
// that its parse is kept in the cache.
TEST_F(ProfileTest, SeesChangesMadeBehindItsBack) {
    writeFile(path, "[S]\nk=1\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(ini.getInt("S", "k", 0), 1);
    EXPECT_EQ(ini.getInt("S", "k", 0), 1);

    writeFile(path, "[S]\nk=1234\n");  // in place, another size
    EXPECT_EQ(ini.getInt("S", "k", 0), 1234);
    std::string other = folder.file("other.ini");
    writeFile(other, "[S]\nk=5678\n");  // same size, renamed over
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    EXPECT_EQ(ini.getInt("S", "k", 0), 5678);
    writeFile(path, "[S]\nk=8765\n");  // in place, same size
    EXPECT_EQ(ini.getInt("S", "k", 0), 8765);
    std::filesystem::remove(path);
    EXPECT_EQ(ini.getInt("S", "k", 0), 0);
}

// Counter files are rewritten many times a second with values of one size;
// each replacement may reuse the inode number its predecessor freed.
TEST_F(ProfileTest, RapidSameSizeWritesAreAllSeen) {
    ProfileFile reader(path);
    for (int i = 10; i < 60; i += 2) {
        ASSERT_EQ(ini.writeString("Count", "hits", std::to_string(i)), 0);
        ASSERT_EQ(reader.getInt("Count", "hits", 0), i);
        ASSERT_EQ(ini.writeString("Count", "hits", std::to_string(i + 1)), 0);
        ASSERT_EQ(ini.writeString("Count", "hits", std::to_string(i + 2)), 0);
        ASSERT_EQ(reader.getInt("Count", "hits", 0), i + 2);
    }
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// A process killed while it rewrites a file, with or without the flush to
// the disk, leaves the old file or the new one: never a torn one, and its
// unfinished work file only under a hidden name.
TEST(ProfileCrash, AKilledWriterLeavesAWholeFile) {
    test::TempFolder dir;
    const std::string path = dir.file("counts.qvx");
    const std::string filler(4000, 'f');
    for (bool sync : {true, false}) {
        ASSERT_EQ(ProfileFile(path).writeString("Commands", "/a", "0 start"), 0);
        for (int round = 0; round < 5; ++round) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ProfileFile file(path, sync);
                for (int n = 1;; ++n) {
                    file.writeString("Commands", "/a", std::to_string(n) + " start");
                    file.writeString("Filler", "f", filler);
                }
            }
            usleep(static_cast<useconds_t>(2000 + round * 3000));
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            const std::string text = test::readFile(path);
            EXPECT_EQ(text.rfind("[Commands]", 0), 0u) << text.substr(0, 80);
            EXPECT_TRUE(text.ends_with("\n")) << "sync " << sync;
            EXPECT_NE(ProfileFile(path).getString("Commands", "/a", "", 64).find(" start"), std::string::npos);
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename();
            EXPECT_TRUE(name == "counts.qvx" || isWorkFileName(name)) << name;
        }
    }
}

}  // namespace
}  // namespace qv
