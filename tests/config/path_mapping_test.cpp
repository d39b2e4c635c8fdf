// From request paths to local files: aliases, guards, twins and owners.
#include "engine/config/path_mapping.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>

#include "tests/support/test_support.h"

namespace qv {
namespace {

struct PathMapping : ::testing::Test {
    test::TempFolder site;
    std::string root = site.path() + "/root/";
    std::shared_ptr<const Settings> settings;
    MappingContext context;

    void SetUp() override {
        std::filesystem::create_directories(root + "sub");
        std::filesystem::create_directories(site.file("docs/deep"));
        std::filesystem::create_directories(site.file("home/ann/www/a"));
        test::writeFile(root + "index.html", "<html>");
        test::writeFile(root + "page.htm", "<html>");
        test::writeFile(site.file("docs/x.txt"), "x");
        test::writeFile(site.file("home/ann/www/a/b.htm"), "b");
        load("");
        context.root = root;
    }
    void load(const std::string& extra) {
        std::string ini = "[Options]\ngopherdir=" + site.path() + "/gopher/\n[Aliases]\nAlias1=/d " + site.path() +
                          "/d/\nAlias2=/docs " + site.path() + "/docs/\nAlias3=/~ " + site.path() +
                          "/home/$1/www\n" + extra;
        test::writeFile(site.file("quorvane.ini"), ini);
        settings = readSettings(site.file("quorvane.ini"));
    }
    int map(std::string path, std::string& result) {
        const AliasEntry* alias = nullptr;
        return aliasToDosDir(*settings, path, result, alias, context);
    }
    std::string mapped(const std::string& path) {
        std::string result;
        EXPECT_EQ(map(path, result), kMapped) << path;
        return result;
    }
};

TEST_F(PathMapping, RootAliasesAndTheLongestPrefix) {
    EXPECT_EQ(mapped("/sub/file.txt"), root + "sub/file.txt");
    EXPECT_EQ(mapped("/docs/x.txt"), site.path() + "/docs/x.txt");  // /docs beats /d
    EXPECT_EQ(mapped("/DOCS/x.txt"), site.path() + "/docs/x.txt");
    EXPECT_EQ(mapped("/docs/"), site.path() + "/docs");  // the folder itself, without the final "/"
    EXPECT_EQ(mapped("/dx"), site.path() + "/d/x");     // the prefix need not end at a separator
    EXPECT_EQ(mapped("/~ann/a/b.htm"), site.path() + "/home/ann/www/a/b.htm");
    EXPECT_EQ(mapped(""), site.path() + "/gopher");  // the Gopher root, its final "/" dropped like any folder
}

TEST_F(PathMapping, SeparatorRunsCollapseInTheCallersPath) {
    std::string path = "//docs\\\\deep//x", result;
    const AliasEntry* alias = nullptr;
    EXPECT_EQ(aliasToDosDir(*settings, path, result, alias, context), kMapped);
    EXPECT_EQ(path, "/docs\\deep/x");
    EXPECT_EQ(result, site.path() + "/docs/deep/x");
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(alias->path, "/docs");
}

TEST_F(PathMapping, DeviceNamesAreRefused) {
    std::string result;
    for (const char* p : {"/files/LPT1", "/files/lpt4", "/com2", "/x/CON", "/clock$", "/files/emm386", "/xmsxxx"})
        EXPECT_EQ(map(p, result), kMapDevice) << p;
    for (const char* p : {"/files/lpt5", "/files/lpt1.txt", "/files/emm386.exe", "/console", "/com10"})
        EXPECT_EQ(map(p, result), kMapped) << p;
}

TEST_F(PathMapping, NothingClimbsOutOfTheMappedFolder) {
    std::string result;
    for (const char* p : {"/a/../b", "/..", "/docs/../../etc/passwd", "/docs\\..\\x", "/~../x", "/~ann/../../x",
                          "/sub/..\\..\\x", "/x..y"})
        EXPECT_EQ(map(p, result), kMapDotDot) << p;
    EXPECT_EQ(map(std::string("/page.htm\0.txt", 14), result), kMapDotDot);
}

TEST_F(PathMapping, LongResultsAreRefusedForRootAndAliasAlike) {
    std::string result;
    EXPECT_EQ(map("/" + std::string(300, 'a'), result), kMapTooLong);
    EXPECT_EQ(map("/docs/" + std::string(300, 'a'), result), kMapTooLong);
}

TEST_F(PathMapping, TheOtherFormOfAnHtmlNameIsTried) {
    EXPECT_EQ(mapped("/index.htm"), root + "index.html");
    EXPECT_EQ(mapped("/page.html"), root + "page.htm");
    EXPECT_EQ(mapped("/missing.htm"), root + "missing.htm");
}

// The stamp the mapping hands back is that of the file it mapped to, so
// the caller can skip its own look.
TEST_F(PathMapping, StampIsOfTheMappedFileAsItStands) {
    test::writeFile(root + "index.html", std::string(300, 'i'));
    auto mapWithStamp = [&](std::string path, std::string& result) {
        const AliasEntry* alias = nullptr;
        std::optional<FileStamp> stamp;
        EXPECT_EQ(aliasToDosDir(*settings, path, result, alias, context, &stamp), kMapped);
        return stamp;
    };
    std::string result;
    auto twin = mapWithStamp("/index.htm", result);
    ASSERT_TRUE(twin);
    EXPECT_EQ(twin->size, 300u);  // the twin's, not the missing name's
    EXPECT_EQ(mapWithStamp("/missing.htm", result)->size, 0u);
    // "name/" was looked at with its "/", which a file fails: no stamp for "name".
    EXPECT_FALSE(mapWithStamp("/index.html/", result));
    EXPECT_EQ(result, root + "index.html");
}

TEST_F(PathMapping, OwnersNeedTheirLogin) {
    load("Alias4=/private " + site.path() + "/docs/ ann\nAlias5=/staff " + site.path() +
         "/docs/ Staff\nAlias6=/open " + site.path() + "/docs/ Anybody anywhere\n[Users]\nUser1=ann Secret\n"
         "User2=bob pw\n[Groups]\nGroup1=staff bob\n");
    std::string result;
    EXPECT_EQ(map("/private/x.txt", result), kMapLoginNeeded);
    context.user = "ann";
    context.password = "secret";
    EXPECT_EQ(map("/private/x.txt", result), kMapLoginNeeded);
    context.password = "Secret";
    EXPECT_EQ(map("/private/x.txt", result), kMapped);
    EXPECT_EQ(map("/staff/x.txt", result), kMapLoginNeeded);  // ann is not in Staff
    context.user = "bob";
    context.password = "pw";
    EXPECT_EQ(map("/staff/x.txt", result), kMapped);
    context.user.reset();
    EXPECT_EQ(map("/open/x.txt", result), kMapped);
}

TEST_F(PathMapping, HostRestrictionsUseTheServersOwnAddress) {
    load("Alias4=/lan " + site.path() + "/docs/ Anybody lan\nAlias5=/nomask " + site.path() +
         "/docs/ Anybody unknown\n[Host Restrictions]\nlan=255.255.255.0\n");
    inet_pton(AF_INET, "10.1.2.3", &context.ownAddress);
    test::CapturedOutput output;
    std::string result;
    context.client = "10.1.2.200";
    EXPECT_EQ(map("/lan/x.txt", result), kMapped);
    EXPECT_TRUE(output.contains("Maskname lan  Mask 255.255.255.0  OtherHost 10.1.2.200\r\nMask OK\r\n"));
    context.client = "10.1.3.1";
    EXPECT_EQ(map("/lan/x.txt", result), kMapHostRefused);
    EXPECT_TRUE(output.contains("Not in mask\r\n"));
    context.client.reset();  // as from the Gopher server
    EXPECT_EQ(map("/lan/x.txt", result), kMapHostRefused);
    EXPECT_EQ(map("/nomask/x.txt", result), kMapped);
    EXPECT_TRUE(output.contains("Mask not found\r\n"));
}

TEST(DollarOne, EveryOccurrenceIsReplaced) {
    EXPECT_EQ(substituteDollarOne("/u/$1/www/$1", "ann"), "/u/ann/www/ann");
    EXPECT_EQ(substituteDollarOne("/u/$2/$", "ann"), "/u/$2/$");
}

TEST(FileStamps, FoldersAndEmptyFilesCountAsAbsent) {
    test::TempFolder dir;
    test::writeFile(dir.file("empty"), "");
    test::writeFile(dir.file("five"), "12345");
    EXPECT_EQ(fileSizeAndDate(dir.path()).size, 0u);
    EXPECT_EQ(fileSizeAndDate(dir.file("empty")).size, 0u);
    EXPECT_EQ(fileSizeAndDate(dir.file("missing")).size, 0u);
    FileStamp five = fileSizeAndDate(dir.file("five"));
    EXPECT_EQ(five.size, 5u);
    EXPECT_GT(five.dosDate, 0);
}

}  // namespace
}  // namespace qv
