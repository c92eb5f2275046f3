// PageRequest.cpp: request values for the module, placeholder filling, error boxes.
#include "host/lib/PageRequest.h"

#include "host/lib/HostIdentity.h"
#include "host/lib/HostText.h"
#include "host/lib/WebExchange.h"

#include <ctime>

namespace velquor::host {

namespace {

const char kBoxStyle[] = "border:2px solid #b00020;background:#fff0f0;color:#400;padding:0.5em 1em;margin:0.5em 0;"
                         "font-family:sans-serif;font-size:0.9em";

} // namespace

void PageRequest::prepare(HostRequest &request, const WebRequest &web, const HostIdentity &identity,
                          const std::string &folder, const std::string &region) {
    NameValueList query;
    URLText::parseForm(web.rawQuery(), query);
    for (const auto &[name, value] : query) {
        request.addFormArgument(name, value);
    }
    for (const auto &[name, value] : web.bodyFields) {
        request.addFormArgument(name, value);
    }

    std::string hostHeader = web.header("Host");
    std::string virtualHost = identity.virtualHost(hostHeader);
    request.setVirtualHost(virtualHost);
    std::string serverName = virtualHost;
    if (std::optional<std::pair<std::string, int>> parts = HostIdentity::splitHostHeader(virtualHost)) {
        serverName = parts->first;
    }
    request.setCGIVariable("SCRIPT_NAME", web.rawPath());
    request.setCGIVariable("REQUEST_METHOD", web.method);
    request.setCGIVariable("QUERY_STRING", web.rawQuery());
    request.setCGIVariable("REMOTE_ADDR", web.remoteAddress);
    request.setCGIVariable("SERVER_NAME", serverName);
    request.setCGIVariable("SERVER_PORT", std::to_string(identity.port()));
    request.setCGIVariable("SERVER_SOFTWARE", "velquor-host");
    const std::pair<const char *, const char *> headers[] = {{"HTTP_HOST", "Host"},
                                                             {"HTTP_USER_AGENT", "User-Agent"},
                                                             {"HTTP_REFERER", "Referer"},
                                                             {"CONTENT_TYPE", "Content-Type"}};
    for (const auto &[variable, header] : headers) {
        if (web.hasHeader(header)) {
            request.setCGIVariable(variable, web.header(header));
        }
    }
    request.setPageFolder(folder);
    request.setRegion(region);
}

std::string PageRequest::fill(const PageTemplate &text, const HostRequest &request, bool escape) {
    std::string out;
    for (const PagePiece &piece : text) {
        std::optional<std::string> value;
        switch (piece.kind) {
        case PagePiece::Kind::Literal:
            out += piece.text;
            continue;
        case PagePiece::Kind::Form:
            value = request.formArgument(piece.text, 0);
            break;
        case PagePiece::Kind::Variable:
            value = request.pageVariable(piece.text);
            break;
        case PagePiece::Kind::CGI:
            value = request.cgiVariable(piece.text);
            break;
        }
        if (value) {
            out += escape ? PageParser::escapeHTML(*value) : *value;
        }
    }
    return out;
}

std::string PageRequest::errorBox(const std::string &what, int32_t code,
                                  const std::optional<HostRequest::ErrorInfo> &info) {
    std::string box = std::string("<div class=\"velquor-error\" style=\"") + kBoxStyle + "\">";
    box += "<p><strong>" + PageParser::escapeHTML(what) + " failed with error " +
           PageParser::escapeHTML(HostText::fourCharCode(static_cast<uint32_t>(code))) + ".</strong></p>";
    if (info && (!info->message.empty() || !info->explanation.empty())) {
        // The module's texts are HTML already, escaped by the module.
        box += "<p>" + info->message + "</p>";
        if (!info->explanation.empty()) {
            box += "<p>" + info->explanation + "</p>";
        }
    } else {
        box += "<p>The tag gave no explanation.</p>";
    }
    box += "</div>";
    return box;
}

std::string PageRequest::pageErrorBox(const std::string &text) {
    return std::string("<div class=\"velquor-error\" style=\"") + kBoxStyle + "\"><p><strong>" +
           PageParser::escapeHTML(text) + "</strong></p></div>";
}

std::string PageRequest::timeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

} // namespace velquor::host
