// Date texts of headers, logs and listings, and DOS date and time values.
// Every result is the caller's own; nothing is shared between threads.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace qv {

// "Sun Dec  6 19:14:54 1996" in local time, 24 characters, no line end.
std::string ctimeText(std::time_t t);

// "Sun, 6 Dec 2026 18:51:44 GMT": the day without leading zero or blank.
std::string httpDate(std::time_t t);

// The same in local time with the fixed zone word "PST".
std::string localDateText(std::time_t t);

// "Dec  6, 2026" from a DOS date (month 0 shows as "Jan", above 12 as "Dec").
std::string dosDateText(uint16_t dosDate);

// httpDate (gmt) or localDateText of the moment a DOS date and time give,
// read as local time; empty when the moment cannot be represented.
std::string dosDateTimeText(uint16_t dosDate, uint16_t dosTime, bool gmt);

// The DOS date and time of a moment in local time (years before 1980 give
// the date 1980-01-01).
void toDosDateTime(std::time_t t, uint16_t& dosDate, uint16_t& dosTime);

}  // namespace qv
