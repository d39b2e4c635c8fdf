// Scrambled passwords as stored in User%d lines: 34 printable characters
// that decode back to the password.
#include "engine/config/passwords.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qv {
namespace {

// Passwords of every length up to 16, from windows over the 94 printable
// characters, so that each character appears at each position.
TEST(PasswordsTest, EveryPrintablePasswordRoundTrips) {
    for (std::size_t length = 0; length <= 16; ++length) {
        for (int start = 0; start < 94; ++start) {
            std::string password;
            for (std::size_t i = 0; i < length; ++i) password += static_cast<char>('!' + (start + i * 5) % 94);
            std::string scrambled = scramblePassword(password);
            ASSERT_EQ(scrambled.size(), 34u) << password;
            for (unsigned char c : scrambled) ASSERT_TRUE(c >= '!' && c <= '~') << scrambled;
            ASSERT_EQ(unscramblePassword(scrambled), password) << scrambled;
        }
    }
}

TEST(PasswordsTest, LongPasswordsAreCutAndOtherCharactersChange) {
    EXPECT_EQ(unscramblePassword(scramblePassword("ABCDEFGHIJKLMNOPQRST")), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(unscramblePassword(scramblePassword("a b\tc")), "a!b!c");
    EXPECT_EQ(unscramblePassword(scramblePassword("x\x7f\xC4")), "x~!");
}

// Forms written by hand from the pair rules: an upper-case key letter a with
// b gives a + b - 33, a lower-case one gives upper(a) - b + 33.
TEST(PasswordsTest, UnscrambleFollowsThePairRules) {
    std::string filler;
    for (int i = 0; i < 14; ++i) filler += "A!";  // each pair decodes to "A"
    std::pair<std::string, std::string> cases[] = {
        {"A#Z?qQ" + filler, "x!"},                 // length 2: "x" and "!"
        {"A!Z?qQ" + filler, ""},                   // length 0
        {"a\"Z?qQ" + filler, ""},                  // a first character below "A"
        {"A5A!A!" + filler, std::string(16, 'A')},  // length 20, limited to 16
        {"", ""},
    };
    for (const auto& [scrambled, expected] : cases) EXPECT_EQ(unscramblePassword(scrambled), expected) << scrambled;
}

TEST(PasswordsTest, ConcurrentScramblesEachRoundTrip) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                std::string password = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (unscramblePassword(scramblePassword(password)) != password) failures++;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qv
