// The fuzz check itself: a judge that waves everything through, or a parse
// that never reaches the mapping, would make every fuzz run pass.
#include "tests/fuzz/request_check.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/config/path_mapping.h"

namespace qv::fuzz {
namespace {

const AliasEntry* aliasFor(std::string_view path) {
    for (const AliasEntry& a : fuzzSettings().aliases)
        if (a.path == path) return &a;
    return nullptr;
}

TEST(RequestCheck, JudgesMappedPathsAgainstTheirFolder) {
    struct Row {
        std::string local;
        const char* alias;  // null: the server's folder
        int verdict;
    };
    const Row rows[] = {
        {"/srv/fuzz/root/a/b.htm", nullptr, kPathContained},
        {"/srv/fuzz/root", nullptr, kPathContained},  // the folder itself, its final "/" dropped
        {"/srv/fuzz/root/./a", nullptr, kPathContained},
        {"/srv/fuzz/gopher", nullptr, kPathContained},  // an empty path maps to the gopher folder
        {"/srv/fuzz/rootkit/a", nullptr, kPathEscapes},  // a sibling that shares the folder's name
        {"/srv/fuzz/gopherhole", nullptr, kPathEscapes},
        {"/etc/passwd", nullptr, kPathEscapes},
        {"/srv/fuzz/root/../../etc/passwd", nullptr, kPathClimbs},
        {"/srv/fuzz/root/a..b", nullptr, kPathClimbs},  // the engine refuses any "..", so must we
        {std::string("/srv/fuzz/root/a\0.htm", 21), nullptr, kPathHasNul},
        {"/srv/fuzz/docs/a", "/docs", kPathContained},
        {"/srv/fuzz/docs", "/docs", kPathContained},
        {"/srv/fuzz/root/a", "/docs", kPathEscapes},  // mapped through an alias, yet in the root
        {"/srv/fuzz/home/ann/www/x", "/~", kPathContained},
        {"/srv/fuzz/other/x", "/~", kPathEscapes},
        {"/srv/fuzz/cgi/run.exe", "/cgi-bin/", kPathContained},
    };
    for (const Row& row : rows) {
        const AliasEntry* alias = row.alias ? aliasFor(row.alias) : nullptr;
        ASSERT_EQ(alias == nullptr, row.alias == nullptr) << row.alias;
        EXPECT_EQ(judgeMappedPath(row.local, alias), row.verdict) << row.local;
    }
}

TEST(RequestCheck, ParsesAndMapsTheRequestLikeTheServer) {
    struct Row {
        std::string input;
        int mapResult;
        std::string local;  // checked when mapped
    };
    const Row rows[] = {
        {"GET /a/b.htm HTTP/1.0\n", kMapped, "/srv/fuzz/root/a/b.htm"},
        {"GET /docs/x%20y.txt?q=1 HTTP/1.0\r\nHost: h\r\n\r\n", kMapped, "/srv/fuzz/docs/x y.txt"},
        {"GET /~ann/pics/a.gif HTTP/1.0\n", kMapped, "/srv/fuzz/home/ann/www/pics/a.gif"},
        {"GET /cgi-bin/run.exe/extra/info HTTP/1.0\n", kMapped, "/srv/fuzz/cgi/run.exe"},
        {"GET \\a\\\\b.txt HTTP/1.0\n", kMapped, "/srv/fuzz/root/a/b.txt"},
        {"", kMapped, "/srv/fuzz/gopher"},
        {"GET /../etc/passwd HTTP/1.0\n", kMapDotDot, ""},
        {"GET /%2e%2e/etc/passwd HTTP/1.0\n", kMapDotDot, ""},
        {"GET /docs\\..\\..\\etc HTTP/1.0\n", kMapDotDot, ""},
        {"GET /a%00.htm HTTP/1.0\n", kMapDotDot, ""},
        {"GET /pub/con HTTP/1.0\n", kMapDevice, ""},
        {"GET /" + std::string(300, 'a') + " HTTP/1.0\n", kMapTooLong, ""},
    };
    for (const Row& row : rows) {
        RequestCheck check = checkRequest(row.input);
        EXPECT_EQ(check.mapResult, row.mapResult) << row.input;
        if (row.mapResult == kMapped) {
            EXPECT_EQ(check.localPath, row.local) << row.input;
        }
        EXPECT_EQ(check.verdict, kPathContained) << row.input;
    }
}

}  // namespace
}  // namespace qv::fuzz
