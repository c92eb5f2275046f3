// HttpServer.cpp: the adapter between libmicrohttpd and the page server, with the limits
// that library leaves to its user (the header block's deadline, line count and size, the
// body and field caps). This is the only file of the host that includes microhttpd.h.
#include "host/lib/HttpServer.h"

#include "host/lib/FormDecoder.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace velquor::host {

namespace {

using Clock = std::chrono::steady_clock;

// How long stop() lets the requests in progress finish before it ends their connections.
constexpr std::chrono::seconds kStopDrain(5);

int64_t nowTicks() { return Clock::now().time_since_epoch().count(); }

// A connection as the server tracks it.
struct Link {
    int socket = -1;
    // Since when (nowTicks) the connection waits for a header block; 0 while a request is
    // in progress on it.
    std::atomic<int64_t> awaitingSince{0};
    std::atomic<bool> used{false};  // a request has begun on it
    bool cut = false;     // the header deadline or a newer connection has shut it (under the links' mutex)
    size_t requests = 0;  // requests begun on it (its own thread only)
};

// One request, from its header block to its response.
struct Exchange {
    WebRequest request;
    std::string body;
    uint64_t received = 0;    // body bytes, kept or not
    size_t held = 0;          // body bytes counted in the server's budget
    bool begun = false;       // the header block has been looked at
    bool tooLarge = false;    // the body went past the limit: it is thrown away
    bool overBudget = false;  // the body would have gone past the budget: it is thrown away
    bool queued = false;      // a response is on its way
    bool lastOnConnection = false;
};

WebResponse plainAnswer(int status, const std::string &text) {
    WebResponse response;
    response.status = status;
    response.contentType = "text/plain";
    response.body = text + "\n";
    return response;
}

std::string addressText(const sockaddr *address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address != nullptr && address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);  // an IPv4 client of a dual-stack socket
        } else {
            inet_ntop(AF_INET6, &v6, text, sizeof text);
        }
    }
    return text;
}

// A Content-Length value: decimal digits only, without overflow.
bool parseLength(const std::string &text, uint64_t *value) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = result;
    return true;
}

// A bound, listening, non-blocking socket for the address; -1 with the reason in *error.
int listenOn(const std::string &address, int port, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    std::string service = std::to_string(port);
    int lookup = getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &found);
    if (lookup != 0) {
        *error = std::string("unknown address: ") + gai_strerror(lookup);
        return -1;
    }
    *error = "cannot bind";
    int bound = -1;
    for (addrinfo *item = found; item != nullptr && bound < 0; item = item->ai_next) {
        int socket = ::socket(item->ai_family, item->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, item->ai_protocol);
        if (socket < 0) {
            *error = std::strerror(errno);
            continue;
        }
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (item->ai_family == AF_INET6) {
            // "::" takes IPv4 clients too; a specific IPv6 address only its own.
            int only = 0;
            setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        }
        if (::bind(socket, item->ai_addr, item->ai_addrlen) != 0 || ::listen(socket, SOMAXCONN) != 0) {
            *error = std::strerror(errno);
            ::close(socket);
            continue;
        }
        bound = socket;
    }
    freeaddrinfo(found);
    return bound;
}

// The connections that fit the process's descriptor limit: three quarters of it, the rest
// kept for files, databases and the module's outgoing connections.
size_t connectionsForDescriptors(size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return wanted;
    }
    return std::max<size_t>(1, std::min<size_t>(wanted, limit.rlim_cur / 4 * 3));
}

int boundPort(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
}

MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, size_t keySize, const char *value,
                         size_t valueSize) {
    static_cast<NameValueList *>(cls)->emplace_back(std::string(key, keySize),
                                                    value != nullptr ? std::string(value, valueSize) : std::string());
    return MHD_YES;
}

// The target stays as sent: the page server decodes it itself.
size_t keepEscapes(void *, MHD_Connection *, char *text) { return std::strlen(text); }

void freeText(void *text) { delete static_cast<std::string *>(text); }

Link *linkOf(MHD_Connection *connection) {
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Link *>(info->socket_context) : nullptr;
}

} // namespace

struct HttpServer::Impl {
    Handler handler;
    Screen screen;
    Settings settings;
    MHD_Daemon *daemon = nullptr;
    int listenSocket = -1;

    std::atomic<size_t> heldBodies{0};  // bytes of every Exchange::body

    // Requests from their whole header block until their response has gone.
    std::mutex requestsMutex;
    std::condition_variable requestsDone;
    size_t requests = 0;

    // Every open connection, for the header deadline.
    std::mutex linksMutex;
    std::condition_variable linksChanged;
    std::unordered_set<Link *> links;
    bool watching = false;
    std::thread watchdog;
    size_t reclaimAbove = 0;  // the settings' value, lowered to fit the connection limit

    // Ends one idle connection (see the class's limits) when more than reclaimAbove
    // connections are open and not yet ended; nothing when none is idle (under linksMutex).
    void reclaimFor(const Link *newcomer);

    void log(const std::string &line) const {
        if (settings.log) {
            settings.log(line);
        } else {
            std::fprintf(stderr, "velquor-host: %s\n", line.c_str());
        }
    }

    MHD_Result step(MHD_Connection *connection, Exchange &exchange, const char *method, const char *upload,
                    size_t *uploadSize);
    MHD_Result begin(MHD_Connection *connection, Exchange &exchange, const char *method);
    void take(Exchange &exchange, const char *data, size_t size);
    void dropBody(Exchange &exchange);
    WebResponse run(Exchange &exchange);
    MHD_Result send(MHD_Connection *connection, Exchange &exchange, WebResponse answer);
    void watch();

    // The library's callbacks; no exception ever leaves them into the library (one that
    // escapes a request ends its connection).
    static void *onTarget(void *cls, const char *uri, MHD_Connection *connection);
    static MHD_Result onRequest(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                const char *version, const char *upload, size_t *uploadSize, void **context);
    static void onCompleted(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode code);
    static void onConnection(void *cls, MHD_Connection *connection, void **socketContext,
                             MHD_ConnectionNotificationCode code);
};

void *HttpServer::Impl::onTarget(void *, const char *uri, MHD_Connection *) {
    try {
        auto exchange = std::make_unique<Exchange>();
        exchange->request.target = uri != nullptr ? uri : "";
        return exchange.release();
    } catch (...) {
        return nullptr;
    }
}

MHD_Result HttpServer::Impl::onRequest(void *cls, MHD_Connection *connection, const char *, const char *method,
                                       const char *, const char *upload, size_t *uploadSize, void **context) {
    auto *exchange = static_cast<Exchange *>(*context);
    if (exchange == nullptr) {
        return MHD_NO;  // every request gets its exchange with its target first
    }
    try {
        return static_cast<Impl *>(cls)->step(connection, *exchange, method, upload, uploadSize);
    } catch (...) {
        return MHD_NO;
    }
}

MHD_Result HttpServer::Impl::step(MHD_Connection *connection, Exchange &exchange, const char *method,
                                  const char *upload, size_t *uploadSize) {
    if (exchange.queued) {
        *uploadSize = 0;
        return MHD_YES;
    }
    if (!exchange.begun) {
        exchange.begun = true;
        {
            std::lock_guard<std::mutex> lock(requestsMutex);
            ++requests;
        }
        return begin(connection, exchange, method);
    }
    if (*uploadSize != 0) {
        take(exchange, upload, *uploadSize);
        *uploadSize = 0;
        // A body that goes on far past the limit is cut off without an answer.
        return exchange.received > settings.maximumBody + settings.maximumDiscarded ? MHD_NO : MHD_YES;
    }
    // The whole body is in.
    if (exchange.tooLarge) {
        return send(connection, exchange, plainAnswer(413, "The request's body is larger than this server takes."));
    }
    if (exchange.overBudget) {
        return send(connection, exchange,
                    plainAnswer(503, "The server holds too many request bodies now; try again later."));
    }
    return send(connection, exchange, run(exchange));
}

void HttpServer::Impl::onCompleted(void *cls, MHD_Connection *connection, void **context,
                                   MHD_RequestTerminationCode) {
    Impl &impl = *static_cast<Impl *>(cls);
    auto *exchange = static_cast<Exchange *>(*context);
    if (exchange != nullptr) {
        impl.dropBody(*exchange);
    }
    if (exchange != nullptr && exchange->begun) {
        std::lock_guard<std::mutex> lock(impl.requestsMutex);
        if (--impl.requests == 0) {
            impl.requestsDone.notify_all();
        }
    }
    delete exchange;
    *context = nullptr;
    if (Link *link = linkOf(connection)) {
        link->awaitingSince = nowTicks();  // the next header block's deadline starts now
    }
}

void HttpServer::Impl::onConnection(void *cls, MHD_Connection *connection, void **socketContext,
                                    MHD_ConnectionNotificationCode code) {
    Impl &impl = *static_cast<Impl *>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        Link *link = new (std::nothrow) Link;
        if (link == nullptr) {
            return;  // untracked: the idle timeout still ends it
        }
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        link->socket = info != nullptr ? info->connect_fd : -1;
        link->awaitingSince = nowTicks();
        // A response leaves in more than one write (headers, then content); without this,
        // Nagle's algorithm and the client's delayed ACK hold every response back ~40 ms.
        int yes = 1;
        setsockopt(link->socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        std::lock_guard<std::mutex> lock(impl.linksMutex);
        try {
            impl.links.insert(link);
        } catch (...) {
            delete link;
            return;
        }
        *socketContext = link;
        impl.reclaimFor(link);
        return;
    }
    // The library closes the socket after this notice, so the watchdog, which shuts
    // sockets only under the same lock, never touches a descriptor that was reused.
    auto *link = static_cast<Link *>(*socketContext);
    {
        std::lock_guard<std::mutex> lock(impl.linksMutex);
        impl.links.erase(link);
    }
    delete link;
    *socketContext = nullptr;
}

void HttpServer::Impl::reclaimFor(const Link *newcomer) {
    // Candidates wait for a header block; those that never sent a request go first (a
    // kept-alive client between requests has shown it is one), the longest waiting first.
    std::vector<std::tuple<bool, int64_t, Link *>> idle;
    size_t open = 0;
    for (Link *link : links) {
        if (link->cut) {
            continue;
        }
        ++open;
        int64_t since = link->awaitingSince.load();
        if (link != newcomer && since != 0) {
            idle.emplace_back(link->used.load(), since, link);
        }
    }
    if (open <= reclaimAbove) {
        return;
    }
    std::sort(idle.begin(), idle.end());
    for (const auto &candidate : idle) {
        Link *link = std::get<2>(candidate);
        // Bytes not yet read are a request on its way (its thread has not run yet, as on a
        // busy machine): that connection is not idle.
        int pending = 0;
        if (ioctl(link->socket, FIONREAD, &pending) != 0 || pending != 0) {
            continue;
        }
        // As for the header deadline: the library sees the end of the stream and closes it.
        ::shutdown(link->socket, SHUT_RDWR);
        link->cut = true;
        return;
    }
}

MHD_Result HttpServer::Impl::begin(MHD_Connection *connection, Exchange &exchange, const char *method) {
    if (Link *link = linkOf(connection)) {
        link->awaitingSince = 0;
        link->used = true;
        exchange.lastOnConnection = ++link->requests >= settings.keepAliveRequests;
    }
    WebRequest &request = exchange.request;
    request.method = method != nullptr ? method : "";
    MHD_get_connection_values_n(connection, MHD_HEADER_KIND, collectHeader, &request.headers);
    const MHD_ConnectionInfo *client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.remoteAddress = client != nullptr ? addressText(client->client_addr) : "";

    const MHD_ConnectionInfo *size = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (request.headers.size() > settings.maximumHeaderLines ||
        (size != nullptr && size->header_size > settings.maximumHeaderBlock)) {
        return send(connection, exchange, plainAnswer(431, "The request's header block is too large."));
    }
    uint64_t length = 0;
    bool hasLength = parseLength(request.header("Content-Length"), &length);
    if (hasLength && length > settings.maximumBody) {
        return send(connection, exchange, plainAnswer(413, "The request's body is larger than this server takes."));
    }
    bool hasBody = (hasLength && length > 0) || request.hasHeader("Transfer-Encoding");
    if (hasBody && screen) {
        if (std::optional<WebResponse> early = screen(request)) {
            return send(connection, exchange, std::move(*early));
        }
    }
    return MHD_YES;
}

void HttpServer::Impl::take(Exchange &exchange, const char *data, size_t size) {
    exchange.received += size;
    if (exchange.tooLarge) {
        return;
    }
    if (exchange.received > settings.maximumBody) {
        exchange.tooLarge = true;  // 413 rather than 503: no retry will help
        dropBody(exchange);
        return;
    }
    if (exchange.overBudget) {
        return;
    }
    if (heldBodies.fetch_add(size) + size > settings.maximumBodiesInMemory) {
        heldBodies -= size;
        exchange.overBudget = true;
        dropBody(exchange);
        return;
    }
    exchange.held += size;
    exchange.body.append(data, size);
}

void HttpServer::Impl::dropBody(Exchange &exchange) {
    heldBodies -= exchange.held;
    exchange.held = 0;
    std::string().swap(exchange.body);
}

WebResponse HttpServer::Impl::run(Exchange &exchange) {
    WebRequest &request = exchange.request;
    try {
        FormDecoder::Result decoded = FormDecoder::decode(request.header("Content-Type"), exchange.body,
                                                          settings.maximumFields, request.bodyFields);
        dropBody(exchange);
        if (decoded == FormDecoder::Result::Malformed) {
            return plainAnswer(400, "The request's form body is malformed.");
        }
        if (decoded == FormDecoder::Result::TooManyFields) {
            return plainAnswer(413, "The request's form has more than " + std::to_string(settings.maximumFields) +
                                        " fields.");
        }
        return handler(request);
    } catch (const std::exception &error) {
        log("error serving " + request.target + ": " + error.what());
    } catch (...) {
        log("error serving " + request.target);
    }
    return plainAnswer(500, "The server could not serve this request.");
}

MHD_Result HttpServer::Impl::send(MHD_Connection *connection, Exchange &exchange, WebResponse answer) {
    MHD_Response *response = nullptr;
    if (!answer.file.empty()) {
        // Streamed from the file (sendfile), never loaded whole; the library closes it.
        int file = ::open(answer.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (file >= 0 && fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
            response = MHD_create_response_from_fd64(static_cast<uint64_t>(status.st_size), file);
        }
        if (response == nullptr) {
            if (file >= 0) {
                ::close(file);
            }
            answer = plainAnswer(404, "Not found");
        }
    }
    if (response == nullptr) {
        auto *text = new std::string(std::move(answer.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(text->size(), text->data(), freeText, text);
        if (response == nullptr) {
            delete text;
            return MHD_NO;
        }
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    for (const auto &[name, value] : answer.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    if (exchange.lastOnConnection) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    exchange.queued = true;
    MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned int>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

void HttpServer::Impl::watch() {
    const int64_t limit = std::chrono::duration_cast<Clock::duration>(settings.headerDeadline).count();
    const auto period = std::clamp<std::chrono::milliseconds>(settings.headerDeadline / 8,
                                                              std::chrono::milliseconds(20), std::chrono::seconds(1));
    std::unique_lock<std::mutex> lock(linksMutex);
    while (watching) {
        int64_t now = nowTicks();
        for (Link *link : links) {
            int64_t since = link->awaitingSince.load();
            if (since != 0 && !link->cut && now - since > limit) {
                // The library sees the end of the stream and closes the connection.
                ::shutdown(link->socket, SHUT_RDWR);
                link->cut = true;
            }
        }
        linksChanged.wait_for(lock, period);
    }
}

HttpServer::HttpServer(Handler handler, Screen screen, Settings settings) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->screen = std::move(screen);
    impl_->settings = std::move(settings);
}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::bind(const std::string &address, int port, std::string *error) {
    std::string reason;
    int socket = listenOn(address, port, &reason);
    if (socket < 0) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    if (impl_->listenSocket >= 0) {
        ::close(impl_->listenSocket);
    }
    impl_->listenSocket = socket;
    port_ = boundPort(socket);
    return true;
}

bool HttpServer::start(std::string *error) {
    Impl &impl = *impl_;
    if (impl.daemon != nullptr) {
        return true;
    }
    if (impl.listenSocket < 0) {
        if (error != nullptr) {
            *error = "no socket is bound";
        }
        return false;
    }
    const Settings &settings = impl.settings;
    const size_t connections = connectionsForDescriptors(settings.maximumConnections);
    {
        std::lock_guard<std::mutex> lock(impl.linksMutex);
        impl.watching = true;
        impl.reclaimAbove = std::min(settings.reclaimAbove, connections - connections / 4);
    }
    impl.watchdog = std::thread([&impl] { impl.watch(); });
    // The header block must fit the connection's memory with room for its bookkeeping; the
    // line count and size limits are checked exactly once it is in.
    size_t connectionMemory = std::max<size_t>(64u << 10, settings.maximumHeaderBlock * 2);
    // A thread per connection (poll, not select: descriptors may pass 1024). The handler
    // runs on it and may block: a page that includes a page of this server waits on it
    // while the inner request gets a thread of its own.
    impl.daemon = MHD_start_daemon(
        MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC, 0, nullptr,
        nullptr, &Impl::onRequest, &impl, MHD_OPTION_LISTEN_SOCKET, impl.listenSocket,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned int>(connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned int>(settings.connectionsPerAddress), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned int>(settings.idleTimeout.count()), MHD_OPTION_URI_LOG_CALLBACK, &Impl::onTarget, &impl,
        MHD_OPTION_NOTIFY_COMPLETED, &Impl::onCompleted, &impl, MHD_OPTION_NOTIFY_CONNECTION, &Impl::onConnection,
        &impl, MHD_OPTION_UNESCAPE_CALLBACK, &keepEscapes, nullptr, MHD_OPTION_END);
    if (impl.daemon == nullptr) {
        if (error != nullptr) {
            *error = "the HTTP library could not start";
        }
        stop();
        return false;
    }
    return true;
}

void HttpServer::stop() {
    Impl &impl = *impl_;
    if (impl.daemon != nullptr) {
        MHD_quiesce_daemon(impl.daemon);
        {
            // Responses on their way get a moment to leave.
            std::unique_lock<std::mutex> lock(impl.requestsMutex);
            impl.requestsDone.wait_for(lock, kStopDrain, [&impl] { return impl.requests == 0; });
        }
        // Ends every connection and joins its thread (after its handler has returned).
        MHD_stop_daemon(impl.daemon);
        impl.daemon = nullptr;
    }
    if (impl.watchdog.joinable()) {
        {
            std::lock_guard<std::mutex> lock(impl.linksMutex);
            impl.watching = false;
        }
        impl.linksChanged.notify_all();
        impl.watchdog.join();
    }
    if (impl.listenSocket >= 0) {
        ::close(impl.listenSocket);
        impl.listenSocket = -1;
    }
}

} // namespace velquor::host
