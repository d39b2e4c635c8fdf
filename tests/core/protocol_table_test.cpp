// The protocol table as the one description of a protocol, the ownership of
// connections and engines, and SocketInfoList records claimed in the shared
// table by engines that share a runtime folder.
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "engine/core/io.h"
#include "engine/core/server_table.h"
#include "engine/core/socket_info.h"
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

using test::eventually;

// A protocol of the tests' own: greets and returns, leaving the socket open
// and the connection registered; the engine must close and unregister it.
void greetAndReturn(Connection& c) {
    sendString(c, "hello from x\r\n");
    flushSend(c);
}

void holdUntilClientCloses(Connection& c) {
    char buf[64];
    while (readSocket(c, buf, false, 30) > 0) {
    }
}

std::vector<Protocol> withTestProtocol(ProtocolHandler serveOthers) {
    std::vector<Protocol> table = builtinProtocols();
    for (Protocol& p : table) p.serve = serveOthers;
    table.push_back({9, 'x', "XTEST", "x", 7000, RootFolder::kWeb, {false, "x paused\r\n", "", false}, greetAndReturn});
    return table;
}

std::vector<Protocol> holdingProtocols() {
    std::vector<Protocol> table = builtinProtocols();
    for (Protocol& p : table) p.serve = holdUntilClientCloses;
    return table;
}

std::string iniWithServers(int count, const std::string& type) {
    std::string ini = "[Multi]\n";
    for (int n = 1; n <= count; ++n) {
        std::string num = std::to_string(n);
        ini += "server" + num + "=" + type + "\nip" + num + "=127.0.0.1\nport" + num + "=0\n";
    }
    return ini + "server" + std::to_string(count + 1) + "=none\n";
}

struct Engines : ::testing::Test {
    test::TempFolder etc, run;
    test::CapturedOutput output;

    EnginePtr startEngine(const std::string& ini, std::vector<Protocol> protocols) {
        return test::startEngine(etc, run, ini, std::move(protocols));
    }
};

TEST_F(Engines, ATestProtocolIsOneRowAndItsConnectionsAreStillUnregistered) {
    EnginePtr engine = startEngine(iniWithServers(1, "xtest"), withTestProtocol(nullptr));
    EXPECT_TRUE(output.contains("#1 XTEST Host: "));
    Server* server = serverAt(*engine, 1);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->serverKind, 9u);
    for (int i = 0; i < 3; ++i) {
        int fd = test::connectLoopback(serverPort(*engine, 1));
        EXPECT_EQ(test::readUntilClosed(fd, 3000), "hello from x\r\n");
        close(fd);
    }
    EXPECT_TRUE(eventually([&] { return engine->totalConnections == 3 && engine->openConnections == 0; }));
    {
        std::lock_guard lock(engine->registryMutex);
        EXPECT_EQ(server->next, nullptr);
    }
    EXPECT_TRUE(eventually([&] { return engine->socketInfo.snapshot(1).inUse == 0; }));

    setPaused(*engine, true);
    int fd = test::connectLoopback(serverPort(*engine, 1));
    EXPECT_EQ(test::readUntilClosed(fd, 3000), "x paused\r\n");
    close(fd);
}

// Two engines on one runtime folder (the service and the desktop program)
// see one table: no record is held twice, record 0 is shared only once the
// other 63 are taken, and every report lists each held record once.
TEST_F(Engines, EnginesOnOneFolderNeverHoldTheSameRecord) {
    EnginePtr first = startEngine(iniWithServers(1, "web"), holdingProtocols());
    std::vector<int> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(test::connectLoopback(serverPort(*first, 1)));
    ASSERT_TRUE(eventually([&] { return first->openConnections == 20; }));

    // A second engine starting leaves the first one's records in place.
    EnginePtr second = startEngine(iniWithServers(1, "web"), holdingProtocols());
    auto recordsInUse = [&] {
        int used = 0;
        for (int i = 0; i < kSocketInfoRecords; ++i) used += second->socketInfo.snapshot(i).inUse == 1;
        return used;
    };
    EXPECT_EQ(recordsInUse(), 20);

    for (int i = 0; i < 50; ++i) clients.push_back(test::connectLoopback(serverPort(*second, 1)));
    ASSERT_TRUE(eventually([&] { return second->openConnections == 50; }));

    auto heldSlots = [](Engine& e, std::multiset<int>& slots) {
        std::lock_guard lock(e.registryMutex);
        for (Connection* c = serverAt(e, 1)->next; c; c = c->next) slots.insert(c->slot);
    };
    std::multiset<int> slots;
    heldSlots(*first, slots);
    heldSlots(*second, slots);
    ASSERT_EQ(slots.size(), 70u);
    for (int i = 1; i < kSocketInfoRecords; ++i) EXPECT_EQ(slots.count(i), 1u) << "record " << i;
    EXPECT_EQ(slots.count(0), 7u);  // 70 connections, 63 records of their own
    EXPECT_EQ(first->socketInfo.snapshot(0).holders, 7);

    auto reportRows = [](const Engine& e) {
        std::string report = socketInfoReport(e);
        int rows = 0;
        for (std::size_t at = report.find("127.0.0.1"); at != std::string::npos; at = report.find("127.0.0.1", at + 1))
            ++rows;
        return rows;
    };
    EXPECT_EQ(reportRows(*first), 64);
    EXPECT_EQ(reportRows(*second), 64);

    // Those sharing record 0 leave one by one: it stays listed until the
    // last of them has gone, and the counts follow.
    std::vector<int> sharers;
    {
        std::set<int> sharerPorts;
        std::lock_guard sockets(second->live.mutex);  // a socket closes only under it
        std::lock_guard lock(second->registryMutex);
        for (Connection* c = serverAt(*second, 1)->next; c; c = c->next)
            if (c->slot == 0) sharerPorts.insert(test::peerPort(c->sock));
        for (int& fd : clients)
            if (sharerPorts.count(test::localPort(fd))) std::swap(fd, sharers.emplace_back(-1));
    }
    ASSERT_EQ(sharers.size(), 7u);
    for (std::size_t i = 0; i < sharers.size(); ++i) {
        close(sharers[i]);
        int open = 69 - static_cast<int>(i);
        ASSERT_TRUE(eventually([&] { return second->openConnections + first->openConnections == open; }));
        bool last = i + 1 == sharers.size();
        EXPECT_EQ(second->socketInfo.snapshot(0).inUse, last ? 0 : 1) << i;
        EXPECT_EQ(reportRows(*second), last ? 63 : 64) << i;
    }

    for (int fd : clients)
        if (fd >= 0) close(fd);
    EXPECT_TRUE(eventually([&] { return first->openConnections == 0 && second->openConnections == 0; }));
    EXPECT_TRUE(eventually([&] { return recordsInUse() == 0; }));
    EXPECT_EQ(first->socketInfo.snapshot(0).holders, 0);
}

TEST_F(Engines, RecordsOfAnEngineThatIsGoneAreClearedAtStart) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);  // a process id that no longer runs
    {
        SocketInfoList table;
        table.create(run.path());
        ASSERT_NE(table.record(5), nullptr);
        for (int i : {5, 6}) {
            table.record(i)->inUse = 1;
            table.record(i)->ownerPid = i == 5 ? child : getpid();
            std::strcpy(table.record(i)->activity, "stale");
        }
        table.release();
    }
    EnginePtr engine = startEngine(iniWithServers(1, "xtest"), withTestProtocol(nullptr));
    EXPECT_EQ(engine->socketInfo.snapshot(5).inUse, 0);
    EXPECT_EQ(engine->socketInfo.snapshot(6).inUse, 1);  // this process is alive
}

TEST_F(Engines, AnEngineDestroyedWhileServingStopsFirst) {
    EnginePtr engine = startEngine(iniWithServers(3, "web"), holdingProtocols());
    std::vector<int> clients;
    for (int n = 1; n <= 3; ++n) clients.push_back(test::connectLoopback(serverPort(*engine, n)));
    ASSERT_TRUE(eventually([&] { return engine->openConnections == 3; }));
    engine.reset();  // no signalShutdown, no stopServers
    for (int fd : clients) {
        EXPECT_EQ(test::readUntilClosed(fd, 3000), "");
        close(fd);
    }
    EXPECT_TRUE(output.contains("Goodby from threadWaitForReset\r\n"));
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

TEST(ConnectTo, AFailedConnectLeavesNoDescriptorBehind) {
    test::CapturedOutput output;
    int closedPort = test::freePort();
    int before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        Connection c;
        EXPECT_EQ(connectTo(c, std::string("127.0.0.1"), closedPort), 1);
        EXPECT_EQ(c.sock, -1);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_TRUE(output.contains("Uable to connect to IP/port 127.0.0.1:" + std::to_string(closedPort) + "\r\n"));
}

}  // namespace
}  // namespace qv
