// Small text operations shared by every protocol: prefix and extension
// tests, Base64 decoding of Basic credentials, URL escapes, and the
// system's error text.  None holds state; results go to the caller.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qv {

// 1 when `text` begins with `prefix`, folding only the letters A to Z.
int startsWithNoCase(std::string_view text, std::string_view prefix);

// True when both texts are equal, folding only the letters A to Z.
bool equalsNoCase(std::string_view a, std::string_view b);
// Text from a client made safe inside HTML (element text or a quoted
// attribute): & < > " become entities.
std::string htmlEscape(std::string_view text);
// Control bytes (below 0x20, and 0x7F) and the bytes of `alsoEscaped`
// as %XX: the text can never end the line (or the field) it is put in.
std::string controlsEscaped(std::string_view text, std::string_view alsoEscaped = {});
// A header value made safe: CR, LF and the other control bytes become
// %XX, so a value can never end its header line.
inline std::string headerValue(std::string_view text) { return controlsEscaped(text); }
// The text with ASCII letters in lower case.
std::string lowerCase(std::string text);

// 1 when a and b agree on their first three characters, or up to and
// including an end of text within them ("HTM" and "HTML" agree, "H" and
// "HT" do not).  Exact case.
int sameExtension(std::string_view a, std::string_view b);

// Decodes Base64 in groups of four; characters outside the alphabet ("="
// included) and characters missing after the end count as 0, so padding
// yields NUL bytes in the result.  Three bytes per started group.
std::string base64Decode(std::string_view text);

// 0..15 for a hexadecimal digit of either case, 0 for anything else.
int hexDigitValue(char c);

// Decodes in place: "+" to a blank, "&" to a carriage return unless
// keepAmpersand, "%" and two characters to the byte they spell.  A "%" with
// fewer than two characters after it is copied unchanged with what follows.
std::string& urlUnescape(std::string& text, bool keepAmpersand);

// A blank becomes "+", "#" becomes "%23", and "%", "+" and "&" (which
// urlUnescape would decode) become "%25", "%2B" and "%26"; everything else
// is copied, so urlUnescape gives the text back.
std::string urlEscape(std::string_view text);

// The parts one after the other, in one allocation.
std::string concat(std::initializer_list<std::string_view> parts);

// The system's message for an errno value (or for errno itself when the
// code is negative), ended by "\r\n" like every message it stands beside,
// at most 255 characters.
std::string systemErrorText(int code = -1);

}  // namespace qv
