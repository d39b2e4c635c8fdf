#include "engine/http/var_list.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(VarList, DuplicateNamesGetNumberedSuffixes) {
    VarList list;
    list.add("Cookie", "a=1");
    list.add("cookie", "b=2");
    list.add("COOKIE", "c=3");
    std::vector<std::string> names;
    list.forEach([&](const VarList::Entry& e) { names.push_back(e.name); });
    EXPECT_EQ(names, (std::vector<std::string>{"COOKIE_2", "cookie_1", "Cookie"}));
    EXPECT_EQ(list.value("Cookie_1"), "b=2");
}

TEST(VarList, LookupTakesTheLongestNamePrefixingTheKey) {
    VarList list;
    list.add("ref", "short");
    list.add("referer", "http://x/");
    list.add("Referer", "newer");  // stored as Referer_1
    EXPECT_EQ(list.value("referer?[from $referer]"), "http://x/");
    EXPECT_EQ(list.value("REFERER"), "http://x/");
    EXPECT_EQ(list.value("refx"), "short");
    EXPECT_EQ(list.value("re"), std::nullopt);
    EXPECT_EQ(list.value("$anything"), "$");
    list.add("ab", "first");
    list.add("AB", "second");  // AB_1
    EXPECT_EQ(list.value("abc"), "first");
}

}  // namespace
}  // namespace qv
