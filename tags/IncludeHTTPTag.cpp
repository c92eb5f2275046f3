// IncludeHTTPTag.cpp: the qelIncludeHTTP tag handler.
#include "tags/IncludeHTTPTag.h"

#include <cstring>

#include "foundation/HTMLEscape.h"
#include "foundation/StringSplitter.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "net/HTTPClient.h"
#include "platform/System.h"

namespace {

constexpr int32_t kInvalidParameter = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);
constexpr int32_t kMissingParameter = static_cast<int32_t>(QEL_RESULT_MISSING_PARAMETER);

// A scheme other than http ("https://", "ftp://"): letters, digits, "+", "-" and "."
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

}  // namespace

QELString QELIncludeHTTPTag::MakeAbsolute(const QELString &url, const QELString &virtualHost,
                                          const QELString &scriptName) {
    QELString absolute("http://");
    if (url.startsWith("http://", QELString::kIgnoreCase))
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

uint32_t QELIncludeHTTPTag::GetOSCode() {
    const char *name = platform::OperatingSystemName();
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
    if (HasOtherScheme(url) && !url.startsWith("http://", QELString::kIgnoreCase))
        return Refuse(host, "The specified URL uses a scheme other than http.",
                      "Change the URL parameter to an http:// address.");

    QELString virtualHost = host.GetVirtualHost();
    QELString scriptName = host.GetCGIVariable("SCRIPT_NAME");
    url = MakeAbsolute(url, virtualHost, scriptName);

    QELString page("http://");
    page.append(virtualHost);
    page.append(scriptName);
    QELString withoutQuery(url);
    uint32_t question = 0;
    if (withoutQuery.find("?", &question))
        withoutQuery = withoutQuery.substring(0, question);
    if (withoutQuery.equalsIgnoringCase(page))
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
    if (data == names.keywordHeaders) {
        output = client.ResponseHeaders();
    } else if (data == names.keywordHeadersAndContent) {
        output = client.ResponseHeaders();
        output.append("\r\n\r\n");
        output.append(client.ResponseContent());
    } else {
        output = client.ResponseContent();
    }
    return 0;
}
