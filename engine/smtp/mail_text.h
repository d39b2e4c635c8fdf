// The text of a message as SMTP's DATA carries it, turned into the form a
// mail file holds.
//
// Only CR LF "." CR LF ends the message: a "." line reached through a bare
// LF, or any other line end, is message text (so a peer cannot end one
// message and start commands of its own inside another's text).  Lines end
// in LF in the mail file (a CR LF becomes LF; a bare LF stays); a line
// that starts with "." after CR LF loses that dot (the sender's stuffing);
// a line that then starts with "From " is written as ">From " so that no
// mail reader takes it for the start of a new message.  Lines of any length
// pass whole, without the parser holding more than kMailLineHold bytes of
// one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::size_t kMailLineHold = 64 * 1024;

struct MailTextParser {
    bool smtpLineStart = true;  // the last line ended in CR LF (or none came yet)
    bool headWritten = false;   // the current line's start has gone to the output
    bool ended = false;         // the closing "." line was read
    std::string line;           // the current line's bytes not yet written, without its LF
};

// Parses `bytes`, appending mail-file text to `out`.  Returns how many bytes
// were used: all of them, or those through the closing line (`ended` set),
// so the bytes after it stay for the command reader.
std::size_t parseMailText(MailTextParser& p, std::string_view bytes, std::string& out);

}  // namespace qv
