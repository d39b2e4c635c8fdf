#include "engine/config/access.h"

#include <algorithm>
#include <cstring>

#include "engine/config/users.h"
#include "engine/platform/profile.h"

namespace qv {

namespace {

constexpr std::size_t kMaxQuadText = 31;
constexpr std::string_view kQuadSeparators = ". \r\n";
constexpr std::string_view kNobody = "!nobody";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The leading decimal number of a word, as its low 8 bits.  Working modulo
// 256 throughout keeps long digit runs from overflowing and gives the same
// byte as the full number would.
uint8_t leadingNumberByte(std::string_view word) {
    std::size_t i = 0;
    while (i < word.size() && isSpace(word[i])) ++i;
    bool negative = i < word.size() && word[i] == '-';
    if (i < word.size() && (word[i] == '-' || word[i] == '+')) ++i;
    unsigned value = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) value = (value * 10 + (word[i] - '0')) & 0xFF;
    return static_cast<uint8_t>(negative ? 0u - value : value);
}

std::array<uint8_t, 4> bytesOf(uint32_t networkOrder) {
    std::array<uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &networkOrder, bytes.size());
    return bytes;
}

// Offset of the user's group of three in the rights text: owner, group,
// others.  The owner wins over a membership of the group.
std::size_t rightsPosition(const Settings& s, const AliasEntry& alias, std::string_view user) {
    std::string_view owner = alias.ftpOwner ? std::string_view(*alias.ftpOwner) : kNobody;
    std::string_view group = alias.ftpGroup ? std::string_view(*alias.ftpGroup) : kNobody;
    if (user == owner) return 0;
    if (isUserInGroup(s, user, group)) return 3;
    return 6;
}

bool rightAt(std::string_view rights, std::size_t at, char expected) {
    return at < rights.size() && rights[at] == expected;
}

}  // namespace

std::array<uint8_t, 4> parseDottedQuad(std::string_view text) {
    text = text.substr(0, kMaxQuadText);
    std::array<uint8_t, 4> quad{};
    std::size_t filled = 0;
    for (std::size_t at = text.find_first_not_of(kQuadSeparators); at != std::string_view::npos && filled < quad.size();
         at = text.find_first_not_of(kQuadSeparators, at)) {
        std::size_t stop = std::min(text.find_first_of(kQuadSeparators, at), text.size());
        quad[filled++] = leadingNumberByte(text.substr(at, stop - at));
        at = stop;
    }
    return quad;
}

int addressInMask(std::string_view mask, uint32_t ownAddress, std::optional<std::string_view> client) {
    if (!client) return 0;
    auto m = parseDottedQuad(mask);
    auto own = bytesOf(ownAddress);
    auto other = parseDottedQuad(*client);
    for (std::size_t i = 0; i < m.size(); ++i)
        if ((m[i] & own[i]) != (m[i] & other[i])) return 0;
    return 1;
}

int checkFtpRights(const Settings& s, const AliasEntry* alias, int operation, std::optional<std::string_view> user) {
    // An unknown operation is refused even to a super user: nothing grants
    // what the rights text cannot express.
    if (!alias || !user || (operation != 0 && operation != 1)) return 0;
    if (isSuperUser(s, user)) return 1;
    std::size_t at = rightsPosition(s, *alias, *user);
    return operation == 0 ? rightAt(alias->ftpRights, at, 'r') : rightAt(alias->ftpRights, at + 1, 'w');
}

std::string accessFilePath(std::string_view filePath) {
    std::size_t slash = filePath.rfind('/');
    if (slash == std::string_view::npos) return std::string(filePath) + "/access.qac";
    return std::string(filePath.substr(0, slash + 1)) + "access.qac";
}

std::optional<std::string> readAccessFile(std::string_view filePath, std::string_view section, std::string_view key,
                                          std::size_t size) {
    std::string value = ProfileFile(accessFilePath(filePath)).getString(section, key, "", size);
    if (value.empty()) return std::nullopt;
    return value;
}

}  // namespace qv
