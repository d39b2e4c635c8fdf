// Hit counters.  Every logged request counts its page: centrally in
// "counts.qvx" of the log folder (section [Commands], one key per counter
// key), and in the folder's "access.qac" (section [counts], key the file
// name; [count] StartDate) when the site owner registered the page there.
// A page shows the count read before its own hit.  All counter work of all
// engines on a machine is serialised by the named mutex QVX_HCOUNT_MUTEX.
//
// File formats:
//   counts.qvx   [Commands] <key>=<count left-aligned in 9> <pad to 40 - len(key)><start date>
//   access.qac   [counts] <file name>=<count left-aligned in 9>   [count] StartDate=<start date>
#pragma once

#include <cstdint>
#include <string>

#include "engine/http/request.h"

namespace qv {

struct Engine;

// "%-9ld %s%s": the count, a blank, the padding, the start date.
std::string centralCountValue(int32_t count, const std::string& key, const std::string& startDate);

// The request's count and start date as stored, into r.counter; the caller
// holds the hit-count mutex.  Returns the count.
int32_t readCount(HttpRequest& r);

// Adds the request's hit to the files that count it; the caller holds the
// hit-count mutex and has read the count.
void countHit(HttpRequest& r);

// Reads the count and counts the hit under the hit-count mutex.
void updateCounters(Engine& engine, HttpRequest& r);

// Reads the count for a page that shows it ("hit_count",
// "hit_start_date"), once per request.
void readPageCount(Engine& engine, HttpRequest& r);

}  // namespace qv
