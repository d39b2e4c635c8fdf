// The talk relay served by a real engine on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>
#include <thread>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/net.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::eventually;

// A talk client that collects what it receives.
struct Client {
    int fd = -1;
    std::string seen;
    explicit Client(int port, int receiveBuffer = 0) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~Client() { close(fd); }
    void say(const std::string& line) { test::sendText(fd, line + "\r\n"); }
    // Reads until `piece` has arrived (or 5 s pass).
    bool waitFor(const std::string& piece, int seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (seen.find(piece) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd p {fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[65536];  // a reader that keeps up, also on a loaded machine
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return seen.find(piece) != std::string::npos;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
};

struct TalkRelay : ::testing::Test {
    test::TempFolder etc, run, logs;
    EnginePtr engine;
    int port = 0;
    void SetUp() override {
        engine = test::startEngine(etc, run, "[Options]\nlogdir=" + logs.path() +
                                                 "/\n[Multi]\nserver1=talk\nip1=127.0.0.1\nport1=0\nserver2=none\n");
        port = serverPort(*engine, 1);
    }
    std::string transcript() { return test::readFile(logs.file("talk.txt")); }
};

TEST_F(TalkRelay, GreetingThenLinesToEveryoneInOrder) {
    Client ann(port);
    ASSERT_TRUE(ann.waitFor("-n[New Connection]@127.0.0.1\r\n"));
    EXPECT_EQ(ann.seen.rfind("- Hello from the Quorvane Vellum Relay Server on port " + std::to_string(port) +
                                 "\r\n-Type  :quit  to quit.\r\n      :who   to see who is on.\r\n"
                                 "- There are 1 connections open.\r\n-n[New Connection]@127.0.0.1\r\n",
                             0),
              0u);
    Client bob(port);
    ASSERT_TRUE(bob.waitFor("There are 2 connections open.\r\n"));
    ASSERT_TRUE(ann.waitFor("-n[New Connection]@127.0.0.1\r\n-n[New Connection]@127.0.0.1\r\n"));

    ann.say("before naming");
    ann.say(":user=" + std::string(30, 'a'));
    ann.say("one");
    ann.say("two");
    const std::string name(20, 'a');
    std::string expected = ":Somebody@127.0.0.1:before naming\r\n-a[New User]" + name + "@127.0.0.1\r\n:" + name +
                           "@127.0.0.1:one\r\n:" + name + "@127.0.0.1:two\r\n";
    ASSERT_TRUE(bob.waitFor(expected));
    ASSERT_TRUE(ann.waitFor(expected));
    EXPECT_TRUE(eventually([&] { return transcript().find(expected) != std::string::npos; }));
}

TEST_F(TalkRelay, WhoAndPictureAndQuit) {
    Client a(port), b(port), c(port);
    // A client's greeting is queued when it joins: after it, it hears every
    // broadcast.
    for (Client* joined : {&a, &b, &c}) ASSERT_TRUE(joined->waitFor("to see who is on.\r\n"));
    a.say(":userimgsrc=http://pics/a.gif");
    ASSERT_TRUE(a.waitFor("-0 Image OK\r\n"));
    ASSERT_TRUE(b.waitFor("-u Somebody@127.0.0.1, http://pics/a.gif\r\n"));
    b.say(":Quit");  // unknown: ignored, b stays
    b.say(":who");
    b.say("done");  // relayed after every line of the answer
    ASSERT_TRUE(c.waitFor(":Somebody@127.0.0.1:done\r\n")) << c.seen;
    std::string afterWho = c.seen.substr(c.seen.find("-w There"));
    int users = 0;
    for (std::size_t at = afterWho.find("-u "); at != std::string::npos; at = afterWho.find("-u ", at + 1)) ++users;
    EXPECT_EQ(users, 3);  // in slot order, so a's picture may stand anywhere among them
    EXPECT_NE(afterWho.find("-u Somebody@127.0.0.1, http://pics/a.gif\r\n"), std::string::npos);

    a.say(":quit");
    ASSERT_TRUE(b.waitFor("-l [User Leaving]Somebody@127.0.0.1\r\n"));
    EXPECT_TRUE(eventually([&] { return engine->openConnections == 2; }));
    std::string rest = test::readUntilClosed(a.fd, 3000);  // ends when the relay closes
    const std::string leaving = "-l [User Leaving]Somebody@127.0.0.1\r\n";
    EXPECT_EQ(rest.substr(rest.size() - std::min(rest.size(), leaving.size())), leaving);
}

TEST_F(TalkRelay, AClientThatStopsReadingIsDroppedNotWaitedFor) {
    test::CapturedOutput output;
    Client stalled(port, 4096);
    Client listener(port);
    Client sender(port);
    for (Client* joined : {&stalled, &listener, &sender}) ASSERT_TRUE(joined->waitFor("to see who is on.\r\n"));
    const std::string line(240, 'x');  // within the relay's 250-character line
    const int lines = 2000;  // about 500 KB: far more than the stalled client's buffers hold
    const std::string last = line + std::to_string(lines - 1) + "\r\n";
    std::thread drain([&] { sender.waitFor(last, 30); });
    auto start = std::chrono::steady_clock::now();
    std::thread talk([&] {
        for (int i = 0; i < lines; ++i) sender.say(line + std::to_string(i));
    });
    EXPECT_TRUE(listener.waitFor(last, 30));
    talk.join();
    drain.join();
    // Without the drop every broadcast would wait for the stalled client for good.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(eventually([&] { return engine->openConnections == 2; }));
    EXPECT_TRUE(output.contains("Talk client 127.0.0.1 dropped: it stopped reading.\r\n"));
}

// Reads every client until each has received `last`, or the time is up;
// how many got it.
int readUntilEveryoneHas(std::vector<std::unique_ptr<Client>>& clients, const std::string& last, int seconds) {
    std::vector<pollfd> waits;
    for (auto& c : clients) waits.push_back({c->fd, POLLIN, 0});
    std::vector<bool> done(clients.size(), false);
    int finished = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (finished < static_cast<int>(clients.size()) && std::chrono::steady_clock::now() < deadline) {
        if (poll(waits.data(), waits.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (!(waits[i].revents & POLLIN)) continue;
            char buf[65536];
            ssize_t n = recv(waits[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                waits[i].fd = -1;  // closed: it will never finish
                continue;
            }
            std::string& seen = clients[i]->seen;
            seen.append(buf, static_cast<std::size_t>(n));
            if (seen.size() > 4096) seen.erase(0, seen.size() - 4096);  // only the tail matters
            if (!done[i] && seen.find(last) != std::string::npos) {
                done[i] = true;
                ++finished;
                waits[i].fd = -1;
            }
        }
    }
    return finished;
}

// Clients that stop reading cost the others nothing: each has its own queue,
// written as its socket takes it.  (Were sends made under the relay's lock,
// every one of the 20 would stall every broadcast for its send limit.)
TEST_F(TalkRelay, TwentyClientsThatStopReadingCostTheOthersNothing) {
    std::vector<std::unique_ptr<Client>> stalled, readers;
    for (int i = 0; i < 20; ++i) stalled.push_back(std::make_unique<Client>(port, 4096));
    for (int i = 0; i < 180; ++i) readers.push_back(std::make_unique<Client>(port));
    for (auto* group : {&stalled, &readers})
        for (auto& joined : *group) ASSERT_TRUE(joined->waitFor("to see who is on.\r\n"));
    const std::string line(240, 'y');
    const int lines = 600;  // some 160 KB: more than a stalled client's socket buffers hold
    const std::string last = line + std::to_string(lines - 1) + "\r\n";
    auto start = std::chrono::steady_clock::now();
    std::thread talk([&] {
        for (int i = 0; i < lines; ++i) readers[0]->say(line + std::to_string(i));
    });
    EXPECT_EQ(readUntilEveryoneHas(readers, last, 60), 180);
    talk.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace qv
