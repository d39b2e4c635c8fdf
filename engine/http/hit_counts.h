// Hit counters.  Every logged request counts its page: centrally in
// "counts.qvx" of the log folder (section [Commands], one key per counter
// key), and in the folder's "access.qac" (section [counts], key the file
// name; [count] StartDate) when the site owner registered the page there.
// A page shows the count read before its own hit.  Hits are written about
// once a second (see hit_count_store.h).
//
// File formats:
//   counts.qvx   [Commands] <key>=<count left-aligned in 9> <pad to 40 - len(key)><start date>
//   access.qac   [counts] <file name>=<count left-aligned in 9>   [count] StartDate=<start date>
#pragma once

#include <cstdint>
#include <string>

#include "engine/http/request.h"

namespace qv {

class Connection;
class HitCountStore;

// "%-9ld %s%s": the count, a blank, the padding, the start date.
std::string centralCountValue(int32_t count, const std::string& key, const std::string& startDate);

// The request's count and start date, as stored and waiting, into
// r.counter.  Returns the count.
int32_t readCount(const HitCountStore& store, HttpRequest& r);

// Adds the request's hit to the entries that count it; the count was read.
void countHit(HitCountStore& store, HttpRequest& r);

// Reads the count and counts the hit.
void updateCounters(Connection& c, HttpRequest& r);

// Reads the count for a page that shows it ("hit_count",
// "hit_start_date"), once per request.
void readPageCount(Connection& c, HttpRequest& r);

}  // namespace qv
