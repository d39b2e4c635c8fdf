// What "cmake --install" lays out, and the settings file it ships: read by
// the engine's own readers, it must give the engine's defaults (except
// where its comments say otherwise), one HTTP server on port 80 and a
// usable file-type table, with every key one the engine knows.
#include <gtest/gtest.h>

#include <sstream>
#include <sys/stat.h>

#include "engine/config/file_types.h"
#include "engine/config/settings.h"
#include "engine/core/server_table.h"
#include "engine/platform/profile.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace qv {
namespace {

const std::string kDistIni = std::string(QV_SOURCE_DIR) + "/dist/quorvane.ini";

// Every value of the record that the general reader fills, as one text.
std::string fingerprint(const Settings& s) {
    std::string out;
    for (int Settings::*f :
         {&Settings::buffsize, &Settings::sound, &Settings::minimize, &Settings::hide, &Settings::view_connects,
          &Settings::view_commands, &Settings::view_files, &Settings::view_closing, &Settings::debug1,
          &Settings::debug3, &Settings::debug_cgi, &Settings::DNS_mode, &Settings::DNS_use_cache,
          &Settings::webdirbrowsing, &Settings::logany, &Settings::logsearchstring, &Settings::countfilehits,
          &Settings::addtofilehits, &Settings::localfilehits, &Settings::keep_alive, &Settings::ftp_read_timeout,
          &Settings::gopher_read_timeout, &Settings::http_read_timeout, &Settings::ask_before_quit,
          &Settings::gopherport, &Settings::httpport, &Settings::max_body_size, &Settings::max_connections,
          &Settings::max_upload_mb, &Settings::max_message_size, &Settings::page_exec, &Settings::maxretry,
          &Settings::pollevery, &Settings::throttle, &Settings::greedy, &Settings::debug2, &Settings::DDE_mode,
          &Settings::socketver, &Settings::countreferer, &Settings::gopher_about_hide, &Settings::Timeout})
        out += std::to_string(s.*f) + ",";
    for (std::string Settings::*f :
         {&Settings::hostname, &Settings::ip, &Settings::tempdir, &Settings::logdir, &Settings::gopherdir,
          &Settings::ftpdir, &Settings::webdir, &Settings::security_realm, &Settings::scramble_passwords,
          &Settings::scramble_version, &Settings::althomepage, &Settings::reject_ip_filename,
          &Settings::gopher_about_filename, &Settings::GMT_Offset, &Settings::Debug_Mode, &Settings::Perl_Compiler,
          &Settings::Perl_Dir, &Settings::name, &Settings::organization, &Settings::email, &Settings::logo})
        out += s.*f + ",";
    return out;
}

struct KeyLine {
    std::string section, key;
};

// The "key=value" lines of the sections the general reader owns.
std::vector<KeyLine> plainKeys(const std::string& text) {
    std::vector<KeyLine> keys;
    std::istringstream in(text);
    std::string section;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        if (section == "Options" || section == "CGI" || section == "Registration")
            keys.push_back({section, line.substr(0, line.find('='))});
    }
    return keys;
}

TEST(ShippedSettings, EveryKeyIsOneTheEngineReads) {
    test::TempFolder folder;
    std::string ini = folder.file("quorvane.ini");
    test::writeFile(ini, "");
    const std::string defaults = fingerprint(*readSettings(ini));
    auto keys = plainKeys(test::readFile(kDistIni));
    ASSERT_GT(keys.size(), 30u);
    for (const auto& [section, key] : keys) {
        // 7 is within every number's bounds and differs from every default.
        test::writeFile(ini, "[" + section + "]\n" + key + "=7\n");
        EXPECT_NE(fingerprint(*readSettings(ini)), defaults) << "[" << section << "] " << key << " is read by nothing";
    }
}

TEST(ShippedSettings, GiveTheDefaultsOneHttpServerAndTheFileTypes) {
    test::TempFolder folder;
    test::writeFile(folder.file("empty.ini"), "");
    test::CapturedOutput diagnostics;
    auto shipped = readSettings(kDistIni);
    auto defaults = readSettings(folder.file("empty.ini"));
    EXPECT_FALSE(diagnostics.contains("Error")) << diagnostics.joined();

    // The departures its comments announce.
    EXPECT_EQ(shipped->keep_alive, 1);
    EXPECT_EQ(shipped->security_realm, "Quorvane");
    Settings expected = *defaults;
    expected.keep_alive = 1;
    expected.security_realm = "Quorvane";
    EXPECT_EQ(fingerprint(*shipped), fingerprint(expected));
    EXPECT_EQ(shipped->webdir, "/var/lib/quorvane/html/");

    const std::vector<Protocol> protocols = builtinProtocols();
    auto table = readServerTable(ProfileFile(kDistIni), *shipped, protocols);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].protocol->name, "HTTP");
    EXPECT_EQ(table[0].portText, "80");
    EXPECT_EQ(table[0].dir, "/var/lib/quorvane/html/");

    EXPECT_EQ(fileContentType(*shipped, "index.html").value_or("none"), "text/html");
    EXPECT_EQ(fileContentType(*shipped, "app.js").value_or("none"), "application/javascript");
    EXPECT_EQ(fileContentType(*shipped, "photo.jpeg").value_or("none"), "image/jpeg");
    EXPECT_EQ(fileContentType(*shipped, "README").value_or("none"), "text/plain");
    EXPECT_EQ(fileContentType(*shipped, "x.tar.xz").value_or("none"), "application/octet-stream");
}

// Installs into temporary folders only: a prefix of their own, and DESTDIR
// in front of it.
TEST(CmakeInstall, LaysOutProgramHeadersSettingsAndDataFoldersAndKeepsEditedSettings) {
    test::TempFolder dest;
    const std::string prefix = "/opt/quorvane-install-test";
    auto install = [&] {
        test::ChildProcess cmake({CMAKE_COMMAND_PATH, "--install", QV_BUILD_DIR, "--prefix", prefix},
                                 {{"DESTDIR", dest.path()}});
        return cmake.wait(60000);
    };
    ASSERT_EQ(install(), 0);
    const std::string root = dest.path() + prefix;
    struct stat st {};
    ASSERT_EQ(stat((root + "/bin/qvx32").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    for (const char* header : {"/include/quorvane/quorvane.h", "/include/quorvane/output.h"})
        EXPECT_EQ(access((root + header).c_str(), R_OK), 0) << header;
    for (const char* folder : {"html", "ftp", "gopher", "logs", "temp"}) {
        ASSERT_EQ(stat((root + "/var/lib/quorvane/" + folder).c_str(), &st), 0) << folder;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << folder;
    }
    // Outside a system prefix the settings name the folders inside it.
    const std::string ini = root + "/etc/quorvane/quorvane.ini";
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    auto settings = readSettings(ini);
    EXPECT_EQ(settings->webdir, prefix + "/var/lib/quorvane/html/");
    EXPECT_EQ(settings->logdir, prefix + "/var/lib/quorvane/logs/");

    test::writeFile(ini, "[Options]\nkeep_alive=0\n");
    ASSERT_EQ(install(), 0);
    EXPECT_EQ(test::readFile(ini), "[Options]\nkeep_alive=0\n");
}

}  // namespace
}  // namespace qv
