// HostOptions.cpp: command-line parsing and usage of velquor-host.
#include "host/lib/HostOptions.h"

#include <fstream>

namespace velquor::host {

namespace {

bool parseNumber(const std::string &text, long maximum, long *value) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    if (result > maximum) {
        return false;
    }
    *value = result;
    return true;
}

} // namespace

bool HostOptions::parseListen(const std::string &text, std::string *address, int *port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    long number = 0;
    if (!parseNumber(text.substr(colon + 1), 65535, &number)) {
        return false;
    }
    *address = host;
    *port = static_cast<int>(number);
    return true;
}

std::optional<HostOptions> HostOptions::parse(const std::vector<std::string> &arguments, const HostOptions &defaults,
                                              std::string *error) {
    HostOptions options = defaults;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto value = [&](std::string *out) {
            if (inlineValue) {
                *out = *inlineValue;
                return true;
            }
            if (i + 1 >= arguments.size()) {
                *error = name + " needs a value";
                return false;
            }
            *out = arguments[++i];
            return true;
        };
        auto flag = [&]() {
            if (inlineValue) {
                *error = name + " takes no value";
                return false;
            }
            return true;
        };
        std::string text;
        if (name == "--help" || name == "-h") {
            if (!flag()) {
                return std::nullopt;
            }
            options.help = true;
        } else if (name == "--site") {
            if (!value(&options.site)) {
                return std::nullopt;
            }
        } else if (name == "--data") {
            if (!value(&options.data)) {
                return std::nullopt;
            }
        } else if (name == "--module") {
            if (!value(&options.module)) {
                return std::nullopt;
            }
        } else if (name == "--listen") {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (!parseListen(text, &options.listenAddress, &options.listenPort)) {
                *error = "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \"" + text + "\"";
                return std::nullopt;
            }
        } else if (name == "--server-name") {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text.empty()) {
                *error = "--server-name needs a name";
                return std::nullopt;
            }
            options.serverNames.push_back(text);
        } else if (name == "--protect") {
            if (!value(&text)) {
                return std::nullopt;
            }
            if (text.empty() || text[0] != '/' || text.find("..") != std::string::npos) {
                *error = "--protect wants a folder of the site beginning with \"/\" (for example /admin/), not \"" +
                         text + "\"";
                return std::nullopt;
            }
            options.protectedPaths.push_back(text);
        } else if (name == "--admin-password-file") {
            if (!value(&options.adminPasswordFile)) {
                return std::nullopt;
            }
        } else if (name == "--allow-remote-actions") {
            if (!flag()) {
                return std::nullopt;
            }
            options.remoteActions = true;
        } else if (name == "--threads") {
            if (!value(&text)) {
                return std::nullopt;
            }
            long count = 0;
            if (!parseNumber(text, 1024, &count) || count == 0) {
                *error = "--threads wants a count from 1 to 1024, not \"" + text + "\"";
                return std::nullopt;
            }
            options.threads = static_cast<size_t>(count);
        } else {
            *error = "unknown option " + name + " (see --help)";
            return std::nullopt;
        }
    }
    return options;
}

bool HostOptions::readPasswordFile(const std::string &file, std::string *password, std::string *error) {
    std::ifstream input(file, std::ios::binary);
    std::string line;
    if (!input || !std::getline(input, line)) {
        *error = "cannot read a password from " + file;
        return false;
    }
    while (!line.empty() && line.back() == '\r') {
        line.pop_back();  // written on a system that ends lines with CR LF
    }
    if (line.empty()) {
        *error = "the first line of " + file + " holds no password";
        return false;
    }
    *password = line;
    return true;
}

std::string HostOptions::usage(const HostOptions &defaults) {
    return "Usage: velquor-host [OPTIONS]\n"
           "Serves a site whose pages hold the tags of a Velquor module.\n"
           "\n"
           "  --site DIR                 the site folder (default " + defaults.site + ")\n"
           "  --data DIR                 the data folder: preferences, databases, log, the module's\n"
           "                             data folders; keep it outside the site (default " + defaults.data + ");\n"
           "                             made private to this user and used by one host at a time\n"
           "  --listen ADDRESS:PORT      where to listen (default " + defaults.listenAddress + ":" +
           std::to_string(defaults.listenPort) + "; port 0 picks a free one)\n"
           "  --module PATH              the module library (default " + defaults.module + ")\n"
           "  --server-name NAME         a name that reaches this host from outside (a reverse proxy's),\n"
           "                             with any port: the administration area answers requests for it\n"
           "  --protect PATH             a site folder (such as /admin/) whose pages and files follow\n"
           "                             the administration area's access rules; repeatable\n"
           "  --admin-password-file FILE the administrator password (first line of FILE; or set\n"
           "                             VELQUOR_ADMIN_PASSWORD); without one the administration area\n"
           "                             answers only clients on this machine\n"
           "  --allow-remote-actions     let any client post the module's action (by default only\n"
           "                             clients on this machine)\n"
           "  --threads N                no longer used (every connection has a thread of its own);\n"
           "                             accepted so that older command lines still work\n"
           "  --help                     this text\n"
           "\n"
           "The administration area is at /_velquor/. SIGINT or SIGTERM stops the host cleanly.\n";
}

} // namespace velquor::host
