// HttpServer.h: the HTTP side of velquor-host, on cpp-httplib: listens on an address,
// reads each request (form bodies included) on a worker thread, and hands it to a
// handler that answers on that same thread.
#ifndef VELQUOR_HOST_HTTP_SERVER_H
#define VELQUOR_HOST_HTTP_SERVER_H

#include "host/lib/WebExchange.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velquor::host {

class HttpServer {
public:
    using Handler = std::function<WebResponse(const WebRequest &)>;

    struct Settings {
        size_t threads = 16;                 // workers kept ready
        size_t maximumThreads = 512;         // workers at most, started as the load needs
        size_t maximumBody = 32u << 20;      // larger request bodies answer 413
        size_t keepAliveRequests = 100;      // per connection
    };

    HttpServer(Handler handler, Settings settings);
    // Stops the server if it runs.
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds the listening socket ("127.0.0.1", "::1", "0.0.0.0"; port 0 picks a free
    // one). False with a one-line reason ("Address already in use") in *error.
    bool bind(const std::string &address, int port, std::string *error);
    // The port bound.
    int port() const { return port_; }
    // Accepts connections on a thread of its own from now on.
    void start();
    // Stops accepting, ends the connections and waits for the worker threads.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread listener_;
};

} // namespace velquor::host

#endif
