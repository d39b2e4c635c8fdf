#include "engine/http/image_map.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace qv {
namespace {

struct MapCase {
    const char* name;
    const char* map;
    const char* query;
    int code;
    const char* result;
};

const MapCase kMapCases[] = {
    {"rect edge is inclusive", "rect /r 20,20 10,10\n", "20,10", 1, "/r"},
    {"rect just outside", "rect /r 10,10 20,20\n", "21,15", 0, "Nothing was found at location [21,15]."},
    {"circle rim hits", "circle /c 50,50 50,60\n", "56,58", 1, "/c"},
    {"circle just beyond rim", "circle /c 50,50 50,60\n", "57,58", 0, "Nothing was found at location [57,58]."},
    {"poly of three pairs", "poly /p 0,0 100,0 0,100\n", "10,10", 1, "/p"},
    // Three commas: the trailing "0 100" is never read, so this is a triangle.
    {"poly vertex count is comma count", "poly /p 0,0 100,0 100,100 0 100\n", "10,90", 0,
     "Nothing was found at location [10,90]."},
    {"poly extra comma adds vertex", "poly /p 0,0 100,0 100,100, 0 100\n", "10,90", 1, "/p"},
    // The crossing test counts a left edge in and a right edge out.
    {"poly right edge is outside", "poly /p 0,0 100,0 100,100 0,100\n", "100,50", 0,
     "Nothing was found at location [100,50]."},
    {"poly missing numbers are 0", "poly /p 100,0 100,100 0,100,\n", "10,50", 1, "/p"},
    {"default before rect, inside", "default /d\nrect /r 0,0 10,10\n", "5,5", 1, "/r"},
    {"default before rect, outside", "default /d\nrect /r 0,0 10,10\n", "50,50", 1, "/d"},
    {"later default replaces earlier", "default /d1\nrect /r 0,0 1,1\ndefault /d2\n", "9,9", 1, "/d2"},
    {"first region wins", "circle /c 5,5 5,10\nrect /r 0,0 10,10\n", "5,5", 1, "/c"},
    {"comments and short lines ignored", "#rect /x 0,0 9,9\nrect\ndefault\n\nRECT /r 0,0 9,9\n", "5,5", 1, "/r"},
    {"tabs and CRLF separate words", "Circle\t/c\t5,5\t5,9\r\n", "5,9", 1, "/c"},
    {"empty file, click read as leading digits", "", "7x,08", 0, "Nothing was found at location [7,8]."},
    {"query without comma", "default /d\n", "55", 0, ""},
};

TEST(ImageMapSearch, RegionsAndDefaults) {
    test::TempFolder dir;
    std::string path = dir.file("site.map");
    for (const MapCase& c : kMapCases) {
        SCOPED_TRACE(c.name);
        test::writeFile(path, c.map);
        std::string result = "stale";
        EXPECT_EQ(searchMap(path, c.query, result), c.code);
        EXPECT_EQ(result, c.result);
    }
}

TEST(ImageMapSearch, LongLineIsReadInPieces) {
    test::TempFolder dir;
    std::string path = dir.file("long.map");
    std::string line = "rect /r 0,0 10,10";
    line.resize(1021, ' ');
    test::writeFile(path, line + "default /tail\n");

    test::CapturedOutput out;
    std::string result;
    EXPECT_EQ(searchMap(path, "5,5", result), 1);
    EXPECT_EQ(result, "/r");
    EXPECT_TRUE(out.contains("\r\n* * Error, map-file line too long (>1020) \r\n"));
    // The second piece is a line of its own.
    EXPECT_EQ(searchMap(path, "50,50", result), 1);
    EXPECT_EQ(result, "/tail");
}

TEST(ImageMapServe, RedirectPlainTextOrServerError) {
    const std::string server = "Server: Quorvane/pro-1.50-r13\r\n";
    const std::string plain = "Content-Type: text/plain\r\n\r\n";
    test::TempFolder dir;
    test::CapturedOutput out;
    std::string sent;
    auto serve = [&](std::string map, std::string query, int debug3) {
        ResponseWriter w;
        w.write = [&](std::string_view text) { sent += text; };
        w.mapFile = std::move(map);
        w.query = std::move(query);
        sent.clear();
        out.clear();
        serveImageMap(w, debug3);
    };
    std::string map = dir.file("a.map");
    test::writeFile(map, "rect http://h/x 0,0 10,10\n");

    serve(map, "3,4", 0);
    EXPECT_EQ(sent, "HTTP/1.0 302 Found\r\n" + server +
                        "Location: http://h/x\r\nContent-type: text/html\r\n\r\n"
                        "\r\nThis document is located at <A HREF=\"http://h/x\">http://h/x</A>\r\n");
    EXPECT_FALSE(out.contains("Searching for"));

    serve(map, "30,40", 1);
    EXPECT_EQ(sent, "HTTP/1.0 200 OK\r\n" + server + plain + "Nothing was found at location [30,40].");
    EXPECT_TRUE(out.contains("Searching for [30,40]."));

    serve(map, "30", 0);
    EXPECT_EQ(sent, "HTTP/1.0 200 OK\r\n" + server + plain);

    serve(dir.file("missing.map"), "1,2", 0);
    EXPECT_EQ(sent, "HTTP/1.0 500 Server Error\r\n" + server + plain + "\r\n Error opening map file.\r\n");
    EXPECT_EQ(out.joined(), "\r\n Error opening map file.\r\nSearching for [1,2].");
}

}  // namespace
}  // namespace qv
