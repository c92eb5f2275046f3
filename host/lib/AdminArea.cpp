// AdminArea.cpp: access checks and pages of the administration area.
#include "host/lib/AdminArea.h"

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
                      ".saved{background:#eef8ee;border:1px solid #6a6;padding:0.5em 1em}";

WebResponse adminPage(int status, const std::string &title, const std::string &content) {
    WebResponse response;
    response.status = status;
    response.contentType = "text/html";
    response.body = "<!DOCTYPE html>\n<html><head><title>" + escape(title) + " - velquor-host</title><style>" + kStyle +
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
