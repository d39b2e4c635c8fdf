#include "engine/log/strings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace qv {

int startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return 0;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        unsigned char a = text[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a += 32;
        if (b >= 'A' && b <= 'Z') b += 32;
        if (a != b) return 0;
    }
    return 1;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    // Runs without a special character are copied whole.
    for (std::size_t at = 0; at < text.size();) {
        std::size_t special = std::min(text.find_first_of("&<>\"", at), text.size());
        out.append(text, at, special - at);
        if (special == text.size()) break;
        switch (text[special]) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += "&quot;"; break;
        }
        at = special + 1;
    }
    return out;
}

std::string controlsEscaped(std::string_view text, std::string_view alsoEscaped) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || alsoEscaped.find(c) != std::string_view::npos) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && startsWithNoCase(a, b); }

int sameExtension(std::string_view a, std::string_view b) {
    for (std::size_t i = 0; i < 3; ++i) {
        char ca = i < a.size() ? a[i] : '\0';
        char cb = i < b.size() ? b[i] : '\0';
        if (ca != cb) return 0;
        if (ca == '\0') return 1;
    }
    return 1;
}

namespace {

constexpr std::array<unsigned char, 128> makeBase64Table() {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::array<unsigned char, 128> table {};
    for (std::size_t i = 0; i < alphabet.size(); ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

constexpr auto kBase64 = makeBase64Table();

unsigned base64Value(std::string_view text, std::size_t at) {
    if (at >= text.size()) return 0;
    unsigned char c = text[at];
    return c < 128 ? kBase64[c] : 0;
}

}  // namespace

std::string base64Decode(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        unsigned v = ((base64Value(text, at) * 64 + base64Value(text, at + 1)) * 64 + base64Value(text, at + 2)) * 64 +
                     base64Value(text, at + 3);
        out += static_cast<char>((v >> 16) & 0xff);
        out += static_cast<char>((v >> 8) & 0xff);
        out += static_cast<char>(v & 0xff);
    }
    return out;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

std::string& urlUnescape(std::string& text, bool keepAmpersand) {
    std::size_t write = 0;
    for (std::size_t read = 0; read < text.size(); ++read) {
        char c = text[read];
        if (c == '+') {
            c = ' ';
        } else if (c == '&' && !keepAmpersand) {
            c = '\r';
        } else if (c == '%' && read + 2 < text.size()) {
            c = static_cast<char>(16 * hexDigitValue(text[read + 1]) + hexDigitValue(text[read + 2]));
            read += 2;
        }
        text[write++] = c;
    }
    text.resize(write);
    return text;
}

std::string urlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char c : text) {
        switch (c) {
            case ' ': out += '+'; break;
            case '#': out += "%23"; break;
            // What urlUnescape would otherwise turn into something else.
            case '%': out += "%25"; break;
            case '+': out += "%2B"; break;
            case '&': out += "%26"; break;
            default: out += c;
        }
    }
    return out;
}

std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (auto part : parts) out.append(part);
    return out;
}

std::string systemErrorText(int code) {
    if (code < 0) code = errno;
    char buf[256];
    // The GNU strerror_r returns the text, which may or may not be `buf`.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string out(text ? text : "Unknown error");
    if (out.size() > 253) out.resize(253);
    return out + "\r\n";
}

}  // namespace qv
