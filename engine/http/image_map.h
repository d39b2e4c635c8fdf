// Server-side image maps: a click sent as "<map URL>?x,y" is looked up in
// the map file and answered with a redirect to the region's target.
//
// File contract: a text file read line by line; each line is split at
// blanks, tabs, CR and LF into the shape, the target and the coordinates.
//   rect    x1,y1 x2,y2        two opposite corners, bounds inclusive
//   circle  cx,cy ex,ey        centre and a point on the rim
//   poly    x,y x,y ...        vertices; as many as there are commas
//   default                    the target when no region holds the click
// Shapes are matched without regard to case; any other first word (a
// comment, say) and lines of fewer than two words are ignored.  The first
// rect, circle or poly holding the click wins; the last "default" seen is
// the fallback.  Lines are read in pieces of at most 1,021 characters.
#pragma once

#include <string>
#include <string_view>

#include "engine/http/response.h"

namespace qv {

// Results of searchMap.
constexpr int kMapHit = 1;
constexpr int kMapNothingFound = 0;
constexpr int kMapOpenFailed = -1;

// Looks the click "x,y" up in mapFile.  1: result holds the target.  0:
// result holds "Nothing was found at location [x,y]." (empty when the query
// has no comma).  -1: the file could not be opened.
int searchMap(const std::string& mapFile, std::string_view query, std::string& result);

// Answers the click in w.query against w.mapFile: a 302 to the target, a
// plain-text 200 with the nothing-found text, or a plain-text 500.
void serveImageMap(ResponseWriter& w, int debug3);

}  // namespace qv
