// HttpServer.cpp: the adapter between cpp-httplib and the page server. This is the only
// file of the host that includes httplib.h.
#include "host/lib/HttpServer.h"

#include "host/lib/ElasticThreadPool.h"
#include "host/lib/HostText.h"

#include <httplib.h>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

namespace velquor::host {

namespace {

// Why binding failed: the same bind again on a socket of our own, for its errno.
std::string bindFailure(const std::string &address, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    int lookup = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        return std::string("unknown address: ") + gai_strerror(lookup);
    }
    std::string reason = "cannot bind";
    for (addrinfo *item = found; item != nullptr; item = item->ai_next) {
        int socket = ::socket(item->ai_family, item->ai_socktype, item->ai_protocol);
        if (socket < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(socket, item->ai_addr, item->ai_addrlen) != 0) {
            reason = std::strerror(errno);
        }
        ::close(socket);
    }
    freeaddrinfo(found);
    return reason;
}

WebRequest toWebRequest(const httplib::Request &request) {
    WebRequest web;
    web.method = request.method;
    web.target = request.target;
    web.remoteAddress = request.remote_addr;
    for (const auto &[name, value] : request.headers) {
        web.headers.emplace_back(name, value);
    }
    return web;
}

bool startsWithIgnoringCase(const std::string &text, const std::string &prefix) {
    return text.size() >= prefix.size() && HostText::equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

void toResponse(const WebResponse &web, httplib::Response &response) {
    response.status = web.status;
    for (const auto &[name, value] : web.headers) {
        response.set_header(name, value);
    }
    if (web.file.empty()) {
        response.set_content(web.body, web.contentType.c_str());
        return;
    }
    auto file = std::make_shared<std::ifstream>(web.file, std::ios::binary);
    if (!*file) {
        response.status = 404;
        response.set_content("Not found\n", "text/plain");
        return;
    }
    file->seekg(0, std::ios::end);
    auto size = static_cast<size_t>(file->tellg());
    file->seekg(0);
    response.set_content_provider(size, web.contentType.c_str(),
                                  [file](size_t offset, size_t length, httplib::DataSink &sink) {
                                      char buffer[64 * 1024];
                                      file->seekg(static_cast<std::streamoff>(offset));
                                      size_t wanted = std::min(length, sizeof buffer);
                                      file->read(buffer, static_cast<std::streamsize>(wanted));
                                      std::streamsize got = file->gcount();
                                      if (got <= 0) {
                                          return false;  // the file shrank: end the connection
                                      }
                                      return sink.write(buffer, static_cast<size_t>(got));
                                  });
}

} // namespace

// cpp-httplib's task queue on the host's elastic pool.
class ElasticTaskQueue : public httplib::TaskQueue {
public:
    ElasticTaskQueue(size_t ready, size_t ceiling) : pool_(ready, ceiling) {}
    void enqueue(std::function<void()> job) override { pool_.enqueue(std::move(job)); }
    void shutdown() override { pool_.shutdown(); }

private:
    ElasticThreadPool pool_;
};

struct HttpServer::Impl {
    httplib::Server server;
    Handler handler;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
};

HttpServer::HttpServer(Handler handler, Settings settings) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    httplib::Server &server = impl_->server;
    size_t threads = settings.threads == 0 ? 1 : settings.threads;
    size_t ceiling = std::max(threads, settings.maximumThreads);
    server.new_task_queue = [threads, ceiling] { return new ElasticTaskQueue(threads, ceiling); };
    server.set_payload_max_length(settings.maximumBody);
    server.set_keep_alive_max_count(settings.keepAliveRequests);
    // A response leaves in more than one write (headers, then content); without this,
    // Nagle's algorithm and the client's delayed ACK hold every response back ~40 ms.
    server.set_tcp_nodelay(true);
    // SO_REUSEADDR only: with SO_REUSEPORT a second host could bind the same port
    // unnoticed.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    Impl *impl = impl_.get();
    // Any path: a regular expression that also matches line breaks of decoded paths.
    const std::string anyPath = R"([\s\S]*)";
    auto plain = [impl](const httplib::Request &request, httplib::Response &response) {
        toResponse(impl->handler(toWebRequest(request)), response);
    };
    server.Get(anyPath, plain);  // HEAD too
    server.Put(anyPath, plain);
    server.Delete(anyPath, plain);
    server.Options(anyPath, plain);
    server.Patch(anyPath, plain);
    server.Post(anyPath, [impl](const httplib::Request &request, httplib::Response &response,
                                const httplib::ContentReader &reader) {
        WebRequest web = toWebRequest(request);
        if (request.is_multipart_form_data()) {
            // Text fields only: parts that carry a file name are uploads, not form values.
            std::vector<httplib::MultipartFormData> parts;
            reader(
                [&](const httplib::MultipartFormData &part) {
                    parts.push_back(part);
                    return true;
                },
                [&](const char *data, size_t length) {
                    if (parts.empty()) {
                        return false;
                    }
                    parts.back().content.append(data, length);
                    return true;
                });
            for (const httplib::MultipartFormData &part : parts) {
                if (part.filename.empty()) {
                    web.bodyFields.emplace_back(part.name, part.content);
                }
            }
        } else {
            std::string body;
            reader([&](const char *data, size_t length) {
                body.append(data, length);
                return true;
            });
            if (startsWithIgnoringCase(request.get_header_value("Content-Type"), "application/x-www-form-urlencoded")) {
                URLText::parseForm(body, web.bodyFields);
            }
        }
        toResponse(impl->handler(web), response);
    });
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const std::string &address, int port, std::string *error) {
    httplib::Server &server = impl_->server;
    if (port == 0) {
        int bound = server.bind_to_any_port(address);
        if (bound > 0) {
            port_ = bound;
            return true;
        }
    } else if (server.bind_to_port(address, port)) {
        port_ = port;
        return true;
    }
    if (error != nullptr) {
        *error = bindFailure(address, port);
    }
    return false;
}

void HttpServer::start() {
    if (impl_->started.exchange(true)) {
        return;
    }
    Impl *impl = impl_.get();
    listener_ = std::thread([impl] {
        impl->server.listen_after_bind();
        impl->finished = true;
    });
}

void HttpServer::stop() {
    if (!listener_.joinable()) {
        return;
    }
    // stop() only reaches a server that is already listening.
    while (!impl_->finished && !impl_->server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    impl_->server.stop();
    listener_.join();
}

} // namespace velquor::host
