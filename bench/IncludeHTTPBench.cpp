// IncludeHTTPBench.cpp: the qelIncludeHTTP tag fetching a 1 MB response from a loopback
// server, beside an in-process cpp-httplib client and curl fetching the same URL.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"

using velquor::host::HostRequest;

namespace {

// One page of 1 MB served by cpp-httplib on 127.0.0.1 at a port of its own. The scheme
// names how clients reach it ("http" here; a TLS server keeps the same interface).
struct LoopbackServer {
    LoopbackServer(std::unique_ptr<httplib::Server> server, std::string scheme)
        : body(1 << 20, 'x'), server(std::move(server)), scheme(std::move(scheme)) {
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
    int port = 0;
    std::thread thread;
    std::string origin;  // "http://127.0.0.1:PORT"
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

// HTTPS: the same page over TLS goes here, once includes speak it. A LoopbackServer over
// httplib::SSLServer (a certificate for 127.0.0.1 from a private CA) with the scheme
// "https"; HttplibOnce then trusts that CA (Client::set_ca_cert_path); the distribution's
// cpp-httplib is built with CPPHTTPLIB_OPENSSL_SUPPORT, which its compile flags pass on.
// The benchmarks at the end of this file are registered once more with that server.

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

// One fetch of the same page by cpp-httplib on a new connection, as the tag makes one;
// the size of the body it got (0 when the fetch failed).
size_t HttplibOnce(const LoopbackServer &server) {
    httplib::Client client(server.origin);
    httplib::Result result = client.Get("/big");
    if (!result || result->status != 200)
        return 0;
    return result->body.size();
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
// fetches. The counters are the medians of all counted fetches of each (ms per 1 MB)
// and their ratio, include / httplib.
void IncludeVersusHttplib1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    HostRequest init(QEL_REQUEST_INITIALISE);
    init.run(ProcessQELRequest);
    std::vector<double> include, httplib;
    bool complete = true;
    // Times one block of fetches into samples; false when a fetch fell short.
    auto block = [&](std::vector<double> &samples, auto fetch) {
        for (int i = 0; i < kBlockFetches; ++i) {
            auto start = std::chrono::steady_clock::now();
            size_t size = fetch();
            auto end = std::chrono::steady_clock::now();
            if (size != server.body.size())
                return false;
            if (i >= kBlockWarmUp)
                samples.push_back(Milliseconds(end - start));
        }
        return true;
    };
    for (auto _ : state) {
        complete = block(include, [&] { return IncludeOnce(server, init); }) &&
                   block(httplib, [&] { return HttplibOnce(server); });
        if (!complete) {
            state.SkipWithError("a fetch did not get the whole response");
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
}

void Curl1MB(benchmark::State &state, LoopbackServer &(*serverOf)()) {
    LoopbackServer &server = serverOf();
    const std::string command = "curl -s -o /dev/null " + server.url;
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

}  // namespace
