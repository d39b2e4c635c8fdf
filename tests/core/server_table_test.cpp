// Reading [Multi] into the server table, and opening listening sockets.
#include "engine/core/server_table.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/core/engine.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

struct ServerTable : ::testing::Test {
    test::TempFolder dir;
    Settings settings;
    std::vector<Protocol> protocols = builtinProtocols();
    std::vector<ServerEntry> read(const std::string& ini) {
        test::writeFile(dir.file("quorvane.ini"), ini);
        settings.webdir = "/srv/html/";
        settings.gopherdir = "/srv/gopher/";
        settings.ftpdir = "/srv/ftp/";
        settings.logdir = "/srv/logs/";
        return readServerTable(ProfileFile(dir.file("quorvane.ini")), settings, protocols);
    }
};

TEST_F(ServerTable, WithoutMultiThreeClassicServersRun) {
    auto t = read("[Options]\nkeep_alive=1\n");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].protocol->name, "HTTP");
    EXPECT_EQ(t[0].portText, "80");
    EXPECT_EQ(t[0].dir, "/srv/html/");
    EXPECT_EQ(t[1].protocol->name, "GOPHER");
    EXPECT_EQ(t[1].portText, "70");
    EXPECT_EQ(t[1].dir, "/srv/gopher/");
    EXPECT_EQ(t[2].protocol->name, "FTP");
    EXPECT_EQ(t[2].portText, "21");
    EXPECT_EQ(t[2].dir, "/srv/ftp/");
    EXPECT_EQ(t[2].logDir, "/srv/logs/");
}

TEST_F(ServerTable, KindComesFromTheExactFirstCharacter) {
    auto t = read("[Multi]\ntype1=ftpd\nserver2=talk\nserver3=Gopher\nserver4=None\nserver5=mail\ntype6=web\n"
                  "server7=none\nserver8=gopher\n");
    ASSERT_EQ(t.size(), 6u);  // the lower-case "none" of server 7 ends the table
    EXPECT_EQ(t[0].protocol->kind, 2u);
    EXPECT_EQ(t[1].protocol->kind, 4u);
    EXPECT_EQ(t[1].portText, "8000");
    EXPECT_EQ(t[1].protocol->name, "TEST");
    EXPECT_EQ(t[2].protocol->kind, 1u);  // "Gopher": capital G
    EXPECT_EQ(t[3].protocol->kind, 1u);  // "None": capital N
    EXPECT_EQ(t[4].protocol->kind, 6u);
    EXPECT_EQ(t[4].portText, "25");
    EXPECT_EQ(t[5].protocol->kind, 1u);
}

TEST_F(ServerTable, NoneEndsTheTableEvenWithLaterKeys) {
    auto t = read("[Multi]\nserver2=none\nserver3=ftpd\nport3=2121\n");
    ASSERT_EQ(t.size(), 1u);
}

TEST_F(ServerTable, FoldersAndAliasesAreNormalised) {
    auto t = read("[Multi]\nserver1=httpd\ndir1=c:\\web\nlogdir1=/l/\nvirtual_alias1=/shop/\nserver2=none\n");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].dir, "c:/web/");
    EXPECT_EQ(t[0].logDir, "/l/");
    EXPECT_EQ(t[0].virtualAlias, "/shop");
}

TEST_F(ServerTable, MoreThanThirtyTwoServersAreCutWithADiagnostic) {
    std::string ini = "[Multi]\n";
    for (int n = 1; n <= 34; ++n) ini += "server" + std::to_string(n) + "=httpd\n";
    test::CapturedOutput output;
    auto t = read(ini);
    EXPECT_EQ(t.size(), 32u);
    EXPECT_TRUE(output.contains("server33 and later are ignored"));
}

TEST(AddressText, NeedsFourParts) {
    uint32_t a = 1;
    EXPECT_TRUE(parseAddressText("", a));
    EXPECT_EQ(a, 0u);
    EXPECT_TRUE(parseAddressText("127.0.0.1", a));
    EXPECT_EQ(a, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(parseAddressText("10.0.0", a));
    EXPECT_FALSE(parseAddressText("localhost", a));
}

struct Listening : ::testing::Test {
    test::TempFolder run;
    EnginePtr engine = createEngine({run.path(), run.path(), {}, nullptr});
    Settings settings;
    test::CapturedOutput output;
};

TEST_F(Listening, PortZeroReadsBackTheChosenPort) {
    Server server(*engine, 1);
    ASSERT_EQ(startListening(server, 0, 1, "127.0.0.1", "", settings), 0);
    EXPECT_GT(server.port, 0);
    EXPECT_TRUE(output.contains("Listening on 127.0.0.1:0\r\n"));
    close(server.sock);
}

TEST_F(Listening, AnyAddressIsShownAsZeros) {
    Server server(*engine, 1);
    ASSERT_EQ(startListening(server, 0, 1, "", "named", settings), 0);
    EXPECT_EQ(server.ipAddress, "0.0.0.0");
    EXPECT_EQ(server.hostName, "named");
    close(server.sock);
}

TEST_F(Listening, ThreePartAddressIsRefused) {
    Server server(*engine, 1);
    EXPECT_EQ(startListening(server, 0, 1, "10.0.0", "", settings), 1);
    EXPECT_TRUE(output.contains("** Invallid IP address\r\n"));
}

TEST_F(Listening, TakenPortIsRefusedWithTheAddressInUseCode) {
    Server first(*engine, 1), second(*engine, 2);
    ASSERT_EQ(startListening(first, 0, 1, "127.0.0.1", "", settings), 0);
    EXPECT_EQ(startListening(second, first.port, 2, "127.0.0.1", "", settings), 1);
    EXPECT_TRUE(output.contains("Unable to bind to port 127.0.0.1:" + std::to_string(first.port) + "\r\n"));
    EXPECT_TRUE(output.contains("Reason: " + std::to_string(EADDRINUSE) + "\r\n"));
    close(first.sock);
}

}  // namespace
}  // namespace qv
