// DATA: one message from "354" to the reply after its closing line.
//
// Each message has a spool file ("mqf...", the text as the mail files get
// it) and an INI control file ("mcf...") in the temp folder:
//
//   [Mail Info]
//   File=<spool path>
//   From=<sender>
//   Date=<the session's start as ctimeText>
//   ToCount=<n>
//   To1=<recipient> ... To<n>=<recipient>
//
// Delivery adds [Mail Status] (mail_delivery.h).  Both files stay after
// delivery; those of a message that was not delivered (cut off, too large,
// unwritable) are removed.  The reply comes after delivery: 250 only when
// every recipient's mail file holds the message, else 451 and the sender
// tries again (a retry may give a recipient a second copy; never none).
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/syscalls.h"
#include "engine/platform/temp_file.h"
#include "engine/platform/unique_fd.h"
#include "engine/smtp/mail_delivery.h"
#include "engine/smtp/mail_text.h"
#include "engine/smtp/smtp_session.h"

namespace qv {

namespace {

constexpr std::string_view kNotDelivered = "451 Requested action aborted: local error in processing\r\n";
// Spool text is written in blocks of about this size.
constexpr std::size_t kSpoolBlock = 64 * 1024;

struct MessageFiles {
    std::string spool;
    std::string control;
    UniqueFd spoolFd;
    bool keep = false;

    MessageFiles() = default;
    MessageFiles(const MessageFiles&) = delete;
    MessageFiles& operator=(const MessageFiles&) = delete;
    ~MessageFiles() {
        if (keep) return;
        for (const std::string* path : {&spool, &control})
            if (!path->empty()) unlink(path->c_str());
    }
};

std::string controlText(const SmtpSession& s, const std::string& spool) {
    std::string text = concat({"[Mail Info]\r\nFile=", spool, "\r\nFrom=", s.sender, "\r\nDate=", s.startText,
                               "\r\nToCount=", std::to_string(s.recipients.size()), "\r\n"});
    for (std::size_t i = 0; i < s.recipients.size(); ++i)
        text += concat({"To", std::to_string(i + 1), "=", s.recipients[i], "\r\n"});
    return text;
}

// Creates both files and writes the control file and the spool's
// "From " line.  False (nothing left behind) when the temp folder refused.
bool createMessageFiles(const SmtpSession& s, MessageFiles& files) {
    const std::string& folder = s.settings->tempdir;
    files.spoolFd = uniqueTempFile(folder, "mqf", files.spool);
    if (!files.spoolFd.valid()) return false;
    const UniqueFd control = uniqueTempFile(folder, "mcf", files.control);
    return control.valid() && writeAll(control.get(), controlText(s, files.spool)) &&
           writeAll(files.spoolFd.get(), concat({"From ", s.sender, " ", s.startText, "\n"}));
}

enum class Received { kWhole, kTooLarge, kNotStored, kCutOff };

// Reads the message through its closing line into the spool file.  A
// message past the size limit is read to its end all the same (the client
// would not hear a reply before), but no longer stored.
Received receiveMessage(SmtpSession& s, int spool) {
    const uint64_t limit = static_cast<uint64_t>(s.settings->max_message_size);
    const int timeout = s.settings->ftp_read_timeout;
    MailTextParser parser;
    std::string out;
    uint64_t size = 0;
    bool stored = true;
    while (!parser.ended) {
        std::string_view bytes;
        if (peekReceived(s.c, bytes, timeout) <= 0) return Received::kCutOff;
        const std::size_t used = parseMailText(parser, bytes, out);
        takeReceived(s.c, used);
        size += used;
        if (size > limit) out.clear();
        if (out.size() >= kSpoolBlock || parser.ended) {
            if (parser.ended) out += '\n';  // the empty line that closes a message in a mail file
            stored = stored && writeAll(spool, out);
            out.clear();
        }
    }
    if (size > limit) return Received::kTooLarge;
    return stored ? Received::kWhole : Received::kNotStored;
}

// Delivers a message stored whole; the reply.
std::string_view deliver(SmtpSession& s, MessageFiles& files) {
    files.spoolFd.reset();
    files.keep = true;
    DeliveryCount count;
    if (!processMailControlFile(files.control, s.users, &count)) return kNotDelivered;
    if (count.sent != static_cast<int>(s.recipients.size())) return kNotDelivered;
    return "250 Ok\r\n";
}

}  // namespace

bool smtpData(SmtpSession& s) {
    if (s.sender.empty()) {
        sendString(s.c, "503 Need MAIL command first\r\n");
        return true;
    }
    if (s.recipients.empty()) {
        sendString(s.c, "503 Need RCPT (recipient)\r\n");
        return true;
    }
    MessageFiles files;
    if (!createMessageFiles(s, files)) {
        debugPrint(concat({"Error creating the mail files in '", s.settings->tempdir, "'.\r\n  ", systemErrorText()}));
        sendString(s.c, "452 Mail full, unable to create file, try again later\r\n");
        return true;
    }
    debugPrint(concat({"Spooling to: ", files.spool, "\r\n"}));
    sendString(s.c, "354 Enter mail, end with \".\" on a line by itself\r\n");
    if (flushSend(s.c) != 0) return false;
    std::string_view answer;
    switch (receiveMessage(s, files.spoolFd.get())) {
        case Received::kCutOff:
            debugPrint("Connection lost in the middle of a message: nothing delivered.\r\n");
            return false;
        case Received::kTooLarge: answer = "552 Message size exceeds fixed maximum message size\r\n"; break;
        case Received::kNotStored:
            debugPrint(concat({"Error writing the spool file '", files.spool, "'.\r\n  ", systemErrorText()}));
            answer = kNotDelivered;
            break;
        case Received::kWhole: answer = deliver(s, files); break;
    }
    sendString(s.c, answer);
    s.sender.clear();
    s.recipients.clear();
    return true;
}

}  // namespace qv
