// HostIdentity.h: who this host is on the network: its listen address and port, its own
// names and addresses and the names it serves; from these the virtual host of a request
// and whether a client is on this machine.
#ifndef VELQUOR_HOST_HOST_IDENTITY_H
#define VELQUOR_HOST_HOST_IDENTITY_H

#include <optional>
#include <string>
#include <vector>

namespace velquor::host {

class HostIdentity {
public:
    HostIdentity() = default;
    // listenAddress as given to the server ("127.0.0.1", "0.0.0.0", "::1", ...) and the
    // port it actually listens on; serverNames are names that reach this host from
    // outside (a reverse proxy's name), accepted with any port; machineNames and
    // machineAddresses are the machine's own, accepted with the listen port only.
    HostIdentity(std::string listenAddress, int port, std::vector<std::string> serverNames,
                 std::vector<std::string> machineNames, std::vector<std::string> machineAddresses);

    // The same, with the machine's names (gethostname) and interface addresses
    // (getifaddrs) filled in.
    static HostIdentity forThisMachine(const std::string &listenAddress, int port,
                                       const std::vector<std::string> &serverNames);

    int port() const { return port_; }
    const std::string &listenAddress() const { return listenAddress_; }
    // "address:port" of the listening socket, with a loopback address in place of a
    // wildcard one and brackets around an IPv6 address.
    std::string listenAuthority() const;

    // The virtual host of a request: its Host header as sent when the header reaches this
    // host's own listening socket, otherwise listenAuthority(). The module's own requests
    // (relative includes, status posts) go to it, so it never names another port, nor a
    // server name (a reverse proxy's, for links only) that may lead elsewhere.
    std::string virtualHost(const std::string &hostHeader) const;
    // Whether a Host header reaches the listening socket: the listen port (80 when none is
    // given) with the listen address itself; with a wildcard listen address, also
    // "localhost", a machine name, a loopback address or one of the machine's addresses
    // (IPv4 ones only for "0.0.0.0"); with an IPv4 loopback listen address, also "localhost".
    bool reachesListener(const std::string &hostHeader) const;
    // Whether a Host header names this host: every header that reaches the listener, its
    // listen address, "localhost", a machine name or address (with the listen port, 80 when
    // none is given), or a server name (any port).
    bool namesThisHost(const std::string &hostHeader) const;
    // Whether a client address is a loopback address or one of the machine's own.
    bool isLocalClient(const std::string &address) const;
    // The address of the client behind a request: the peer's address, except that a
    // reverse proxy on this machine (a local peer that sent X-Forwarded-For) speaks for the
    // last address of that header, the one it added itself; "" when that is no address.
    std::string clientAddress(const std::string &peer, const std::string &forwardedFor) const;
    static bool isLoopback(const std::string &address);

    // Splits "name", "name:port", "[v6]" or "[v6]:port" (port 0 when absent); nothing
    // for a malformed header.
    static std::optional<std::pair<std::string, int>> splitHostHeader(const std::string &hostHeader);
    // The canonical text of an IP address (IPv4-mapped IPv6 becomes IPv4); the lower-cased
    // text itself when it is not an address.
    static std::string normalise(const std::string &address);

private:
    bool isOwnAddress(const std::string &normalised) const;

    std::string listenAddress_;
    int port_ = 0;
    std::vector<std::string> serverNames_;       // lower-cased
    std::vector<std::string> machineNames_;      // lower-cased
    std::vector<std::string> machineAddresses_;  // normalised
};

} // namespace velquor::host

#endif
