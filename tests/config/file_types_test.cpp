// Lookups in the file-type table: the extension of a name, its Gopher type,
// content type and listing icon.
#include "engine/config/file_types.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

class FileTypesTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.fileTypes = {
            {"HTM", 'h', "text/html", std::nullopt},
            {"GIF", 'I', "image/gif", "/icons/image.gif"},
            {"*", '9', "application/old", "/icons/old.gif"},
            {"NOM", 'n', std::nullopt, "/icons/nomime.gif"},
            {"HTM", 'x', "text/second", "/icons/second.gif"},
            {"|", '0', "text/plain", "/icons/noext.gif"},
            {"*", '9', "application/octet-stream", "/icons/binary.gif"},  // the last "*" counts
        };
    }
    Settings s;
};

TEST(FileExtensionTest, TextAfterTheFirstInnerDot) {
    std::pair<const char*, const char*> cases[] = {
        {"page.html", "html"}, {"a.tar.gz", "tar.gz"}, {"x.h", "h"}, {".profile", ""},
        {"name.", ""},         {"ab", ""},             {".a.b", "b"}, {"a..", "."},
    };
    for (auto [name, extension] : cases) EXPECT_EQ(fileExtension(name), extension) << name;
}

// Like the 8.3 names the table was written for, the name's extension is
// compared in upper case; the table's entries as written.
TEST_F(FileTypesTest, GopherTypeMatchesTheUpperCasedExtensionAndHasNoDefault) {
    EXPECT_EQ(fileTypeChar(s, "a.GIF"), 'I');
    EXPECT_EQ(fileTypeChar(s, "a.gif"), 'I');
    EXPECT_EQ(fileTypeChar(s, "Picture.Gif"), 'I');
    EXPECT_EQ(fileTypeChar(s, "a.HTML"), 'h');  // the first of two HTM entries
    EXPECT_EQ(fileTypeChar(s, "a.ZIP"), '0');
    EXPECT_EQ(fileTypeChar(s, "README"), '0');
}

TEST_F(FileTypesTest, ContentTypeAndIconMatchTheUpperCasedExtension) {
    struct Case {
        const char* name;
        std::optional<std::string_view> contentType, icon;
    } cases[] = {
        {"page.html", "text/html", "/icons/binary.gif"},  // no icon of its own
        {"x.Gif", "image/gif", "/icons/image.gif"},
        {"x.nom", std::nullopt, "/icons/nomime.gif"},  // no MIME type, and no fallback for it
        {"x.zip", "application/octet-stream", "/icons/binary.gif"},
        {"README", "text/plain", "/icons/noext.gif"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileContentType(s, c.name), c.contentType) << c.name;
        EXPECT_EQ(fileIcon(s, c.name), c.icon) << c.name;
    }
}

TEST_F(FileTypesTest, ContentTypeLeavesTheCallersPathAlone) {
    std::string path = "/srv/html/page.html";
    EXPECT_EQ(fileContentType(s, path), "text/html");
    EXPECT_EQ(path, "/srv/html/page.html");
}

TEST(FileTypesWithoutDefaultsTest, NoEntryGivesNone) {
    Settings s;
    s.fileTypes = {{"GIF", 'I', "image/gif", std::nullopt}};
    EXPECT_EQ(fileContentType(s, "x.zip"), std::nullopt);
    EXPECT_EQ(fileContentType(s, "README"), std::nullopt);
    EXPECT_EQ(fileIcon(s, "x.gif"), std::nullopt);
}

}  // namespace
}  // namespace qv
