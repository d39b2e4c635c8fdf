#include "engine/smtp/mail_text.h"

#include <cstring>

namespace qv {

namespace {

// Writes the start of the current line: without the stuffed dot, quoted
// when it reads as a mail file's message separator.
void writeHead(MailTextParser& p, std::string& out) {
    if (p.smtpLineStart && !p.line.empty() && p.line.front() == '.') p.line.erase(0, 1);
    if (std::string_view(p.line).starts_with("From ")) out += '>';
    p.headWritten = true;
}

// A line held past kMailLineHold goes out but for its last byte, which may
// be the CR of its end.
void spillLongLine(MailTextParser& p, std::string& out) {
    if (p.line.size() < kMailLineHold) return;
    if (!p.headWritten) writeHead(p, out);
    out.append(p.line, 0, p.line.size() - 1);
    p.line.erase(0, p.line.size() - 1);
}

// The line has reached its LF: false when it was the closing one.
bool endLine(MailTextParser& p, std::string& out) {
    const bool crlf = !p.line.empty() && p.line.back() == '\r';
    if (!p.headWritten && p.smtpLineStart && p.line == ".\r") return false;
    if (crlf) p.line.pop_back();
    if (!p.headWritten) writeHead(p, out);
    out += p.line;
    out += '\n';
    p.line.clear();
    p.headWritten = false;
    p.smtpLineStart = crlf;
    return true;
}

}  // namespace

std::size_t parseMailText(MailTextParser& p, std::string_view bytes, std::string& out) {
    std::size_t used = 0;
    while (used < bytes.size() && !p.ended) {
        const char* from = bytes.data() + used;
        const std::size_t left = bytes.size() - used;
        const void* lf = std::memchr(from, '\n', left);
        if (!lf) {
            p.line.append(from, left);
            spillLongLine(p, out);
            return bytes.size();
        }
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
        p.line.append(from, length);
        used += length + 1;
        if (!endLine(p, out)) {
            p.line.clear();
            p.ended = true;
        }
    }
    return used;
}

}  // namespace qv
