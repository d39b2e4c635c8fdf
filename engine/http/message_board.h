// Message boards.  A POST to "/messages/<board>" turns the posted form
// fields into one HTML entry (the folder's access.qac [messages]
// simple_format template, or the default entry), appends it to the board
// file "<board>.htm" that an alias with the messages flag maps, and
// answers with the board.  Posted values are made safe first: every value
// is HTML-escaped and its "$" stored as "$$" (so the board, expanded again
// when served, shows it as posted); "email" and "link" are kept only when
// they hold no blank, quote or angle bracket, and "link" only with an
// http, https, ftp or mailto scheme or a "/" at its start.
#pragma once

#include "engine/http/request.h"

namespace qv {

class Connection;

// The default entry template.
extern const char* const kDefaultBoardEntry;

// 1 after a refusal of the board itself (access, alias, permission, no
// board file), 0 otherwise.
int doPostMessageBoard(Connection& c, HttpRequest& r);

}  // namespace qv
