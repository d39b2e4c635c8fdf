#include "engine/gateway/program_output.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/core/io.h"
#include "engine/gateway/program_reply.h"
#include "engine/http/includes.h"
#include "engine/http/response.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/unique_fd.h"

namespace qv {

namespace {

constexpr std::size_t kCopyBlock = 64 * 1024;
constexpr std::size_t kAffixedPiece = 1023;

// Reads up to `limit` bytes (all there are when 0) from the file's offset.
bool readFrom(int fd, std::string& out, std::size_t limit = 0) {
    char block[kCopyBlock];
    while (limit == 0 || out.size() < limit) {
        std::size_t want = limit == 0 ? sizeof block : std::min(sizeof block, limit - out.size());
        ssize_t n = read(fd, block, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        out.append(block, static_cast<std::size_t>(n));
    }
    return true;
}

// Every piece of a line (at most 1,023 characters, its line end included)
// between the prefix and the suffix.
void writeAffixed(ProgramSink& sink, std::string_view body) {
    while (!body.empty()) {
        std::size_t length = std::min(body.size(), kAffixedPiece);
        std::size_t lf = body.substr(0, length).find('\n');
        if (lf != std::string_view::npos) length = lf + 1;
        if (!sink.write(concat({sink.call.prefix, body.substr(0, length), sink.call.suffix}))) return;
        body.remove_prefix(length);
    }
}

void writeHeader(ProgramSink& sink, const ProgramReply& reply) {
    std::string header = "HTTP/1.0 " + reply.status + "\r\n";
    if (!reply.contentType.empty()) header += "MIME-version: 1.0\r\nContent-Type:" + reply.contentType + "\r\n";
    for (const auto& line : reply.extraHeaders) header += line + "\r\n";
    header += "\r\n";
    sink.write(header);
    sink.r.status = replyStatusCode(reply.status);
}

// A complete response from the program: its own status line decides what
// is logged.
void sendComplete(ProgramSink& sink, int fd, const std::string& head, const std::string& outputFile) {
    std::string_view line(head);
    line = line.substr(0, line.find('\n'));
    std::size_t blank = line.find(' ');
    sink.r.status = replyStatusCode(blank == std::string_view::npos ? std::string_view() : line.substr(blank));
    if (sink.call.page) {
        std::string rest;
        readFrom(fd, rest);
        sink.call.page->append(head).append(rest);
        return;
    }
    if (sendFile(sink.c, outputFile) != kFileSent) debugPrint("Error sending CGI Output file\r\n");
}

void sendBody(ProgramSink& sink, int fd, std::string_view headBody) {
    const bool affixed = !sink.call.prefix.empty() || !sink.call.suffix.empty();
    if (affixed || sink.call.page) {
        std::string body(headBody);
        readFrom(fd, body);
        if (affixed)
            writeAffixed(sink, body);
        else
            sink.write(body);
        return;
    }
    if (!sink.write(headBody)) return;
    for (std::string block; readFrom(fd, block, kCopyBlock) && !block.empty(); block.clear())
        if (!sink.write(block)) return;
}

}  // namespace

bool ProgramSink::write(std::string_view data) {
    if (call.page) {
        call.page->append(data);
        return true;
    }
    return sendBytes(c, data) == 0;
}

void ProgramSink::error(int code) {
    if (call.page)
        call.page->append(kScriptError);
    else
        sendError(c, r, code);
}

void ProgramSink::failure(std::string_view text) {
    if (!call.page && call.sendHeader) {
        // Without a status line a client would take the text for an
        // HTTP/0.9 response.
        r.status = 500;
        ResponseWriter w = connectionWriter(c, *r.settings);
        writeStatus(w, "500 Internal Server Error", "Content-Type: text/html\r\n\r\n");
    }
    write(text);
}

void sendProgramOutput(ProgramSink& sink, const std::string& outputFile) {
    UniqueFd fd(open(outputFile.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() && errno != ENOENT) {
        debugPrint("CGI error opening output file\r\n");
        sink.failure("<h1>CGI error opening output file</h1>");
        return;
    }
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || st.st_size == 0) {
        debugPrint("CGI no output\r\n");
        sink.failure("<h1>CGI no output</h1>");
        return;
    }
    std::string head;
    readFrom(fd.get(), head, kReplyHeadLength);
    ProgramReply reply = parseProgramReply(head);
    switch (reply.kind) {
    case ProgramReply::kComplete:
        sendComplete(sink, fd.get(), head, outputFile);
        return;
    case ProgramReply::kRedirect:
        if (sink.call.page) {
            sink.call.page->append(kScriptError);
            return;
        }
        sink.r.status = 302;
        sendRedirect(sink.c, *sink.r.settings, reply.location, headOnly(sink.r));
        return;
    case ProgramReply::kPage:
        if (sink.call.sendHeader) writeHeader(sink, reply);
        if (sink.call.sendHeader && headOnly(sink.r)) return;  // the header is all a HEAD asks for
        sendBody(sink, fd.get(), std::string_view(head).substr(reply.bodyOffset));
        return;
    }
}

}  // namespace qv
