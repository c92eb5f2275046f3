// IncludeHTTPBench.cpp: the qelIncludeHTTP tag fetching a 1 MB response from a loopback
// server, plain and over TLS, beside an in-process cpp-httplib client and curl fetching the
// same URL.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <malloc.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"
#include "net/TCPConnection.h"
#include "support/TestCertificates.h"

using velquor::host::HostRequest;
using velquor::test::TestCertificates;

namespace {

// One page of 1 MB served by cpp-httplib on 127.0.0.1 at a port of its own. The scheme
// names how clients reach it ("http", or "https" for a TLS server, whose certificate
// verifies against caFile).
struct LoopbackServer {
    LoopbackServer(std::unique_ptr<httplib::Server> server, std::string scheme, std::string caFile = "")
        : body(1 << 20, 'x'), server(std::move(server)), scheme(std::move(scheme)), caFile(std::move(caFile)) {
        for (size_t i = 0; i < body.size(); i += 64)
            body[i] = '\n';
        // The body goes out from this one copy (no copy per response), so that the
        // server's share of each fetch is small and the clients' costs show.
        this->server->Get("/big", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content_provider(body.size(), "text/plain",
                                          [this](size_t offset, size_t length, httplib::DataSink &sink) {
                                              return sink.write(body.data() + offset, length);
                                          });
        });
        port = this->server->bind_to_any_port("127.0.0.1");
        if (port <= 0 || !this->server->is_valid())
            std::abort();  // no server to measure against
        thread = std::thread([this] { this->server->listen_after_bind(); });
        while (!this->server->is_running())
            std::this_thread::yield();
        origin = this->scheme + "://127.0.0.1:" + std::to_string(port);
        url = origin + "/big";
    }
    ~LoopbackServer() {
        server->stop();
        thread.join();
    }
    std::string body;
    std::unique_ptr<httplib::Server> server;
    std::string scheme;
    std::string caFile;  // the CA that signed a TLS server's certificate; empty for plain
    int port = 0;
    std::thread thread;
    std::string origin;  // "http://127.0.0.1:PORT" or "https://..."
    std::string url;
};

// The allocator's thresholds, fixed at glibc's defaults: every block of 128 KB or more is
// mapped fresh from the system and given back when freed. Left to adjust themselves, they
// move with what ran before (a client that freed a large block makes the next client's
// blocks come from reused memory), and a fetch's cost swings many times over with the
// order of the benchmarks. Fixed, each fetch pays for the fresh memory it touches.
void FixAllocatorThresholds() {
    static const bool fixed = mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1 && mallopt(M_TRIM_THRESHOLD, 128 * 1024) == 1;
    if (!fixed)
        std::abort();
}

LoopbackServer &PlainServer() {
    FixAllocatorThresholds();
    static LoopbackServer server(std::make_unique<httplib::Server>(), "http");
    return server;
}

// The same page over TLS: httplib::SSLServer with a certificate for localhost and
// 127.0.0.1 from a private CA made at start. The tag trusts what OpenSSL's default verify
// paths name, so SSL_CERT_FILE names that CA in this process before the first fetch;
// httplib's client is given the same file. The certificates are in a folder of /tmp,
// removed when the program ends.
// The certificates of the HTTPS variant, made once in a private folder that goes with them
// at exit; the module trusts their CA as any OpenSSL program is told to.
const TestCertificates &Certificates() {
    static TestCertificates *certificates = [] {
        setenv("VELQUOR_SOURCE_DIR", VELQUOR_BENCH_SOURCE_DIR, 0);
        static TestCertificates made;
        std::string error;
        if (!made.makeTemporary(&error)) {
            std::fprintf(stderr, "IncludeHTTPBench: no certificates: %s\n", error.c_str());
            std::abort();
        }
        setenv("SSL_CERT_FILE", made.caFile().c_str(), 1);
        return &made;
    }();
    return *certificates;
}

LoopbackServer &SecureServer() {
    FixAllocatorThresholds();
    const TestCertificates &certificates = Certificates();
    static LoopbackServer server(
        std::make_unique<httplib::SSLServer>(certificates.certificate(TestCertificates::Kind::Server).c_str(),
                                             certificates.key(TestCertificates::Kind::Server).c_str()),
        "https", certificates.caFile());
    return server;
}

// One include of the server's page by the tag, on the host of an initialised module; the
// bytes it put into the page.
size_t IncludeOnce(const LoopbackServer &server, HostRequest &init) {
    HostRequest request(init.host(), QEL_REQUEST_TAG);
    request.setTagName("qelIncludeHTTP");
    request.setVirtualHost("127.0.0.1");
    request.setCGIVariable("SCRIPT_NAME", "/bench.html");
    request.addTagParameter("url", server.url);
    request.run(ProcessQELRequest);
    return request.output().size();
}

// One fetch of the same page by cpp-httplib on a new connection, as the tag makes one
// (over TLS a new client, so a new context that loads the CA, with verification on); the
// size of the body it got (0 when the fetch failed).
size_t HttplibOnce(const LoopbackServer &server) {
    auto size = [](const httplib::Result &result) -> size_t {
        return result && result->status == 200 ? result->body.size() : 0;
    };
    if (server.caFile.empty()) {
        httplib::Client client(server.origin);
        return size(client.Get("/big"));
    }
    httplib::SSLClient client("127.0.0.1", server.port);
    client.set_ca_cert_path(server.caFile.c_str());
    client.enable_server_certificate_verification(true);
    return size(client.Get("/big"));
}

// A bare connect and the tag's TLS handshake with the server (the same trust as the
// tag's: OpenSSL's default verify paths), then close; false when either failed.
bool HandshakeOnce(const LoopbackServer &server) {
    QELIPAddress address;
    uint16_t port = 0;
    if (!ResolveHostName(QELString("127.0.0.1"), server.port, address, port))
        return false;
    QELOwned<QELTCPConnection> connection = OpenConnection(address, port, false);
    return connection && connection->StartTLS(QELString("127.0.0.1"), QELString());
}

double Milliseconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void IncludeTag1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    HostRequest init(QEL_REQUEST_INITIALISE);
    init.run(ProcessQELRequest);
    for (auto _ : state) {
        if (IncludeOnce(server, init) != server.body.size())
            state.SkipWithError("the tag did not include the whole response");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(server.body.size()));
}

void Httplib1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    for (auto _ : state) {
        if (HttplibOnce(server) != server.body.size())
            state.SkipWithError("httplib did not fetch the whole response");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(server.body.size()));
}

// Fetches timed in blocks of one kind, and how many fetches begin each block uncounted:
// they meet the caches and the free memory as the other client left them, not as a
// fetch among fetches of its own kind does.
constexpr int kBlockFetches = 10;
constexpr int kBlockWarmUp = 2;

// The tag and httplib in turns on the same server, so that both meet the same load of a
// shared machine: each iteration is a block of includes, then a block of httplib
// fetches, and over TLS a block of bare handshakes as well. The counters are the medians
// of all counted fetches of each (ms per 1 MB) and their ratio, include / httplib; over
// TLS also the handshake's median and its share of the include's median.
void IncludeVersusHttplib1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    HostRequest init(QEL_REQUEST_INITIALISE);
    init.run(ProcessQELRequest);
    const bool secure = !server.caFile.empty();
    std::vector<double> include, httplib, handshake;
    bool complete = true;
    // Times one block of fetches into samples; false when a fetch failed or fell short.
    auto block = [&](std::vector<double> &samples, auto fetch) {
        for (int i = 0; i < kBlockFetches; ++i) {
            auto start = std::chrono::steady_clock::now();
            bool whole = fetch();
            auto end = std::chrono::steady_clock::now();
            if (!whole)
                return false;
            if (i >= kBlockWarmUp)
                samples.push_back(Milliseconds(end - start));
        }
        return true;
    };
    for (auto _ : state) {
        complete = block(include, [&] { return IncludeOnce(server, init) == server.body.size(); }) &&
                   block(httplib, [&] { return HttplibOnce(server) == server.body.size(); }) &&
                   (!secure || block(handshake, [&] { return HandshakeOnce(server); }));
        if (!complete) {
            state.SkipWithError("a fetch did not get the whole response, or a handshake failed");
            break;
        }
    }
    if (!complete || include.empty())
        return;
    double includeMedian = Median(include);
    double httplibMedian = Median(httplib);
    state.counters["include_ms"] = includeMedian;
    state.counters["httplib_ms"] = httplibMedian;
    state.counters["ratio"] = includeMedian / httplibMedian;
    if (secure) {
        double handshakeMedian = Median(handshake);
        state.counters["handshake_ms"] = handshakeMedian;
        state.counters["handshake_share"] = handshakeMedian / includeMedian;
    }
}

void Curl1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    const std::string command =
        "curl -s -o /dev/null " + (server.caFile.empty() ? "" : "--cacert " + server.caFile + " ") + server.url;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(server.body.size()));
}

BENCHMARK_CAPTURE(IncludeTag1MB, http, PlainServer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Httplib1MB, http, PlainServer)->Unit(benchmark::kMillisecond)->UseRealTime();
// 25 blocks of each: 200 counted fetches of each, enough for medians that hold still on
// a loaded two-core machine.
BENCHMARK_CAPTURE(IncludeVersusHttplib1MB, http, PlainServer)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(25);
BENCHMARK_CAPTURE(Curl1MB, http, PlainServer)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same over TLS: each fetch a new connection with a full, verified handshake.
BENCHMARK_CAPTURE(IncludeTag1MB, https, SecureServer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Httplib1MB, https, SecureServer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(IncludeVersusHttplib1MB, https, SecureServer)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(25);
BENCHMARK_CAPTURE(Curl1MB, https, SecureServer)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
