// HttpServer.h: the HTTP side of velquor-host, on libmicrohttpd: listens on an address,
// reads each request within fixed limits, and runs a handler for it on its connection's
// own thread.
#ifndef VELQUOR_HOST_HTTP_SERVER_H
#define VELQUOR_HOST_HTTP_SERVER_H

#include "host/lib/WebExchange.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velquor::host {

// Every connection has a thread of its own, which reads its requests, runs the handler
// (which may block: a page may wait for another request of this same server, which gets
// a thread of its own) and sends the responses, files streamed from disk. The thread ends
// with its connection, so the limits on connections bound the threads too. Limits:
// - the header block (request line and header lines) has a size and a line count (431
//   beyond) and must arrive whole within a deadline from the moment the connection waits
//   for it (its start, or the end of the previous response); the connection is cut when
//   it does not;
// - a body over the size limit answers 413: at once when Content-Length announces it,
//   otherwise once it has been read to its end (thrown away, never stored; one that goes
//   on far past the limit is cut off); a form body with too many fields answers 413 too;
// - bodies held in memory at once, over all connections, have a budget: a body that would
//   go past it is thrown away as it arrives and answered 503;
// - a body that is malformed (broken chunk framing, a multipart body without its closing
//   delimiter) answers 400; a body cut off by its client answers nothing. In all these
//   cases the handler never runs;
// - connections per client address and in all are limited (further ones are closed at
//   once); a connection idle for longer than a time limit is closed. The limit in all is
//   lowered to three quarters of the process's descriptor limit, so that connections can
//   never take the descriptors that files, databases and outgoing connections need;
// - past a share of that limit, each new connection ends an idle one (waiting for a header
//   block, nothing of it unread): one that never sent a request before one kept alive, the
//   longest waiting first; so idle clients cannot shut out others.
class HttpServer {
public:
    using Handler = std::function<WebResponse(const WebRequest &)>;
    // Looks at a request whose header block is in and whose body has not been read:
    // nothing when its body is wanted, else the response to send without reading the
    // body (the connection is closed after it).
    using Screen = std::function<std::optional<WebResponse>(const WebRequest &)>;
    using LogSink = std::function<void(const std::string &line)>;

    struct Settings {
        size_t maximumHeaderBlock = 32u << 10;            // bytes of request line and header lines
        size_t maximumHeaderLines = 100;                  // header lines
        std::chrono::milliseconds headerDeadline{10000};  // for a whole header block
        size_t maximumBody = 32u << 20;                   // bytes of a request body
        size_t maximumBodiesInMemory = 256u << 20;        // bytes of bodies held at once, in all
        uint64_t maximumDiscarded = uint64_t(1) << 30;    // bytes thrown away past maximumBody
        size_t maximumFields = 1000;                      // form fields of a body
        size_t connectionsPerAddress = 64;                // open connections of one client address
        size_t maximumConnections = 512;                  // open connections (and their threads) in all
        size_t reclaimAbove = 384;                        // past this many, a new one ends the longest idle
        std::chrono::seconds idleTimeout{30};             // a connection that stalls this long is closed
        size_t keepAliveRequests = 100;                   // requests per connection
        LogSink log;                                      // failures of the handler (standard error when none)
    };

    // `screen` may be empty: every body is then read.
    HttpServer(Handler handler, Screen screen, Settings settings);
    // Stops the server if it runs.
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds the listening socket ("127.0.0.1", "::1", "0.0.0.0", "::"; port 0 picks a free
    // one) with SO_REUSEADDR (never SO_REUSEPORT, so a second server cannot share the
    // port unnoticed). False with a one-line reason ("Address already in use") in *error.
    bool bind(const std::string &address, int port, std::string *error);
    // The port bound.
    int port() const { return port_; }
    // Serves the bound socket on threads of its own from now on. False with a reason in
    // *error when the server cannot start.
    bool start(std::string *error = nullptr);
    // Stops accepting, lets the requests in progress finish (for up to 5 s), then ends the
    // connections and joins their threads, which waits for the handlers that still run.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

} // namespace velquor::host

#endif
