// Date texts of headers, logs and listings, and DOS date/time values.  Local
// time is involved, so each test fixes the zone through TZ, with POSIX rule
// strings that need no zone database.
#include "engine/log/dates.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qv {
namespace {

constexpr std::time_t kSunday = 1796583104;  // 2026-12-06 18:51:44 UTC
constexpr const char* kPlusTwo = "XST-2";    // two hours east of UTC, no daylight saving
constexpr const char* kCentral = "CET-1CEST,M3.5.0,M10.5.0/3";

uint16_t dosDate(int year, int month, int day) { return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day); }
uint16_t dosTime(int hour, int minute, int second) { return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2)); }

class DatesTest : public ::testing::Test {
protected:
    void SetUp() override { useZone("UTC"); }
    static void useZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
};

TEST_F(DatesTest, HeaderDatesHaveNoLeadingZeroInTheDay) {
    EXPECT_EQ(httpDate(kSunday), "Sun, 6 Dec 2026 18:51:44 GMT");
    EXPECT_EQ(httpDate(951868798), "Tue, 29 Feb 2000 23:59:58 GMT");
    useZone(kPlusTwo);
    EXPECT_EQ(httpDate(kSunday), "Sun, 6 Dec 2026 18:51:44 GMT");
    EXPECT_EQ(localDateText(kSunday), "Sun, 6 Dec 2026 20:51:44 PST");  // local time, fixed zone word
    EXPECT_EQ(localDateText(kSunday + 4 * 3600), "Mon, 7 Dec 2026 00:51:44 PST");
}

TEST_F(DatesTest, CtimeTextHasTheClassicLayoutInLocalTime) {
    useZone(kPlusTwo);
    EXPECT_EQ(ctimeText(kSunday), "Sun Dec  6 20:51:44 2026");
    for (std::time_t t = 0; t < 2000000000; t += 86400 * 97 + 3671) {
        char buf[64];
        std::string expected = ctime_r(&t, buf);
        expected.pop_back();  // the C library's line end
        ASSERT_EQ(ctimeText(t), expected) << t;
    }
}

TEST_F(DatesTest, DosDateText) {
    std::pair<uint16_t, const char*> cases[] = {
        {dosDate(2026, 12, 6), "Dec  6, 2026"}, {dosDate(1980, 1, 31), "Jan 31, 1980"},
        {dosDate(2107, 7, 4), "Jul  4, 2107"},  {dosDate(2026, 0, 6), "Jan  6, 2026"},
        {dosDate(2026, 13, 6), "Dec  6, 2026"}, {dosDate(2026, 15, 6), "Dec  6, 2026"},
    };
    for (auto [date, expected] : cases) EXPECT_EQ(dosDateText(date), expected) << date;
}

TEST_F(DatesTest, DosDateTimeTextReadsTheMomentAsLocalTime) {
    uint16_t date = dosDate(2026, 12, 6);
    EXPECT_EQ(dosDateTimeText(date, dosTime(10, 47, 30), true), "Sun, 6 Dec 2026 10:47:30 GMT");
    EXPECT_EQ(dosDateTimeText(date, dosTime(23, 59, 59), false), "Sun, 6 Dec 2026 23:59:58 PST");
    useZone(kPlusTwo);
    EXPECT_EQ(dosDateTimeText(date, dosTime(10, 47, 30), true), "Sun, 6 Dec 2026 08:47:30 GMT");
    EXPECT_EQ(dosDateTimeText(date, dosTime(10, 47, 30), false), "Sun, 6 Dec 2026 10:47:30 PST");
    EXPECT_EQ(dosDateTimeText(date, dosTime(1, 0, 0), true), "Sat, 5 Dec 2026 23:00:00 GMT");
    useZone(kCentral);  // daylight saving follows the date
    EXPECT_EQ(dosDateTimeText(dosDate(2026, 7, 1), dosTime(12, 0, 0), true), "Wed, 1 Jul 2026 10:00:00 GMT");
    EXPECT_EQ(dosDateTimeText(dosDate(2026, 1, 15), dosTime(12, 0, 0), true), "Thu, 15 Jan 2026 11:00:00 GMT");
    // Impossible fields name no moment; they are not rolled into another one.
    EXPECT_EQ(dosDateTimeText(dosDate(2026, 0, 6), dosTime(12, 0, 0), true), "");
    EXPECT_EQ(dosDateTimeText(date, dosTime(25, 0, 0), true), "");
}

TEST_F(DatesTest, ToDosDateTimeRoundTripsInLocalTime) {
    for (const char* zone : {"UTC", kPlusTwo, kCentral}) {
        useZone(zone);
        for (std::time_t t : {std::time_t{1782900001}, kSunday, std::time_t{951868798}}) {
            uint16_t date = 0, time = 0;
            toDosDateTime(t, date, time);
            EXPECT_EQ(dosDateTimeText(date, time, true), httpDate(t - t % 2)) << zone << " " << t;
        }
    }
    uint16_t date = 0, time = 0;
    toDosDateTime(86400 * 365, date, time);  // 1971, before DOS dates begin
    EXPECT_EQ(dosDateText(date), "Jan  1, 1980");
    EXPECT_EQ(time, 0);
}

}  // namespace
}  // namespace qv
