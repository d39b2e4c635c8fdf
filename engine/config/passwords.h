// Reversible scrambling of passwords stored in the settings file: 34
// printable characters, seventeen (key letter, offset) pairs over a 17-byte
// block of "A"+length, the password, and random filler.  This hides a
// password from a glance at the file; it is not encryption.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// The 34-character scrambled form of the password's first 16 characters.
// Characters below "!" (and bytes of 128 and above) scramble as "!", and
// code 127 as "~".  Safe to call from many threads at once.
std::string scramblePassword(std::string_view password);

// The password of a scrambled form; at most 16 characters.
std::string unscramblePassword(std::string_view scrambled);

}  // namespace qv
