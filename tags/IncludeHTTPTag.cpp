// IncludeHTTPTag.cpp: the qelIncludeHTTP tag handler.
#include "tags/IncludeHTTPTag.h"

#include <cstring>

#include "foundation/HTMLEscape.h"
#include "foundation/StringSplitter.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "foundation/OperatingSystem.h"
#include "net/HTTPClient.h"
#include "net/TCPConnection.h"
#include "net/URLPath.h"

namespace {

constexpr int32_t kInvalidParameter = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
constexpr int32_t kMissingParameter = static_cast<int32_t>(QEL_RESULT_MISSING_PARAMETER);

// A scheme ("https://", "ftp://"): letters, digits, "+", "-" and "."
// starting with a letter, then "://".
bool HasOtherScheme(const QELString &url) {
    uint32_t i = 0;
    auto isAlpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (url.isEmpty() || !isAlpha(url[0]))
        return false;
    while (i < url.length() && (isAlpha(url[i]) || (url[i] >= '0' && url[i] <= '9') || url[i] == '+' ||
                                url[i] == '-' || url[i] == '.'))
        ++i;
    return i + 3 <= url.length() && std::memcmp(url.text() + i, "://", 3) == 0;
}

int32_t Refuse(const QELHostServices &host, const QELString &message, const QELString &explanation) {
    host.SetErrorInfo(message, explanation);
    return kInvalidParameter;
}

// Whether an address reaches this machine: loopback, unspecified, or its own address.
bool IsThisMachine(const QELIPAddress &address) {
    if (address.isLoopback() || address.isUnspecified())
        return true;
    QELIPAddress local;
    return GetLocalAddress(local) && local.equals(address);
}

// Two host texts ("name", "name:port", "[IPv6]:port") name one server: the same port, and
// the same name ignoring case, or names whose addresses are equal or both this machine's.
bool SameServer(const QELString &one, const QELString &other) {
    QELString oneName, otherName;
    uint16_t onePort = 0, otherPort = 0;
    if (!SplitHostAndPort(one, QELHTTPClient::kPort, &oneName, &onePort) ||
        !SplitHostAndPort(other, QELHTTPClient::kPort, &otherName, &otherPort) || onePort != otherPort)
        return false;
    oneName.trimTrailing(".");
    otherName.trimTrailing(".");
    if (oneName.equalsIgnoringCase(otherName))
        return true;
    QELIPAddress oneAddress, otherAddress;
    uint16_t port = 0;
    if (!ResolveHostName(one, QELHTTPClient::kPort, oneAddress, port) ||
        !ResolveHostName(other, QELHTTPClient::kPort, otherAddress, port))
        return false;
    return oneAddress.equals(otherAddress) || (IsThisMachine(oneAddress) && IsThisMachine(otherAddress));
}

// Refuses every redirection that leads back to the page being served.
class PageRedirectCheck : public QELHTTPRedirectCheck {
public:
    explicit PageRedirectCheck(const QELString &page) : page_(page) {}
    bool MayFollow(const QELString &url, QELString *reason) override {
        if (!QELIncludeHTTPTag::NamesPage(url, page_))
            return true;
        *reason = "it leads back to the current page";
        return false;
    }

private:
    QELString page_;
};

}  // namespace

QELString QELIncludeHTTPTag::MakeAbsolute(const QELString &url, const QELString &virtualHost,
                                          const QELString &scriptName) {
    QELString absolute("http://");
    if (url.startsWith("http://", QELString::kIgnoreCase) || url.startsWith("https://", QELString::kIgnoreCase))
        return url;
    if (url.startsWith("/")) {
        absolute.append(virtualHost);
        absolute.append(url);
        return absolute;
    }
    const QELString slash("/");
    QELStringSplitter urlParts(url, slash);
    QELStringSplitter scriptParts(scriptName, slash);
    uint32_t keep = scriptParts.fieldCount() == 0 ? 0 : scriptParts.fieldCount() - 1;
    uint32_t first = 0;
    while (first < urlParts.fieldCount() && urlParts.field(first).equals("..")) {
        if (keep > 0)
            --keep;
        ++first;
    }
    absolute.append(virtualHost);
    for (uint32_t i = 1; i < keep; ++i) {
        absolute.append('/');
        absolute.append(scriptParts.field(i));
    }
    for (uint32_t i = first; i < urlParts.fieldCount(); ++i) {
        absolute.append('/');
        absolute.append(urlParts.field(i));
    }
    return absolute;
}

bool QELIncludeHTTPTag::NamesPage(const QELString &url, const QELString &page) {
    QELString urlHost, urlPath, pageHost, pagePath, error;
    bool urlSecure = false, pageSecure = false;
    if (!QELHTTPClient::ParseURL(url, &urlHost, &urlPath, &error, &urlSecure) ||
        !QELHTTPClient::ParseURL(page, &pageHost, &pagePath, &error, &pageSecure))
        return false;
    // Another scheme is another server, even on the same port: it could not answer both.
    if (urlSecure != pageSecure)
        return false;
    uint32_t query;
    if (urlPath.find("?", &query))
        urlPath.erase(query, QELString::kAll);
    if (pagePath.find("?", &query))
        pagePath.erase(query, QELString::kAll);
    // The paths first: they differ for almost every include, and need no lookup.
    return NormalisedPath(urlPath).equalsIgnoringCase(NormalisedPath(pagePath)) && SameServer(urlHost, pageHost);
}

uint32_t QELIncludeHTTPTag::GetOSCode() {
    const char *name = QELOperatingSystemName();
    if (std::strcmp(name, "Linux") == 0)
        return QEL_FOUR_CHAR_CODE('L', 'i', 'n', 'x');
    if (std::strcmp(name, "Darwin") == 0)
        return QEL_FOUR_CHAR_CODE('M', 'a', 'c', 'X');
    return 0;
}

const char *QELIncludeHTTPTag::OSDisplayName(uint32_t code) {
    switch (code) {
    case QEL_FOUR_CHAR_CODE('W', 'n', '9', '5'): return "Windows 95";
    case QEL_FOUR_CHAR_CODE('W', 'n', '9', '8'): return "Windows 98";
    case QEL_FOUR_CHAR_CODE('W', 'n', 'M', 'e'): return "Windows Me";
    case QEL_FOUR_CHAR_CODE('W', 'n', 'N', 'T'):
    case QEL_FOUR_CHAR_CODE('W', '2', 'K', 'P'):
    case QEL_FOUR_CHAR_CODE('W', '2', 'K', 'S'): return "Windows NT";
    case QEL_FOUR_CHAR_CODE('M', 'a', 'c', ' '): return "MacOS";
    case QEL_FOUR_CHAR_CODE('M', 'a', 'X', 'S'):
    case QEL_FOUR_CHAR_CODE('M', 'a', 'c', 'X'): return "MacOSX";
    case QEL_FOUR_CHAR_CODE('L', 'i', 'n', 'x'): return "Linux";
    default: return "Unknown";
    }
}

QELString QELIncludeHTTPTag::UserAgent() {
    QELString agent(ModuleNames().qelIncludeHTTP.name.text());
    agent.append('/');
    agent.append(ModuleNames().moduleVersion);
    agent.append(" (QEL 2.1; ");
    agent.append(OSDisplayName(GetOSCode()));
    agent.append(')');
    return agent;
}

int32_t QELIncludeHTTPTag::Run(const QELHostServices &host, QELString &output) {
    const QELModuleNames &names = ModuleNames();
    QELString url;
    if (!host.ReportMissingParameter(names.url.text(), 0, url))
        return kMissingParameter;
    if (HasOtherScheme(url) && !url.startsWith("http://", QELString::kIgnoreCase) &&
        !url.startsWith("https://", QELString::kIgnoreCase))
        return Refuse(host, "The specified URL uses a scheme other than http.",
                      "Change the URL parameter to an http:// address.");

    QELString virtualHost = host.GetVirtualHost();
    QELString scriptName = host.GetCGIVariable("SCRIPT_NAME");
    url = MakeAbsolute(url, virtualHost, scriptName);

    QELString page("http://");
    page.append(virtualHost);
    page.append(scriptName);
    if (NamesPage(url, page))
        return Refuse(host, "The specified URL cannot refer to the current page.",
                      "Change the URL parameter to refer to a different page.");

    QELHashedName method;
    host.GetTagParameter(names.method.text(), 0, method, names.keywordGET);
    QELString userName;
    QELString password;
    host.GetTagParameter(names.username.text(), 0, userName);
    host.GetTagParameter(names.password.text(), 0, password);

    QELHTTPClient client;
    if (!client.SetURL(url)) {
        QELString message("The specified URL cannot be used: ");
        message.append(HTMLEscape(client.LastError()));
        return Refuse(host, message, "Change the URL parameter to a valid http:// address.");
    }
    PageRedirectCheck redirectCheck(page);
    client.SetRedirectCheck(&redirectCheck);
    client.SetReferer(page);
    client.SetUserAgent(UserAgent());
    client.SetCredentials(QELHTTPClient::kBasic, userName, password);
    if (method == names.keywordPOST) {
        client.SetMethod(QELHTTPClient::kPost);
        for (uint32_t k = 0;; ++k) {
            QELString name;
            QELString value;
            if (!host.GetTagParameter(names.postArgumentName.text(), k, name) ||
                !host.GetTagParameter(names.postArgumentValue.text(), k, value))
                break;
            client.AddPostArgument(name, value);
        }
    } else {
        client.SetMethod(QELHTTPClient::kGet);
    }

    if (!client.SendRequest(true)) {
        // Not an error of the page: the tag leaves nothing, and the log says why.
        QELString entry("qelIncludeHTTP: ");
        entry.append(url);
        entry.append(": ");
        entry.append(client.LastError());
        host.WriteLogEntry(entry);
    }

    QELHashedName data;
    host.GetTagParameter(names.data.text(), 0, data, names.keywordContent);
    // The chosen part shares the client's storage; only joining both copies the content,
    // into storage sized for the whole output at once.
    if (data == names.keywordHeaders) {
        output = client.ResponseHeaders();
    } else if (data == names.keywordHeadersAndContent) {
        const QELString headers = client.ResponseHeaders();
        const QELString content = client.ResponseContent();
        output.clear();
        output.reserve(headers.length() + 4 + content.length());
        output.append(headers);
        output.append("\r\n\r\n");
        output.append(content);
    } else {
        output = client.ResponseContent();
    }
    return 0;
}
