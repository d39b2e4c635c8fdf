#include "engine/config/passwords.h"

#include <cstdlib>
#include <mutex>
#include <random>

namespace qv {

namespace {

constexpr std::size_t kBlock = 17;
constexpr std::size_t kMaxPassword = 16;

// One generator for the process, seeded once; the mutex makes concurrent
// scrambles safe.
char randomCapital() {
    static std::mutex mutex;
    static std::mt19937 generator{std::random_device{}()};
    std::lock_guard lock(mutex);
    return static_cast<char>('A' + std::uniform_int_distribution<int>(0, 25)(generator));
}

int printableCode(char c) {
    int code = static_cast<signed char>(c);
    if (code < '!') return '!';
    if (code == 127) return '~';
    return code;
}

}  // namespace

std::string scramblePassword(std::string_view password) {
    password = password.substr(0, kMaxPassword);
    std::string plain(1, static_cast<char>('A' + password.size()));
    plain += password;
    while (plain.size() < kBlock) plain += randomCapital();

    std::string out;
    for (std::size_t i = 0; i < kBlock; ++i) {
        char key = randomCapital();
        int d = printableCode(plain[i]) - key;
        out += d >= 0 ? key : static_cast<char>(key - 'A' + 'a');
        out += static_cast<char>('!' + std::abs(d));
    }
    return out;
}

std::string unscramblePassword(std::string_view scrambled) {
    std::string plain;
    for (std::size_t i = 0; i + 1 < scrambled.size() && plain.size() < kBlock; i += 2) {
        unsigned char a = scrambled[i], b = scrambled[i + 1];
        bool lower = a >= 'a' && a <= 'z';
        plain += static_cast<char>(lower ? (a - 'a' + 'A') - b + 33 : a + b - 33);
    }
    if (plain.empty()) return {};
    int length = static_cast<unsigned char>(plain[0]) - 'A';
    if (length > static_cast<int>(kMaxPassword)) length = kMaxPassword;
    if (length > static_cast<int>(plain.size()) - 1) length = static_cast<int>(plain.size()) - 1;
    if (length < 1) return {};
    return plain.substr(1, length);
}

}  // namespace qv
