#include "engine/http/folder_listing.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

TEST(ListingSizes, BytesKilobytesAndTheDecimalMegabyte) {
    EXPECT_EQ(listingSizeText(0), "   0 B ");
    EXPECT_EQ(listingSizeText(1023), "1023 B ");
    EXPECT_EQ(listingSizeText(1024), "   1 kB");
    EXPECT_EQ(listingSizeText(1023999), " 999 kB");
    EXPECT_EQ(listingSizeText(1024000), "   1 MB");
    EXPECT_EQ(listingSizeText(1500000), "   1 MB");
    EXPECT_EQ(listingSizeText(5000000000ULL), "4882 MB");  // files of 4 GiB and more
}

TEST(PageTitles, FirstTitleOrHeadingWithinTheFirstKilobyte) {
    test::TempFolder dir;
    struct Case {
        std::string page;
        const char* title;
    } cases[] = {
        {"<html><TITLE>Hello</TITLE>", "Hello"},
        {"<h2>Second level</h2><title>later</title>", "Second level"},
        {"<title>" + std::string(60, 't') + "</title>", "tttttttttttttttttttttttttttttttttttttttt"},
        {"<title>ends at line end\r\nmore", "ends at line end"},
        {"<title>never ends", ""},
        {std::string(1020, ' ') + "<title>late</title>", ""},
        {"<h4>not a title</h4>", ""},
    };
    for (const auto& c : cases) {
        test::writeFile(dir.file("p.htm"), c.page);
        EXPECT_EQ(pageTitle(dir.file("p.htm")), c.title) << c.page.substr(0, 40);
    }
}

}  // namespace
}  // namespace qv
