// AdminArea.cpp: access checks and pages of the administration area.
#include "host/lib/AdminArea.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/HostIdentity.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostText.h"
#include "host/lib/PageParser.h"
#include "host/lib/PageRequest.h"
#include "host/lib/RequestRouter.h"
#include "host/lib/SiteFolders.h"

#include <cstdio>

namespace velquor::host {

namespace {

std::string escape(const std::string &text) { return PageParser::escapeHTML(text); }

const char kStyle[] = "body{font-family:sans-serif;max-width:60em;margin:1em auto;padding:0 1em;color:#222}"
                      "table.info td{padding:0.2em 1em 0.2em 0}h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.5em}"
                      ".saved{background:#eef8ee;border:1px solid #6a6;padding:0.5em 1em}"
                      "table.record{border-collapse:collapse;margin:1em 0 1.5em;width:100%}"
                      "table.record caption{text-align:left;font-weight:bold;padding:0.3em 0}"
                      "table.record th{text-align:left;vertical-align:top;padding:0.2em 1em 0.2em 0;white-space:nowrap}"
                      "table.record td{white-space:pre-wrap;overflow-wrap:anywhere;border-bottom:1px solid #ddd}"
                      ".cut{color:#777;font-style:italic}";

WebResponse adminPage(int status, const std::string &title, const std::string &content) {
    WebResponse response;
    response.status = status;
    response.contentType = "text/html";
    response.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escape(title) + " - velquor-host</title><style>" + kStyle +
                    "</style></head>\n<body>\n<h1>" + escape(title) + "</h1>\n" + content + "\n</body></html>\n";
    response.addHeader("Cache-Control", "no-store");
    response.addHeader("X-Frame-Options", "DENY");
    response.addHeader("Content-Security-Policy", "frame-ancestors 'none'");
    return response;
}

WebResponse refusal(int status, const std::string &title, const std::string &text) {
    return adminPage(status, title, "<p>" + escape(text) + "</p>");
}

std::string decodeBase64(const std::string &text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int value = -1;
        if (c >= 'A' && c <= 'Z') {
            value = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            value = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            value = c - '0' + 52;
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else if (c == '=') {
            break;
        } else {
            return "";
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Compares without stopping at the first difference, so that the time taken tells
// nothing about the password.
bool equalSecrets(const std::string &a, const std::string &b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return difference == 0 && !b.empty();
}

// Control bytes other than tab and line ends as \xNN, then HTML-escaped.
std::string shownText(const std::string &text) {
    std::string visible;
    visible.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", byte);
            visible += code;
        } else {
            visible += c;
        }
    }
    return escape(visible);
}

// A text cut by bytes without the start of a UTF-8 character that the cut split.
std::string withoutSplitCharacter(std::string text) {
    for (size_t back = 1; back <= 4 && back <= text.size(); ++back) {
        auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // a continuation byte: look further back for its lead byte
        }
        size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back) {
            text.resize(text.size() - back);
        }
        break;
    }
    return text;
}

std::string shownValue(const FieldValue &value, int64_t wholeBytes) {
    if (value.kind != FieldValue::Kind::Text) {
        return escape(value.asText());
    }
    if (wholeBytes <= static_cast<int64_t>(value.text.size())) {
        return shownText(value.text);
    }
    return shownText(withoutSplitCharacter(value.text)) + "<span class=\"cut\"> &hellip; (cut: " +
           std::to_string(wholeBytes) + " bytes in all)</span>";
}

// "1" to "999999999": the page number; nothing for any other text.
std::optional<int64_t> pageNumber(const std::string &text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        text[0] == '0') {
        return std::nullopt;
    }
    return std::stoll(text);
}

std::string kindText(uint32_t kind) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", kind);
    std::string result = text;
    if (kind == QEL_TAG_KIND_WITH_BODY) {
        result += ", with a body";
    } else if (kind == QEL_TAG_KIND_EMPTY) {
        result += ", without a body";
    }
    return result;
}

} // namespace

AdminArea::AdminArea(Host &host, const HostIdentity &identity, const RequestRouter &router,
                     DownloadFolders &downloads, std::string password)
    : host_(host), identity_(identity), router_(router), downloads_(downloads), password_(std::move(password)),
      throttle_(std::make_unique<LoginThrottle>()) {}

void AdminArea::setModule(EntryPoint entry, const Registration &registration) {
    entry_ = entry;
    registration_ = registration;
}

std::optional<std::string> AdminArea::basicPassword(const std::string &authorization) {
    const std::string scheme = "basic ";
    if (authorization.size() <= scheme.size() ||
        !HostText::equalsIgnoringCase(authorization.substr(0, scheme.size()), scheme)) {
        return std::nullopt;
    }
    size_t start = authorization.find_first_not_of(' ', scheme.size());
    std::string credentials = decodeBase64(authorization.substr(start == std::string::npos ? 0 : start));
    size_t colon = credentials.find(':');
    if (colon == std::string::npos || credentials.substr(0, colon) != "admin") {
        return std::nullopt;
    }
    return credentials.substr(colon + 1);
}

bool AdminArea::isSameOrigin(const WebRequest &request, const HostIdentity &identity) {
    std::string host = request.header("Host");
    if (!identity.namesThisHost(host)) {
        return false;
    }
    // "https" too: a reverse proxy may speak TLS for this host.
    for (const char *scheme : {"http://", "https://"}) {
        std::string origin = scheme + HostText::lower(host);
        if (request.hasHeader("Origin")) {
            if (HostText::lower(request.header("Origin")) == origin) {
                return true;
            }
        } else if (request.hasHeader("Referer")) {
            std::string referer = HostText::lower(request.header("Referer"));
            if (referer == origin || referer.compare(0, origin.size() + 1, origin + "/") == 0) {
                return true;
            }
        }
    }
    return false;
}

std::optional<WebResponse> AdminArea::checkLogin(const WebRequest &request) {
    std::string client = identity_.clientAddress(request.remoteAddress, request.headerList("X-Forwarded-For"));
    if (password_.empty()) {
        if (HostIdentity::isLoopback(client)) {
            return std::nullopt;
        }
        return refusal(403, "Forbidden",
                       "The administration area answers only clients on this machine unless a password is set.");
    }
    WebResponse askForPassword = refusal(401, "Authorisation required", "Log in as admin with the host's password.");
    askForPassword.addHeader("WWW-Authenticate", "Basic realm=\"velquor-host administration\"");
    if (!request.hasHeader("Authorization")) {
        return askForPassword;  // no guess: a browser's first request
    }
    std::optional<std::string> given = basicPassword(request.header("Authorization"));
    LoginThrottle::Answer answer = throttle_->attempt(client, given && equalSecrets(*given, password_));
    std::string seconds = std::to_string(answer.retryAfter.count());
    switch (answer.kind) {
    case LoginThrottle::Answer::Kind::Accepted:
        return std::nullopt;
    case LoginThrottle::Answer::Kind::Failed:
        host_.writeLog(PageRequest::timeStamp() + " administrator login from " + client + " failed (" +
                       std::to_string(answer.failuresInARow) + " in a row); the next one is checked in " + seconds +
                       " s");
        return askForPassword;
    case LoginThrottle::Answer::Kind::Wait:
        break;
    }
    WebResponse wait = refusal(429, "Too many failed logins",
                               "After failed logins the next one is checked only after a wait. Try again in " +
                                   seconds + " s.");
    wait.addHeader("Retry-After", seconds);
    return wait;
}

std::optional<WebResponse> AdminArea::admit(const WebRequest &request) {
    if (!identity_.namesThisHost(request.header("Host"))) {
        return refusal(403, "Forbidden", "The administration area answers only requests addressed to this host.");
    }
    if (std::optional<WebResponse> refused = checkLogin(request)) {
        return refused;
    }
    if (request.method == "POST" && !isSameOrigin(request, identity_)) {
        return refusal(403, "Forbidden", "A change must be posted from the administration area of this host.");
    }
    return std::nullopt;
}

WebResponse AdminArea::handle(const WebRequest &request, const std::string &adminPath) {
    if (std::optional<WebResponse> refused = admit(request)) {
        return *refused;
    }
    bool post = request.method == "POST";
    bool read = request.method == "GET" || request.method == "HEAD";

    if (adminPath.empty()) {
        return read ? overview(request) : refusal(405, "Method not allowed", "The overview only shows.");
    }
    const std::string regionPrefix = "region/";
    if (adminPath.compare(0, regionPrefix.size(), regionPrefix) == 0) {
        std::string rest = URLText::decode(adminPath.substr(regionPrefix.size()), false);
        while (!rest.empty() && rest.back() == '/') {
            rest.pop_back();
        }
        std::string region = rest.empty() ? "/" : "/" + rest + "/";
        if (rest.find('/') != std::string::npos || router_.regionFolder(region).empty()) {
            return refusal(404, "Not found", "There is no such region on this site.");
        }
        if (!read && !post) {
            return refusal(405, "Method not allowed", "A preference page is shown or saved.");
        }
        return regionPage(request, region, post);
    }
    if (adminPath == "database") {
        return read ? databasePage(request) : refusal(405, "Method not allowed", "The database view only shows.");
    }
    if (adminPath == "downloads/forget") {
        return post ? forgetFolder(request) : refusal(405, "Method not allowed", "Forgetting a folder is a post.");
    }
    return refusal(404, "Not found", "There is no such page in the administration area.");
}

std::string AdminArea::regionLink(const std::string &region) const {
    return router_.adminPrefix() + "region" + URLText::encodePath(region);
}

WebResponse AdminArea::overview(const WebRequest &) {
    std::string content = "<h2>Module</h2>\n<table class=\"info\">";
    content += "<tr><td>Name</td><td>" + escape(registration_.moduleName) + "</td></tr>";
    content += "<tr><td>Version</td><td>" + escape(registration_.moduleVersion) + "</td></tr>";
    content += "<tr><td>Vendor</td><td>" + escape(registration_.moduleVendor) + "</td></tr>";
    content += "<tr><td>Version tracking</td><td>" + escape(registration_.trackingURL) + "</td></tr>";
    for (const RegisteredTag &tag : registration_.tags) {
        content += "<tr><td>Tag</td><td>&lt;" + escape(tag.name) + "&gt; (kind " + escape(kindText(tag.kind)) +
                   ")</td></tr>";
    }
    content += "<tr><td>Action</td><td>" + escape(registration_.actionName) + "</td></tr></table>\n";

    content += "<h2>Regions</h2>\n<p>Each region keeps its own module preferences: the site's root, and each "
               "top-level folder for every page below it.</p>\n<ul>";
    for (const std::string &region : router_.regions()) {
        std::string label = region == "/" ? "/ (the site's root)" : region;
        content += "<li><a href=\"" + escape(regionLink(region)) + "\">" + escape(label) + "</a></li>";
    }
    content += "</ul>\n";

    content += databaseList();

    content += "<h2>Attachment folders</h2>\n<p>Files in these folders are served as downloads, never as pages.</p>\n";
    std::set<std::string> folders = downloads_.list();
    if (folders.empty()) {
        content += "<p>None yet.</p>\n";
    } else {
        content += "<ul>";
        for (const std::string &folder : folders) {
            content += "<li><form method=\"post\" action=\"" + escape(router_.adminPrefix() + "downloads/forget") +
                       "\">" + escape(folder) + " <input type=\"hidden\" name=\"folder\" value=\"" + escape(folder) +
                       "\"><input type=\"submit\" value=\"Forget\"></form></li>";
        }
        content += "</ul>\n";
    }
    return adminPage(200, "velquor-host administration", content);
}

std::string AdminArea::databaseLink(const std::string &name, int64_t page) const {
    std::string link = router_.adminPrefix() + "database?name=" + URLText::encodePath(name);
    return page > 1 ? link + "&page=" + std::to_string(page) : link;
}

std::string AdminArea::databaseList() {
    std::string content = "<h2 id=\"databases\">Databases</h2>\n<p>The module's record databases, shown read "
                          "only, newest records first.</p>\n";
    std::vector<std::string> names = host_.databases().databaseNames();
    if (names.empty()) {
        return content + "<p>None yet.</p>\n";
    }
    content += "<ul>";
    for (const std::string &name : names) {
        RecordPage page;
        int32_t result = host_.databases().readNewest(name, 0, 0, 0, &page);
        std::string count = result != 0            ? "cannot be read"
                            : page.total == 1      ? "1 record"
                                                   : std::to_string(page.total) + " records";
        content += "<li><a href=\"" + escape(databaseLink(name, 1)) + "\">" + escape(name) + "</a> (" + count +
                   ")</li>";
    }
    return content + "</ul>\n";
}

WebResponse AdminArea::databasePage(const WebRequest &request) {
    NameValueList query;
    URLText::parseForm(request.rawQuery(), query, 16);
    std::optional<std::string> name;
    std::optional<std::string> pageText;
    for (const auto &[key, value] : query) {
        if (key == "name" && !name) {
            name = value;
        } else if (key == "page" && !pageText) {
            pageText = value;
        }
    }
    std::optional<int64_t> page = pageNumber(pageText.value_or("1"));
    if (!page) {
        return refusal(400, "Bad request", "The page number must be a whole number from 1.");
    }
    RecordPage records;
    int32_t result = name ? host_.databases().readNewest(*name, (*page - 1) * kRecordsPerPage, kRecordsPerPage,
                                                         kShownTextBytes, &records)
                          : static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
    if (result == static_cast<int32_t>(QEL_RESULT_NOT_FOUND)) {
        return refusal(404, "Not found",
                       "There is no database of that name (yet): a database appears when a page first opens it.");
    }
    if (result != 0) {
        host_.writeLog(PageRequest::timeStamp() + " the database " + *name + " could not be read for its view");
        return refusal(500, "Not readable", "The database could not be read; the log may say more.");
    }
    int64_t pages = records.total == 0 ? 1 : (records.total + kRecordsPerPage - 1) / kRecordsPerPage;
    if (*page > pages) {
        return refusal(404, "Not found",
                       "There is no such page: the database has " + std::to_string(pages) +
                           (pages == 1 ? " page." : " pages."));
    }

    std::string navigation = "<p class=\"pages\">";
    if (*page > 1) {
        navigation += "<a href=\"" + escape(databaseLink(*name, *page - 1)) + "\">&larr; Previous page (newer)</a> ";
    }
    if (*page < pages) {
        navigation += "<a href=\"" + escape(databaseLink(*name, *page + 1)) + "\">Next page (older) &rarr;</a>";
    }
    navigation += "</p>\n";

    std::string content = "<p><a href=\"" + escape(router_.adminPrefix()) + "#databases\">All databases</a></p>\n";
    if (records.total == 0) {
        content += "<p>No records yet.</p>\n";
    } else {
        int64_t first = (*page - 1) * kRecordsPerPage + 1;
        int64_t last = first + static_cast<int64_t>(records.records.size()) - 1;
        content += "<p>" + std::to_string(records.total) + (records.total == 1 ? " record" : " records") +
                   ", newest first: page " + std::to_string(*page) + " of " + std::to_string(pages) + " (" +
                   std::to_string(first) + " to " + std::to_string(last) + "). Texts longer than " +
                   std::to_string(kShownTextBytes) + " bytes are cut.</p>\n" + navigation;
    }
    for (const RecordExcerpt &record : records.records) {
        content += "<table class=\"record\"><caption>Record " + std::to_string(record.id) + "</caption>";
        for (size_t index = 0; index < records.fields.size() && index < record.values.size(); ++index) {
            content += "<tr><th>" + shownText(records.fields[index].name) + "</th><td>" +
                       shownValue(record.values[index], record.textBytes[index]) + "</td></tr>";
        }
        content += "</table>\n";
    }
    if (!records.records.empty()) {
        content += navigation;
    }
    return adminPage(200, "Database " + *name, content);
}

WebResponse AdminArea::regionPage(const WebRequest &request, const std::string &region, bool save) {
    std::string folder = router_.regionFolder(region);
    std::string content = "<p><a href=\"" + escape(router_.adminPrefix()) + "\">All regions</a></p>\n";
    if (save) {
        HostRequest store(host_, QEL_REQUEST_SET_PREFERENCES);
        PageRequest::prepare(store, request, identity_, folder, region);
        int32_t result = store.run(entry_);
        store.end();
        if (result != 0) {
            host_.writeLog(PageRequest::timeStamp() + " saving the preferences of region " + region + " failed with " +
                           HostText::fourCharCode(static_cast<uint32_t>(result)));
            content += PageRequest::errorBox("Saving the preferences", result, store.errorInfo());
        } else {
            content += "<p class=\"saved\">Saved.</p>\n";
        }
    }
    HostRequest show(host_, QEL_REQUEST_GET_PREFERENCES);
    PageRequest::prepare(show, request, identity_, folder, region);
    int32_t result = show.run(entry_);
    show.end();
    content += "<form method=\"post\" action=\"" + escape(regionLink(region)) + "\">\n";
    content += show.output();
    if (result != 0) {
        content += PageRequest::errorBox("The preference page", result, show.errorInfo());
    }
    content += "\n<p><input type=\"submit\" value=\"Save\"></p>\n</form>\n";
    std::string title = "Preferences of " + (region == "/" ? std::string("the site's root") : region);
    return adminPage(200, title, content);
}

WebResponse AdminArea::forgetFolder(const WebRequest &request) {
    std::set<std::string> recorded = downloads_.list();
    for (const auto &[name, value] : request.bodyFields) {
        if (name != "folder") {
            continue;
        }
        if (recorded.count(SiteFolders::withTrailingSlash(value)) == 0) {
            return refusal(404, "Not found", "There is no such attachment folder.");
        }
        if (!downloads_.remove(value)) {
            host_.writeLog(PageRequest::timeStamp() + " the attachment folder " + value +
                           " could not be forgotten: the data file refused the change");
            return refusal(500, "Not forgotten",
                           "The data file refused the change: the folder's files are still served as downloads.");
        }
    }
    WebResponse response = refusal(303, "Forgotten", "The folder's files are ordinary site files again.");
    response.addHeader("Location", router_.adminPrefix());
    return response;
}

} // namespace velquor::host
