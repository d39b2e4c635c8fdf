#include "engine/http/image_map.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/log/strings.h"
#include "engine/output.h"

namespace qv {
namespace {

// fgets buffer: a piece holds at most 1,021 characters (line feed included).
constexpr int kPieceBuffer = 1022;
constexpr std::size_t kLongPiece = 1020;

constexpr std::string_view kWordSeparators = " \t\r\n";
constexpr std::string_view kNumberSeparators = " ,\t\r\n";

// The next run of non-separators in text, which is advanced past it; empty
// when only separators are left.
std::string_view nextWord(std::string_view& text, std::string_view separators) {
    std::size_t start = text.find_first_not_of(separators);
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    std::size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

// Leading blanks, an optional sign and decimal digits; anything else ends
// the number, and no digits give 0.  Clamped to the range of int.
int leadingInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            value = static_cast<long long>(INT_MAX) + 1;
            break;
        }
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

struct Point {
    int x = 0;
    int y = 0;
};

// "x,y": each part read by leadingInt; a missing part is 0.
Point parsePoint(std::string_view text) {
    Point p;
    p.x = leadingInt(text);
    std::size_t comma = text.find(',');
    if (comma != std::string_view::npos) p.y = leadingInt(text.substr(comma + 1));
    return p;
}

bool insideRect(std::string_view coords, Point click) {
    Point a = parsePoint(nextWord(coords, kWordSeparators));
    Point b = parsePoint(nextWord(coords, kWordSeparators));
    return std::min(a.x, b.x) <= click.x && click.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= click.y &&
           click.y <= std::max(a.y, b.y);
}

double distance(Point a, Point b) {
    double dx = static_cast<double>(a.x) - b.x;
    double dy = static_cast<double>(a.y) - b.y;
    return std::sqrt(dx * dx + dy * dy);
}

bool insideCircle(std::string_view coords, Point click) {
    Point centre = parsePoint(nextWord(coords, kWordSeparators));
    Point edge = parsePoint(nextWord(coords, kWordSeparators));
    return distance(centre, click) <= distance(centre, edge);
}

// The next number of a polygon's coordinate text, read like strtod; 0 when
// the text has run out.
double nextNumber(std::string_view& text) {
    std::string_view word = nextWord(text, kNumberSeparators);
    if (word.empty()) return 0.0;
    std::string copy(word);
    return std::strtod(copy.c_str(), nullptr);
}

// Even-odd crossing test.  The vertex count is the number of commas in the
// coordinate text, however the numbers are laid out.  The vectors here hold
// at most one entry per character of a 1,021-character piece, so running
// out of memory is not treated as a separate outcome.
bool insidePolygon(std::string_view coords, Point click) {
    std::size_t n = static_cast<std::size_t>(std::count(coords.begin(), coords.end(), ','));
    if (n == 0) return false;
    std::vector<double> xs(n), ys(n);
    for (std::size_t k = 0; k < n; ++k) {
        xs[k] = nextNumber(coords);
        ys[k] = nextNumber(coords);
    }
    double x = click.x;
    double y = click.y;
    bool inside = false;
    for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
        if ((ys[i] <= y && y < ys[j]) || (ys[j] <= y && y < ys[i])) {
            if ((xs[j] - xs[i]) / (ys[j] - ys[i]) * (y - ys[i]) + xs[i] > x) inside = !inside;
        }
    }
    return inside;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int searchMap(const std::string& mapFile, std::string_view query, std::string& result) {
    std::size_t comma = query.find(',');
    if (comma == std::string_view::npos) {
        result.clear();
        return kMapNothingFound;
    }
    Point click{leadingInt(query.substr(0, comma)), leadingInt(query.substr(comma + 1))};

    char text[64];
    std::snprintf(text, sizeof text, "Nothing was found at location [%d,%d].", click.x, click.y);
    result = text;

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(mapFile.c_str(), "r"));
    if (!file) return kMapOpenFailed;

    int answer = kMapNothingFound;
    char buffer[kPieceBuffer];
    while (std::fgets(buffer, sizeof buffer, file.get())) {
        std::string_view line(buffer, std::strlen(buffer));
        if (line.size() > kLongPiece) debugPrint("\r\n* * Error, map-file line too long (>1020) \r\n");

        std::string_view rest = line;
        std::string_view shape = nextWord(rest, kWordSeparators);
        std::string_view target = nextWord(rest, kWordSeparators);
        if (target.empty()) continue;

        bool hit = false;
        if (equalsNoCase(shape, "rect")) {
            hit = insideRect(rest, click);
        } else if (equalsNoCase(shape, "circle")) {
            hit = insideCircle(rest, click);
        } else if (equalsNoCase(shape, "poly")) {
            hit = insidePolygon(rest, click);
        } else if (equalsNoCase(shape, "default")) {
            result = target;
            answer = kMapHit;
        }
        if (hit) {
            result = target;
            return kMapHit;
        }
    }
    return answer;
}

void serveImageMap(ResponseWriter& w, int debug3) {
    std::string searching = concat({"Searching for [", w.query, "]."});
    if (debug3) debugPrint(searching);

    std::string result;
    int found = searchMap(w.mapFile, w.query, result);
    if (found == kMapHit) {
        writeRedirect(w, result);
    } else if (found == kMapNothingFound) {
        w.contentType = "text/plain";
        writeOk(w, 0);
        if (!result.empty()) w.write(result);
    } else {
        std::string_view error = found == kMapOpenFailed ? "\r\n Error opening map file.\r\n"
                                                         : "\r\n An unknown error occured while searching mapfile!\r\n";
        writeStatus(w, "500 Server Error", "Content-Type: text/plain\r\n\r\n");
        w.write(error);
        debugPrint(error);
        debugPrint(searching);
    }
}

}  // namespace qv
