// What a program is told about its request: the profile it reads, the
// environment it starts with and the command line it is started with.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/gateway/cgi_environment.h"
#include "engine/gateway/cgi_launch.h"
#include "engine/gateway/cgi_profile.h"
#include "engine/http/form_fields.h"
#include "engine/http/request.h"

namespace qv {
namespace {

CgiFacts postFacts(const VarList& headers, const VarList& accept, const VarList* form) {
    CgiFacts f;
    f.protocol = "HTTP/1.0";
    f.method = "POST";
    f.urlPath = "/cgi-bin/form.exe";
    f.executablePath = "/cgi-bin/form.exe";
    f.requestUri = "/cgi-bin/form.exe?x=%26y";
    f.scriptPath = "/srv/cgi/form.exe";
    f.query = "x=%26y";
    f.userAgent = "curl/8";
    f.contentType = "application/x-www-form-urlencoded";
    f.contentLength = 17;
    f.headers = &headers;
    f.accept = &accept;
    f.form = form;
    f.serverName = "localhost";
    f.serverPort = 8080;
    f.serverAdmin = "webmaster@localhost";
    f.realm = "Sample";
    f.remoteAddress = "127.0.0.1";
    f.remoteHost = "127.0.0.1";
    f.gmtOffset = "-0500";
    f.debugMode = "No";
    f.contentFile = "/tmp/t/CGIco1_0.qvx";
    f.outputFile = "/tmp/t/CGIou1_0.qvx";
    return f;
}

TEST(CgiProfile, PostWithRepeatedFieldsWithoutRemoteHostAndWithAnOffset) {
    HttpRequest r;
    r.body = "a=1&b=x%20y&a=2";
    r.contentLength = 15;
    VarList form, headers, accept;
    ASSERT_TRUE(DecodeFormFields(r, form));
    headers.add("Host", "localhost:8080");
    headers.add("Cookie", "k=v");
    accept.add("text/html", "Yes");
    accept.add("*/*", "q=0.1");
    CgiProfile p = winCgiProfile(postFacts(headers, accept, &form), "/tmp/t/CGIin1_0.qvx");
    EXPECT_EQ(p.text,
              "[CGI]\n"
              "Request Protocol=HTTP/1.0\n"
              "Request Method=POST\n"
              "Executable Path=/cgi-bin/form.exe\n"
              "Query String=x=%26y\n"
              "Referer=\n"
              "User-Agent=curl/8\n"
              "Content Type=application/x-www-form-urlencoded\n"
              "Content Length=17\n"
              "Content File=/tmp/t/CGIco1_0.qvx\n"
              "Server Software=Quorvane/pro-1.50-r13\n"
              "Server Name=localhost\n"
              "Server Port=8080\n"
              "Server Admin=webmaster@localhost\n"
              "CGI Version=CGI/1.1 (WIN)\n"
              "Remote Address=127.0.0.1\n"
              "Authentication Method=Basic\n"
              "Authentication Realm=Sample\n"
              "Authenticated Username=\n"
              "\n[System]\n"
              "GMT Offset=-0500\n"
              "Debug Mode=No\n"
              "Output File=/tmp/t/CGIou1_0.qvx\n"
              "Content File=/tmp/t/CGIco1_0.qvx\n"
              "\n[Form Literal]\n"
              "a_1=2\n"
              "a=1\n"
              "\n[Form External]\n"
              "b=/tmp/t/CGIin1_0.0 3\n"
              "\n[Extra Headers]\n"
              "Cookie=k=v\n"
              "Host=localhost:8080\n"
              "\n[Accept]\n"
              "*/*=q=0.1\n"
              "text/html=Yes\n");
    ASSERT_EQ(p.externals.size(), 1u);
    EXPECT_EQ(p.externals[0].path, "/tmp/t/CGIin1_0.0");
    EXPECT_EQ(p.externals[0].value, "x y");
}

TEST(CgiProfile, SimpleGetHasNoFormAndTheDefaults) {
    VarList none;
    CgiFacts f = postFacts(none, none, nullptr);
    f.protocol = "HTTP/0.9";
    f.method = "GET";
    f.query.clear();
    f.contentType.clear();
    f.contentLength = 0;
    f.gmtOffset = "No";
    f.remoteHost = "client.example.org";
    f.pathInfo = "/a/b";
    f.pathTranslated = "/srv/www/a/b";
    const std::string text = winCgiProfile(f, "/tmp/t/CGIin2_0.qvx").text;
    for (const char* line : {"Request Protocol=HTTP/0.9\n", "Content Length=0\n", "GMT Offset=0\n",
                             "Remote Host=client.example.org\nRemote Address=127.0.0.1\n",
                             "Executable Path=/cgi-bin/form.exe\nLogical Path=/a/b\nPhysical Path=/srv/www/a/b\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("Form"), std::string::npos);
    EXPECT_EQ(text.find("Query String"), std::string::npos);
}

TEST(CgiProfile, LongValuesGoExternalAndFileNamesAreCutWithinTheName) {
    HttpRequest r;
    r.body = "long=" + std::string(300, 'v') + "&short=" + std::string(254, 'w');
    r.contentLength = static_cast<int64_t>(r.body->size());
    VarList form, none;
    ASSERT_TRUE(DecodeFormFields(r, form));
    CgiProfile p = winCgiProfile(postFacts(none, none, &form), "/srv/my.site/temp/CGIin7_3.qvx");
    EXPECT_NE(p.text.find("long=/srv/my.site/temp/CGIin7_3.0 300\n"), std::string::npos) << p.text;
    EXPECT_NE(p.text.find("short=" + std::string(254, 'w') + "\n"), std::string::npos);
    EXPECT_EQ(externalFieldPath("/a.b/CGIin9.qvx", 2), "/a.b/CGIin9.2");
}

std::vector<std::string> environmentOf(const CgiFacts& f, std::vector<const char*> inherited) {
    inherited.push_back(nullptr);
    return cgiEnvironment(f, inherited.data());
}

bool has(const std::vector<std::string>& env, const std::string& entry) {
    return std::find(env.begin(), env.end(), entry) != env.end();
}

TEST(CgiEnvironment, BothSpellingsCommonVariablesAndNothingInheritedThatMisleads) {
    VarList headers, accept;
    headers.add("Cookie", "k=v");
    headers.add("X-Forwarded-For", "10.0.0.1");
    accept.add("text/html", "Yes");
    CgiFacts f = postFacts(headers, accept, nullptr);
    f.user = "demo";
    auto env = environmentOf(f, {"PATH=/usr/bin", "REQUEST_METHOD=evil", "request_method=evil", "HTTP_PROXY=http://x",
                                 "NOTIFY_SOCKET=/run/systemd/notify", "Remote_Host=stale", "HOME=/home/q"});
    for (const char* entry :
         {"Request_Method=POST", "REQUEST_METHOD=POST", "QUERY_STRING=x=%26y", "Executable_Path=/srv/cgi/form.exe",
          "EXECUTABLE_PATH=/srv/cgi/form.exe", "SCRIPT_NAME=/cgi-bin/form.exe", "CONTENT_LENGTH=17",
          "Content_File=/tmp/t/CGIco1_0.qvx", "OUTPUT_FILE=/tmp/t/CGIou1_0.qvx", "CGI_Version=CGI/1.1 (WIN)",
          "GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.0", "REMOTE_ADDR=127.0.0.1", "REMOTE_USER=demo",
          "AUTH_TYPE=Basic", "HTTP_USER_AGENT=curl/8", "USER_AGENT=curl/8", "HTTP_COOKIE=k=v",
          "HTTP_X_FORWARDED_FOR=10.0.0.1", "HTTP_ACCEPT=text/html", "PATH=/usr/bin", "HOME=/home/q",
          "REQUEST_URI=/cgi-bin/form.exe?x=%26y"})
        EXPECT_TRUE(has(env, entry)) << entry;
    for (const char* gone : {"REQUEST_METHOD=evil", "request_method=evil", "HTTP_PROXY=http://x",
                             "NOTIFY_SOCKET=/run/systemd/notify", "Remote_Host=stale"})
        EXPECT_FALSE(has(env, gone)) << gone;
    EXPECT_EQ(std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.starts_with("REMOTE_HOST"); }),
              0);
}

TEST(CgiLaunch, EveryRunMode) {
    LaunchInput in;
    in.scriptPath = "/srv/cgi/run.exe";
    in.profileFile = "/t/in.qvx";
    in.contentFile = "/t/co.qvx";
    in.outputFile = "/t/ou.qvx";
    in.perlCompiler = "perl";
    in.perlDir = "/srv/perl/";
    using Words = std::vector<std::string>;

    Launch win = planLaunch(in);
    EXPECT_EQ(win.argv, (Words {"/srv/cgi/run.exe", "/t/in.qvx", "/t/co.qvx", "/t/ou.qvx"}));
    EXPECT_FALSE(win.captureOutput);
    EXPECT_EQ(win.workDir, "/srv/cgi/");

    in.standardFlag = true;
    Launch bare = planLaunch(in);
    EXPECT_EQ(bare.argv, Words {"/srv/cgi/run.exe"});
    EXPECT_FALSE(bare.captureOutput);

    in.standardMode = true;
    in.query = "two+words%20here";
    Launch standard = planLaunch(in);
    EXPECT_EQ(standard.argv, (Words {"/srv/cgi/run.exe", "two", "words", "here"}));
    EXPECT_TRUE(standard.captureOutput);

    in.query = std::string(70, 'q');  // the command line would reach 80 characters
    EXPECT_EQ(planLaunch(in).argv, Words {"/srv/cgi/run.exe"});

    in.query.clear();
    in.scriptPath = "/srv/cgi/hello.pl";
    Launch perl = planLaunch(in);
    EXPECT_EQ(perl.program, "perl");
    EXPECT_EQ(perl.argv, (Words {"perl", "/srv/cgi/hello.pl"}));
    EXPECT_EQ(perl.workDir, "/srv/perl/");
    EXPECT_TRUE(perl.captureOutput);

    in.scriptPath = "/srv/cgi/job.bat";
    Launch batch = planLaunch(in);
    EXPECT_EQ(batch.program, "/bin/sh");
    EXPECT_EQ(batch.argv, (Words {"/bin/sh", "/srv/cgi/job.bat"}));

    in.command = "ls  -l /tmp";
    Launch page = planLaunch(in);
    EXPECT_EQ(page.program, "ls");
    EXPECT_EQ(page.argv, (Words {"ls", "-l", "/tmp"}));
    EXPECT_TRUE(page.captureOutput);
}

}  // namespace
}  // namespace qv
