#include "engine/http/folder_listing.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

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
