#include "engine/gopher/gopher_menu.h"

#include <gtest/gtest.h>

#include "engine/log/dates.h"

namespace qv {
namespace {

TEST(GopherRequests, TypeLetterThenPath) {
    struct Case {
        const char* line;
        char type;
        const char* path;
    } cases[] = {
        {"", '1', ""},                           // the root menu
        {"1/docs", '1', "/docs"},
        {"0/docs/Read me.txt", '0', "/docs/Read me.txt"},
        {"I", 'I', ""},
        {"0\\docs\\a.txt", '0', "/docs/a.txt"},  // a backslash is a separator
        {"1/docs\t$", '1', "/docs"},             // Gopher+ markers and search texts are dropped
        {"7/find\tword", '7', "/find"},
        {"\t+", '1', ""},
    };
    for (const Case& c : cases) {
        GopherRequest r = parseGopherRequest(c.line);
        EXPECT_EQ(r.type, c.type) << c.line;
        EXPECT_EQ(r.path, c.path) << c.line;
    }
}

struct MenuLines : ::testing::Test {
    MenuLines() {
        s.fileTypes = {{"TXT", '0', {}, {}}, {"GIF", 'I', {}, {}}, {"HTM", 'h', {}, {}}};
    }
    FolderEntry file(const std::string& name, uint64_t size) {
        FolderEntry e;
        e.name = name;
        e.size = size;
        e.dosDate = kDec6;
        return e;
    }
    std::string line(std::string_view path, const FolderEntry& e, std::optional<std::string> description = {}) {
        return menuLine(s, MenuFolder {path, "gopher.example", 7070}, e, description);
    }
    // 2026-12-06 as a DOS date: years since 1980, month, day.
    static constexpr uint16_t kDec6 = (46 << 9) | (12 << 5) | 6;
    const std::string date = dosDateText(kDec6);
    Settings s;
};

TEST_F(MenuLines, SizeTextsAtTheUnitBoundaries) {
    EXPECT_EQ(line("/docs", file("a.txt", 1023)),
              "0       a.txt 1023 B  " + date + "\t0/docs/a.txt\tgopher.example\t7070\r\n");
    EXPECT_EQ(line("/docs", file("b.txt", 1024)),
              "0       b.txt    1 kB " + date + "\t0/docs/b.txt\tgopher.example\t7070\r\n");
    EXPECT_EQ(line("/docs", file("c.txt", 2048000)),
              "0       c.txt    2 MB " + date + "\t0/docs/c.txt\tgopher.example\t7070\r\n");
    // A long name is never cut; the file-type table gives the type letter.
    EXPECT_EQ(line("/", file("A picture of the sea.gif", 10)),
              "IA picture of the sea.gif   10 B  " + date + "\tI/A picture of the sea.gif\tgopher.example\t7070\r\n");
}

TEST_F(MenuLines, DescriptionsFollowTheTextAndCannotForgeFields) {
    FolderEntry folder;
    folder.name = "music";
    folder.folder = true;
    EXPECT_EQ(line("/docs", folder, "Songs we like"), "1music/: Songs we like\t1/docs/music\tgopher.example\t7070\r\n");
    EXPECT_EQ(line("/docs", folder, "a\tb\rc"), "1music/: a b c\t1/docs/music\tgopher.example\t7070\r\n");
    std::string longer(200, 'd');
    EXPECT_EQ(line("/docs", folder, longer), "1music/: " + std::string(127, 'd') + "\t1/docs/music\tgopher.example\t7070\r\n");
}

}  // namespace
}  // namespace qv
