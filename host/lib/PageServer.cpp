// PageServer.cpp: request dispatch, page rendering with the module's tags, actions and
// the module's lifecycle.
#include "host/lib/PageServer.h"

#include "host/lib/AdminArea.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostText.h"
#include "host/lib/PageRequest.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace velquor::host {

namespace {

WebResponse simplePage(int status, const std::string &title, const std::string &text) {
    WebResponse response;
    response.status = status;
    response.contentType = "text/html";
    response.body = "<!DOCTYPE html>\n<html><head><title>" + PageParser::escapeHTML(title) + "</title></head><body><h1>" +
                    PageParser::escapeHTML(title) + "</h1><p>" + PageParser::escapeHTML(text) + "</p></body></html>\n";
    return response;
}

bool readFile(const std::string &path, size_t limit, std::string *content) {
    std::error_code error;
    uintmax_t size = fs::file_size(path, error);
    if (error || size > limit) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    *content = text.str();
    return !file.bad();
}

// The name of a file for a Content-Disposition header: no quotes, backslashes or control
// bytes.
std::string dispositionName(const std::string &file) {
    std::string name;
    for (char c : fs::path(file).filename().string()) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F && c != '"' && c != '\\') {
            name += c;
        }
    }
    return name.empty() ? "download" : name;
}

// Whether the module's include tag made the request: it always names itself in the
// User-Agent ("qelIncludeHTTP/2.1.10 (QEL 2.1; Linux)").
bool isIncludeRequest(const WebRequest &request) {
    const std::string agent = "qelincludehttp/";
    for (const auto &[name, value] : request.headers) {
        if (HostText::equalsIgnoringCase(name, "User-Agent") &&
            HostText::lower(value.substr(0, agent.size())) == agent) {
            return true;
        }
    }
    return false;
}

} // namespace

// Counts a request as in progress from admission to the end of its scope.
class PageServer::Admission {
public:
    Admission(PageServer &server, Work work) : server_(server), work_(work), outcome_(server.admit(work)) {}
    ~Admission() {
        if (outcome_ == Admitted::Yes) {
            server_.release(work_);
        }
    }
    Admission(const Admission &) = delete;
    Admission &operator=(const Admission &) = delete;
    explicit operator bool() const { return outcome_ == Admitted::Yes; }
    bool tooManyIncludes() const { return outcome_ == Admitted::TooManyIncludes; }

private:
    PageServer &server_;
    Work work_;
    Admitted outcome_;
};

PageServer::PageServer(Host &host, EntryPoint entry, HostIdentity identity, std::shared_ptr<DownloadFolders> downloads,
                       Settings settings)
    : host_(host), entry_(entry), identity_(std::move(identity)), downloads_(std::move(downloads)),
      settings_(std::move(settings)), router_(host.folders().siteRoot(), settings_.adminPrefix, downloads_.get()) {
    if (downloads_ == nullptr) {
        downloads_ = std::make_shared<DownloadFolders>();
        router_ = RequestRouter(host.folders().siteRoot(), settings_.adminPrefix, downloads_.get());
    }
    std::shared_ptr<DownloadFolders> folders = downloads_;
    host_.folders().setResolveObserver([folders](const std::string &folder) { return folders->add(folder); });
    admin_ = std::make_unique<AdminArea>(host_, identity_, router_, *downloads_, settings_.adminPassword);
    for (const std::string &path : settings_.protectedPaths) {
        // A folder that does not exist yet is protected by its name, as it will be made.
        std::filesystem::path named = std::filesystem::path(router_.siteRoot()) / std::filesystem::path(path).relative_path();
        std::string folder = SiteFolders::withTrailingSlash(named.lexically_normal().string());
        std::error_code error;
        std::filesystem::path real = std::filesystem::canonical(folder, error);
        protectedFolders_.push_back(error ? folder : SiteFolders::withTrailingSlash(real.string()));
    }
}

PageServer::~PageServer() { host_.folders().setResolveObserver(nullptr); }

int32_t PageServer::initialise() {
    HostRequest request(host_, QEL_REQUEST_INITIALISE);
    int32_t result = request.run(entry_);
    request.end();
    std::lock_guard<std::mutex> lock(mutex_);
    registration_ = host_.registration();
    parser_ = std::make_unique<PageParser>(registration_.tags);
    router_.setActionName(registration_.actionName);
    admin_->setModule(entry_, registration_);
    state_ = State::Serving;
    changed_.notify_all();
    return result;
}

Registration PageServer::registration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registration_;
}

PageServer::Admitted PageServer::admit(Work work) {
    std::unique_lock<std::mutex> lock(mutex_);
    switch (work) {
    case Work::Page:
        if (state_ != State::Serving) {
            return Admitted::NotNow;
        }
        ++pagesInProgress_;
        return Admitted::Yes;
    case Work::IncludedPage:
        if (state_ != State::Serving) {
            return Admitted::NotNow;
        }
        if (includesRefused_ || includedPagesInProgress_ >= settings_.maximumIncludedPages) {
            bool first = !includesRefused_;
            includesRefused_ = true;
            lock.unlock();
            if (first) {
                logEvent(std::to_string(settings_.maximumIncludedPages) +
                         " pages requested by the include tag are in progress at once (an include loop?): page "
                         "includes answer 503 until they have ended");
            }
            return Admitted::TooManyIncludes;
        }
        ++includedPagesInProgress_;
        ++pagesInProgress_;
        return Admitted::Yes;
    case Work::Action:
        if (state_ != State::Serving && state_ != State::PagesStopped) {
            return Admitted::NotNow;
        }
        ++actionsInProgress_;
        return Admitted::Yes;
    case Work::File:
        return state_ == State::Serving || state_ == State::PagesStopped ? Admitted::Yes : Admitted::NotNow;
    }
    return Admitted::NotNow;
}

void PageServer::release(Work work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (work == Work::IncludedPage && --includedPagesInProgress_ == 0) {
        includesRefused_ = false;
    }
    if (work == Work::Page || work == Work::IncludedPage) {
        --pagesInProgress_;
    } else if (work == Work::Action) {
        --actionsInProgress_;
    }
    changed_.notify_all();
}

template <typename Done>
bool PageServer::waitFor(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds limit, Done done) {
    if (limit == kNoLimit) {
        changed_.wait(lock, done);
        return true;
    }
    return changed_.wait_for(lock, limit, done);
}

bool PageServer::stopPages(std::chrono::milliseconds grace) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (state_ == State::Starting || state_ == State::Serving) {
        state_ = State::PagesStopped;
    }
    return waitFor(lock, grace, [this] { return pagesInProgress_ == 0; });
}

int32_t PageServer::terminate(std::chrono::milliseconds grace) {
    if (!stopPages(grace)) {
        logEvent(std::to_string(inProgress()) + " requests still in progress after " +
                 std::to_string(grace.count() / 1000) + " s; the module is terminated without waiting for them");
    }
    HostRequest request(host_, QEL_REQUEST_TERMINATE);
    int32_t result = request.run(entry_);
    request.end();
    std::unique_lock<std::mutex> lock(mutex_);
    state_ = State::Terminated;
    waitFor(lock, grace, [this] { return actionsInProgress_ == 0; });
    return result;
}

size_t PageServer::inProgress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pagesInProgress_ + actionsInProgress_;
}

void PageServer::logEvent(const std::string &text) {
    host_.writeLog(PageRequest::timeStamp() + " " + HostText::oneLine(text));
}

WebResponse PageServer::handle(const WebRequest &request) {
    WebResponse response;
    try {
        response = dispatch(request);
    } catch (const std::exception &error) {
        logEvent("error serving " + request.target + ": " + error.what());
        response = simplePage(500, "Internal server error", "The host could not serve this request.");
    }
    response.addHeader("X-Content-Type-Options", "nosniff");
    return response;
}

WebResponse PageServer::dispatch(const WebRequest &request) {
    {
        // Nothing is routed before 'MIni' has registered the module's tags and action.
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::Starting) {
            return simplePage(503, "Unavailable", "The host is starting.");
        }
    }
    Route route = router_.route(request.method, request.target);
    switch (route.kind) {
    case Route::Kind::BadRequest:
        return simplePage(400, "Bad request", "The address of this request cannot be served.");
    case Route::Kind::NotFound:
        return simplePage(404, "Not found", "There is no such page on this site.");
    case Route::Kind::MethodNotAllowed: {
        WebResponse response = simplePage(405, "Method not allowed", "This address does not take that method.");
        response.addHeader("Allow", route.allow);
        return response;
    }
    case Route::Kind::RedirectToFolder: {
        WebResponse response = simplePage(301, "Moved", "This folder's address ends with \"/\".");
        response.addHeader("Location", route.location);
        return response;
    }
    case Route::Kind::StaticFile:
    case Route::Kind::Download: {
        if (std::optional<WebResponse> refused = protectedRefusal(request, route)) {
            return *refused;
        }
        Admission admission(*this, Work::File);
        if (!admission) {
            return simplePage(503, "Unavailable", "The host is not serving now.");
        }
        WebResponse response;
        response.file = route.file;
        if (route.kind == Route::Kind::Download) {
            // A stored attachment is never shown as a page of this site.
            response.contentType = "application/octet-stream";
            response.addHeader("Content-Disposition", "attachment; filename=\"" + dispositionName(route.file) + "\"");
        } else {
            response.contentType = contentTypeOf(route.file);
        }
        return response;
    }
    case Route::Kind::Page: {
        if (std::optional<WebResponse> refused = protectedRefusal(request, route)) {
            return *refused;
        }
        Admission admission(*this, isIncludeRequest(request) ? Work::IncludedPage : Work::Page);
        if (admission.tooManyIncludes()) {
            return simplePage(503, "Unavailable", "Too many pages of this host are being included at once.");
        }
        if (!admission) {
            return simplePage(503, "Unavailable", "The host is not serving pages now.");
        }
        if (request.method == "HEAD") {
            // Tags do work (they send mail, fetch mail); a HEAD request, which shows
            // nothing, never runs them.
            WebResponse response;
            response.addHeader("Cache-Control", "no-store");
            return response;
        }
        return servePage(request, route);
    }
    case Route::Kind::Admin: {
        if (std::optional<DoorRefusal> refusal = refusalAtTheDoor(request, route)) {
            logEvent(refusal->logLine);
            return simplePage(403, "Forbidden", refusal->text);
        }
        Admission admission(*this, Work::Page);
        if (!admission) {
            return simplePage(503, "Unavailable", "The host is not serving pages now.");
        }
        return admin_->handle(request, route.adminPath);
    }
    case Route::Kind::Action: {
        if (std::optional<DoorRefusal> refusal = refusalAtTheDoor(request, route)) {
            logEvent(refusal->logLine);
            return simplePage(403, "Forbidden", refusal->text);
        }
        Admission admission(*this, Work::Action);
        if (!admission) {
            return simplePage(503, "Unavailable", "The module has been terminated.");
        }
        return runAction(request, route);
    }
    }
    return simplePage(500, "Internal server error", "The request was not routed.");
}

std::optional<PageServer::DoorRefusal> PageServer::refusalAtTheDoor(const WebRequest &request,
                                                                    const Route &route) const {
    bool admin = route.kind == Route::Kind::Admin;
    if (!admin && route.kind != Route::Kind::Action) {
        return std::nullopt;
    }
    // The include tag's requests come from this machine, name this host and carry a
    // Referer of this host: a page whose include is redirected here must not borrow that.
    if (isIncludeRequest(request)) {
        return DoorRefusal{std::string("include request for ") + (admin ? "the administration area " : "the action ") +
                               request.rawPath() + " refused",
                           admin ? "The include tag cannot reach the administration area."
                                 : "The include tag cannot post the module's action."};
    }
    if (admin) {
        return std::nullopt;
    }
    std::string client = identity_.clientAddress(request.remoteAddress, request.headerList("X-Forwarded-For"));
    if (!settings_.remoteActions && !identity_.isLocalClient(client)) {
        return DoorRefusal{"action post from " + (client.empty() ? request.remoteAddress : client) + " to " +
                               request.rawPath() + " refused",
                           "Only clients on this machine may post the module's action."};
    }
    return std::nullopt;
}

bool PageServer::isProtected(const Route &route) const {
    bool served = route.kind == Route::Kind::Page || route.kind == Route::Kind::StaticFile ||
                  route.kind == Route::Kind::Download;
    if (!served) {
        return false;
    }
    for (const std::string &folder : protectedFolders_) {
        if (SiteFolders::isWithin(folder, route.file)) {
            return true;
        }
    }
    return false;
}

std::optional<WebResponse> PageServer::protectedRefusal(const WebRequest &request, const Route &route) {
    if (!isProtected(route)) {
        return std::nullopt;
    }
    if (isIncludeRequest(request)) {
        logEvent("include request for the protected " + request.rawPath() + " refused");
        return simplePage(403, "Forbidden", "The include tag cannot reach a protected page.");
    }
    return admin_->admit(request);
}

std::optional<WebResponse> PageServer::screen(const WebRequest &request) {
    Route route = router_.route(request.method, request.target);
    bool takesBody = route.kind == Route::Kind::Page || route.kind == Route::Kind::Admin ||
                     route.kind == Route::Kind::Action;
    if (takesBody && !refusalAtTheDoor(request, route) && !protectedRefusal(request, route)) {
        return std::nullopt;
    }
    return handle(request);
}

WebResponse PageServer::servePage(const WebRequest &web, const Route &route) {
    std::string text;
    if (!readFile(route.file, settings_.maximumPageSize, &text)) {
        logEvent("cannot read the page " + route.file);
        return simplePage(500, "Internal server error", "The page cannot be read.");
    }
    ParsedPage page = parser_->parse(text);
    HostRequest request(host_, QEL_REQUEST_TAG);
    PageRequest::prepare(request, web, identity_, route.folder, route.region);

    std::string out;
    out.reserve(text.size());
    for (const PageSegment &segment : page.segments) {
        switch (segment.kind) {
        case PageSegment::Kind::Text:
            out += PageRequest::fill(segment.text, request, true);
            break;
        case PageSegment::Kind::Error:
            logEvent("page " + web.rawPath() + ": " + segment.error);
            out += PageRequest::pageErrorBox(segment.error);
            break;
        case PageSegment::Kind::Tag: {
            const PageTag &tag = segment.tag;
            request.setRequestCode(QEL_REQUEST_TAG);
            request.setTagName(tag.name);
            request.clearTagParameters();
            for (const PageAttribute &attribute : tag.attributes) {
                request.addTagParameter(attribute.name, PageRequest::fill(attribute.value, request, false));
            }
            if (tag.body) {
                request.setTagBody(PageRequest::fill(*tag.body, request, false));
            } else {
                request.clearTagBody();
            }
            request.clearOutput();
            request.clearErrorInfo();
            request.clearCalls();
            int32_t result = request.run(entry_);
            request.end();
            out += request.output();
            if (result != 0) {
                std::string code = HostText::fourCharCode(static_cast<uint32_t>(result));
                std::string message = request.errorInfo() ? request.errorInfo()->message : "no explanation given";
                logEvent("page " + web.rawPath() + ": <" + tag.name + "> on line " + std::to_string(tag.line) +
                         " failed with " + code + ": " + message);
                out += PageRequest::errorBox("The <" + tag.name + "> tag", result, request.errorInfo());
            }
            break;
        }
        }
    }
    WebResponse response;
    response.contentType = "text/html";
    response.body = std::move(out);
    response.addHeader("Cache-Control", "no-store");
    return response;
}

WebResponse PageServer::runAction(const WebRequest &web, const Route &route) {
    HostRequest request(host_, QEL_REQUEST_ACTION);
    PageRequest::prepare(request, web, identity_, route.folder, route.region);
    request.setActionName(route.actionName);
    int32_t result = request.run(entry_);
    request.end();
    WebResponse response;
    response.contentType = "text/plain";
    response.body = request.output();
    if (result != 0) {
        std::string code = HostText::fourCharCode(static_cast<uint32_t>(result));
        std::string message = request.errorInfo() ? request.errorInfo()->message : "no explanation given";
        logEvent("action " + web.rawPath() + " failed with " + code + ": " + message);
        response.status = 500;
        response.body += (response.body.empty() ? "" : "\n") + std::string("The action failed with error ") + code + ".\n";
    }
    return response;
}

std::string PageServer::contentTypeOf(const std::string &file) {
    static const std::map<std::string, std::string> types = {
        {"html", "text/html"},         {"htm", "text/html"},        {"css", "text/css"},
        {"js", "text/javascript"},     {"mjs", "text/javascript"},  {"json", "application/json"},
        {"txt", "text/plain"},         {"csv", "text/csv"},         {"xml", "application/xml"},
        {"png", "image/png"},          {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},          {"svg", "image/svg+xml"},    {"ico", "image/x-icon"},
        {"webp", "image/webp"},        {"pdf", "application/pdf"},  {"zip", "application/zip"},
        {"woff", "font/woff"},         {"woff2", "font/woff2"},     {"mp3", "audio/mpeg"},
        {"mp4", "video/mp4"},          {"wasm", "application/wasm"}};
    std::string extension = fs::path(file).extension().string();
    if (!extension.empty()) {
        auto found = types.find(HostText::lower(extension.substr(1)));
        if (found != types.end()) {
            return found->second;
        }
    }
    return "application/octet-stream";
}

} // namespace velquor::host
