#include "engine/core/folder_entries.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

// One formula for HTTP listings and Gopher menus.
TEST(ListingSizes, BytesKilobytesAndTheDecimalMegabyte) {
    EXPECT_EQ(listingSizeText(0), "   0 B ");
    EXPECT_EQ(listingSizeText(1023), "1023 B ");
    EXPECT_EQ(listingSizeText(1024), "   1 kB");
    EXPECT_EQ(listingSizeText(1023999), " 999 kB");
    EXPECT_EQ(listingSizeText(1024000), "   1 MB");
    EXPECT_EQ(listingSizeText(1500000), "   1 MB");
    EXPECT_EQ(listingSizeText(2048000), "   2 MB");
    EXPECT_EQ(listingSizeText(5000000000ULL), "4882 MB");  // files of 4 GiB and more
}

}  // namespace
}  // namespace qv
