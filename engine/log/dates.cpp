#include "engine/log/dates.h"

#include <cstdio>

namespace qv {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char* monthName(int zeroBased) {
    if (zeroBased < 0) zeroBased = 0;
    if (zeroBased > 11) zeroBased = 11;
    return kMonths[zeroBased];
}

std::string headerDate(const std::tm& tm, const char* zone) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d %s", kDays[tm.tm_wday % 7], tm.tm_mday,
                  monthName(tm.tm_mon), tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, zone);
    return buf;
}

}  // namespace

std::string ctimeText(std::time_t t) {
    std::tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %d", kDays[tm.tm_wday % 7], monthName(tm.tm_mon),
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return buf;
}

std::string httpDate(std::time_t t) {
    std::tm tm {};
    gmtime_r(&t, &tm);
    return headerDate(tm, "GMT");
}

std::string localDateText(std::time_t t) {
    std::tm tm {};
    localtime_r(&t, &tm);
    return headerDate(tm, "PST");
}

std::string dosDateText(uint16_t dosDate) {
    int day = dosDate & 0x1f;
    int month = (dosDate >> 5) & 0x0f;
    int year = 1980 + (dosDate >> 9);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %2d, %4d", monthName(month - 1), day, year);
    return buf;
}

std::string dosDateTimeText(uint16_t dosDate, uint16_t dosTime, bool gmt) {
    std::tm tm {};
    tm.tm_sec = 2 * (dosTime & 0x1f);
    tm.tm_min = (dosTime >> 5) & 0x3f;
    tm.tm_hour = dosTime >> 11;
    tm.tm_mday = dosDate & 0x1f;
    tm.tm_mon = ((dosDate >> 5) & 0x0f) - 1;
    tm.tm_year = 80 + (dosDate >> 9);
    tm.tm_isdst = -1;  // let the local-time conversion decide daylight saving
    // mktime would roll an impossible value (month 0, hour 25) into another
    // moment; such a date and time name no moment at all.
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return {};
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return {};
    return gmt ? httpDate(t) : localDateText(t);
}

void toDosDateTime(std::time_t t, uint16_t& dosDate, uint16_t& dosTime) {
    std::tm tm {};
    localtime_r(&t, &tm);
    if (tm.tm_year < 80) {
        dosDate = (1 << 5) | 1;
        dosTime = 0;
        return;
    }
    int years = tm.tm_year - 80;
    if (years > 127) years = 127;
    dosDate = static_cast<uint16_t>((years << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    dosTime = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

}  // namespace qv
