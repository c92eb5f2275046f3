// HostIdentity.cpp: Host header checks, client locality and the machine's own names.
#include "host/lib/HostIdentity.h"

#include "host/lib/HostText.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace velquor::host {

namespace {

bool isWildcard(const std::string &address) { return address.empty() || address == "0.0.0.0" || address == "::"; }

bool contains(const std::vector<std::string> &list, const std::string &item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// inet_pton on the whole text: a NUL byte would end the text it reads early, so that
// "::1" followed by a NUL and anything else would pass for an address.
bool parseAddress(int family, const std::string &text, void *address) {
    return text.find('\0') == std::string::npos && inet_pton(family, text.c_str(), address) == 1;
}

bool validHostName(const std::string &name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                  c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

HostIdentity::HostIdentity(std::string listenAddress, int port, std::vector<std::string> serverNames,
                           std::vector<std::string> machineNames, std::vector<std::string> machineAddresses)
    : listenAddress_(std::move(listenAddress)), port_(port) {
    for (const std::string &name : serverNames) {
        serverNames_.push_back(HostText::lower(name));
    }
    for (const std::string &name : machineNames) {
        machineNames_.push_back(HostText::lower(name));
    }
    for (const std::string &address : machineAddresses) {
        machineAddresses_.push_back(normalise(address));
    }
}

HostIdentity HostIdentity::forThisMachine(const std::string &listenAddress, int port,
                                          const std::vector<std::string> &serverNames) {
    std::vector<std::string> names;
    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) == 0 && hostName[0] != '\0') {
        names.emplace_back(hostName);
        // The fully qualified name, when the resolver knows one.
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        hints.ai_family = AF_UNSPEC;
        addrinfo *found = nullptr;
        if (getaddrinfo(hostName, nullptr, &hints, &found) == 0) {
            if (found != nullptr && found->ai_canonname != nullptr) {
                names.emplace_back(found->ai_canonname);
            }
            freeaddrinfo(found);
        }
    }
    std::vector<std::string> addresses;
    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) == 0) {
        for (ifaddrs *item = interfaces; item != nullptr; item = item->ifa_next) {
            if (item->ifa_addr == nullptr) {
                continue;
            }
            char text[INET6_ADDRSTRLEN] = {};
            if (item->ifa_addr->sa_family == AF_INET) {
                auto *address = reinterpret_cast<sockaddr_in *>(item->ifa_addr);
                inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
            } else if (item->ifa_addr->sa_family == AF_INET6) {
                auto *address = reinterpret_cast<sockaddr_in6 *>(item->ifa_addr);
                inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text);
            } else {
                continue;
            }
            addresses.emplace_back(text);
        }
        freeifaddrs(interfaces);
    }
    return HostIdentity(listenAddress, port, serverNames, names, addresses);
}

std::string HostIdentity::listenAuthority() const {
    std::string address = listenAddress_;
    if (address.empty() || address == "0.0.0.0") {
        address = "127.0.0.1";
    } else if (address == "::") {
        address = "::1";
    }
    if (address.find(':') != std::string::npos) {
        address = "[" + address + "]";
    }
    return address + ":" + std::to_string(port_);
}

std::optional<std::pair<std::string, int>> HostIdentity::splitHostHeader(const std::string &hostHeader) {
    std::string host;
    std::string rest;
    if (!hostHeader.empty() && hostHeader[0] == '[') {
        size_t close = hostHeader.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        host = hostHeader.substr(1, close - 1);
        rest = hostHeader.substr(close + 1);
        in6_addr ignored{};
        if (!parseAddress(AF_INET6, host, &ignored)) {
            return std::nullopt;
        }
    } else {
        size_t colon = hostHeader.find(':');
        host = hostHeader.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : hostHeader.substr(colon);
        if (!validHostName(host)) {
            return std::nullopt;
        }
    }
    int port = 0;
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) {
            return std::nullopt;
        }
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] < '0' || rest[i] > '9') {
                return std::nullopt;
            }
            port = port * 10 + (rest[i] - '0');
        }
        if (port == 0 || port > 65535) {
            return std::nullopt;
        }
    }
    return std::make_pair(host, port);
}

std::string HostIdentity::normalise(const std::string &address) {
    in_addr v4{};
    if (parseAddress(AF_INET, address, &v4)) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &v4, text, sizeof text);
        return text;
    }
    in6_addr v6{};
    if (parseAddress(AF_INET6, address, &v6)) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&v4, &v6.s6_addr[12], 4);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &v4, text, sizeof text);
            return text;
        }
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &v6, text, sizeof text);
        return text;
    }
    return HostText::lower(address);
}

bool HostIdentity::isLoopback(const std::string &address) {
    std::string normal = normalise(address);
    in_addr v4{};
    if (parseAddress(AF_INET, normal, &v4)) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return normal == "::1";
}

bool HostIdentity::isOwnAddress(const std::string &normalised) const {
    return contains(machineAddresses_, normalised) ||
           (!isWildcard(listenAddress_) && normalise(listenAddress_) == normalised);
}

bool HostIdentity::isLocalClient(const std::string &address) const {
    return isLoopback(address) || isOwnAddress(normalise(address));
}

std::string HostIdentity::clientAddress(const std::string &peer, const std::string &forwardedFor) const {
    if (forwardedFor.empty() || !isLocalClient(peer)) {
        return peer;
    }
    size_t comma = forwardedFor.rfind(',');
    std::string last = comma == std::string::npos ? forwardedFor : forwardedFor.substr(comma + 1);
    size_t start = last.find_first_not_of(" \t");
    size_t end = last.find_last_not_of(" \t");
    last = start == std::string::npos ? std::string() : last.substr(start, end - start + 1);
    in6_addr v6{};
    in_addr v4{};
    if (!parseAddress(AF_INET, last, &v4) && !parseAddress(AF_INET6, last, &v6)) {
        return "";
    }
    return last;
}

bool HostIdentity::namesThisHost(const std::string &hostHeader) const {
    std::optional<std::pair<std::string, int>> parts = splitHostHeader(hostHeader);
    if (!parts) {
        return false;
    }
    // Whatever reaches the listening socket is this host: with a wildcard listen address
    // that includes every loopback address, not only the machine's own list.
    if (reachesListener(hostHeader)) {
        return true;
    }
    std::string name = normalise(parts->first);
    int port = parts->second != 0 ? parts->second : 80;
    if (contains(serverNames_, name)) {
        return true;
    }
    if (port != port_) {
        return false;
    }
    return name == "localhost" || contains(machineNames_, name) || isOwnAddress(name);
}

bool HostIdentity::reachesListener(const std::string &hostHeader) const {
    std::optional<std::pair<std::string, int>> parts = splitHostHeader(hostHeader);
    if (!parts || (parts->second != 0 ? parts->second : 80) != port_) {
        return false;
    }
    bool ipv6 = parts->first.find(':') != std::string::npos;  // "[...]" in the header
    std::string name = normalise(parts->first);
    if (isWildcard(listenAddress_)) {
        if (ipv6 && listenAddress_ != "::") {
            return false;  // "0.0.0.0" takes IPv4 only
        }
        return name == "localhost" || contains(machineNames_, name) || isLoopback(name) || isOwnAddress(name);
    }
    bool listensOnIPv6 = listenAddress_.find(':') != std::string::npos;
    std::string listen = normalise(listenAddress_);
    if (name == "localhost") {
        return !listensOnIPv6 && isLoopback(listen);
    }
    return ipv6 == listensOnIPv6 && name == listen;
}

std::string HostIdentity::virtualHost(const std::string &hostHeader) const {
    return reachesListener(hostHeader) ? hostHeader : listenAuthority();
}

} // namespace velquor::host
