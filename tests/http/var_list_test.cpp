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

// A posted form may hold a hundred thousand fields of one name: each is
// numbered by its own count, and adding them stays linear (a scan per add
// would take minutes here).
TEST(VarList, ManyDuplicatesAreNumberedInOrder) {
    VarList list;
    for (int i = 0; i < 100000; ++i) list.add("a", std::to_string(i));
    list.add("a_5", "a name of its own that clashes");  // stored as a_5_1
    EXPECT_EQ(list.value("a"), "0");
    EXPECT_EQ(list.value("a_99999"), "99999");
    EXPECT_EQ(list.value("a_5_1"), "a name of its own that clashes");
}

}  // namespace
}  // namespace qv
