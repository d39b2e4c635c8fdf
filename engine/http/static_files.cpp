#include "engine/http/static_files.h"

#include <dirent.h>
#include <initializer_list>
#include <string_view>
#include <sys/stat.h>

#include "engine/config/file_types.h"
#include "engine/config/path_mapping.h"
#include "engine/core/io.h"
#include "engine/http/folder_listing.h"
#include "engine/http/includes.h"
#include "engine/http/response.h"
#include "engine/log/dates.h"
#include "engine/log/strings.h"
#include "engine/output.h"
#include "engine/platform/profile.h"
#include "engine/platform/runtime_dir.h"

namespace qv {

namespace {

bool isHtml(std::string_view path) { return startsWithNoCase(fileExtension(path), "HTM"); }

// Expands a page of the folder (index or header page) with the request's
// file path swapped for it, as the page variables describe that page.
std::string expandFolderPage(Connection& c, HttpRequest& r, const std::string& page) {
    std::string saved = r.filePath;
    r.filePath = page;
    std::string text;
    processIncludes(c, r, page, text);
    r.filePath = saved;
    return text;
}

bool present(const std::string& path) { return fileSizeAndDate(path).size > 0; }

// A response that broke off on the way: the client holds part of it, so
// the connection ends after it, and what is still buffered is dropped so
// the closing flush does not report the same broken connection again.
void abandonResponse(Connection& c, HttpRequest& r) {
    r.keepAliveGranted = false;
    discardSend(c);
}

// Sends the index page of the folder when it has one.
bool sendIndexPage(Connection& c, HttpRequest& r, const std::string& folder) {
    std::string index = joinPath(folder, "index.htm");
    if (!present(index)) index = joinPath(folder, "index.html");
    if (!present(index)) return false;
    if (r.settings->debug1) debugPrint("Sending index file.\r\n");
    if (r.fullRequest) sendOkHeader(c, r, 0);
    if (!headOnly(r) && sendString(c, expandFolderPage(c, r, index)) != 0) abandonResponse(c, r);
    return true;
}

bool browsingAllowed(const HttpRequest& r, const std::string& folder) {
    bool allowed = r.alias ? r.alias->listings : r.settings->webdirbrowsing != 0;
    return allowed || present(joinPath(folder, "qvheader.htm")) || present(joinPath(folder, "qvheader.txt"));
}

enum class Rows { kSent, kNoFolder, kSendFailed };

// Entries in the order the file system gives them, up to the first send
// that fails.
Rows sendRows(Connection& c, const Settings& s, const std::string& folderUrl, const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return Rows::kNoFolder;
    const ListingFolder facts = listingFolder(folder);
    Rows result = Rows::kSent;
    while (dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == ".." || name == "QVHEADER.HTM" || name == "QVHEADER.TXT" || isWorkFileName(name) ||
            fileExtension(name) == "GOP")
            continue;
        // Looked up in the open folder: no walk of the whole path per entry.
        struct stat st {};
        if (fstatat(dirfd(dir), name.c_str(), &st, 0) != 0) continue;
        ListingEntry e{name, S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size), 0};
        uint16_t dosTime = 0;
        toDosDateTime(st.st_mtime, e.dosDate, dosTime);
        if (sendString(c, listingRow(s, folderUrl, facts, e)) != 0) {
            result = Rows::kSendFailed;
            break;
        }
    }
    closedir(dir);
    return result;
}

// Sends the texts in order; false at the first that fails.
bool sendTexts(Connection& c, std::initializer_list<std::string_view> texts) {
    for (std::string_view t : texts)
        if (sendString(c, t) != 0) return false;
    return true;
}

// False when a send failed: the listing stops there.
bool sendListing(Connection& c, HttpRequest& r, const std::string& folderUrl, const std::string& folder) {
    const Settings& s = *r.settings;
    if (r.fullRequest) sendOkHeader(c, r, 0);
    if (headOnly(r)) return true;
    std::string header = joinPath(folder, "qvheader.htm");
    std::string heading = present(header)
                              ? expandFolderPage(c, r, header)
                              : concat({"<H1>Directory Contents</H1><H2>For \"", htmlEscape(folderUrl), "\"</H2>\r\n"});
    if (!sendTexts(c, {"\r\n\r\n", heading})) return false;
    std::string text = joinPath(folder, "qvheader.txt");
    if (present(text) && (sendString(c, "<pre>") != 0 || sendFile(c, text) == kFileSendFailed ||
                          sendString(c, "</pre>") != 0))
        return false;
    if (!sendTexts(c, {"<HR><PRE>",
                       "<img src=/gifs/smspace.gif>          Name          Size   Date         Description\r\n",
                       "<img src=/gifs/smspace.gif> --------------------   -----  ------------ "
                       "------------------------\r\n"}))
        return false;
    Rows rows = sendRows(c, s, folderUrl, folder);
    if (rows == Rows::kSendFailed) return false;
    if (rows == Rows::kNoFolder && sendString(c, "<H1>No files were found at this location!</H1>") != 0) return false;
    return sendString(c, "</PRE>\r\n") == 0;
}

}  // namespace

void sendStaticFile(Connection& c, HttpRequest& r, uint64_t size) {
    const Settings& s = *r.settings;
    auto type = fileContentType(s, r.filePath);
    r.responseContentType = type ? std::optional<std::string>(std::string(*type)) : std::nullopt;
    if (isHtml(r.filePath)) {
        // The page is expanded first, so the length announced is the length
        // sent: a keep-alive client reads exactly this response.
        std::string page;
        processIncludes(c, r, r.filePath, page);
        sendOkHeader(c, r, static_cast<int64_t>(page.size()));
        if (!headOnly(r) && sendString(c, page) != 0) abandonResponse(c, r);
        return;
    }
    sendOkHeader(c, r, static_cast<int64_t>(size));
    if (headOnly(r)) return;
    // A file that could not be sent whole, or not opened after its length
    // was announced, leaves the client short of that length.
    if (sendFile(c, r.filePath) != kFileSent) abandonResponse(c, r);
}

void serveFolder(Connection& c, HttpRequest& r) {
    const Settings& s = *r.settings;
    if (!r.urlPath.empty() && r.urlPath.back() != '/') {
        sendRedirect(c, s, r.urlPath + "/", headOnly(r));
        if (s.debug1) debugPrint("Redirected directory request.\r\n");
        return;
    }
    const std::string folderUrl = r.urlPath;
    const std::string folder = r.filePath;
    if (s.view_files) debugPrintf("DIR  '%s' -> '%s'\r\n", folderUrl.c_str(), folder.c_str());
    if (sendIndexPage(c, r, folder)) return;
    if (!browsingAllowed(r, folder)) {
        debugPrint("Directory browsing is not allowed in this folder.\r\n");
        sendError(c, r, 403);
        return;
    }
    if (!sendListing(c, r, folderUrl, folder)) abandonResponse(c, r);
}

}  // namespace qv
