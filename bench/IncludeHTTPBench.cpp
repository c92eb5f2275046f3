// IncludeHTTPBench.cpp: the qelIncludeHTTP tag fetching a 1 MB response from a loopback
// server, beside curl fetching the same URL in the same run.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"

using velquor::host::HostRequest;

namespace {

struct LoopbackServer {
    LoopbackServer() : body(1 << 20, 'x') {
        for (size_t i = 0; i < body.size(); i += 64)
            body[i] = '\n';
        server.Get("/big", [this](const httplib::Request &, httplib::Response &response) {
            response.set_content(body, "text/plain");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::yield();
        url = "http://127.0.0.1:" + std::to_string(port) + "/big";
    }
    ~LoopbackServer() {
        server.stop();
        thread.join();
    }
    std::string body;
    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::string url;
};

LoopbackServer &Server() {
    static LoopbackServer server;
    return server;
}

void BM_IncludeTag1MB(benchmark::State &state) {
    LoopbackServer &server = Server();
    HostRequest init(QEL_REQUEST_INITIALISE);
    init.run(ProcessQELRequest);
    for (auto _ : state) {
        HostRequest request(init.host(), QEL_REQUEST_TAG);
        request.setTagName("qelIncludeHTTP");
        request.setVirtualHost("127.0.0.1");
        request.setCGIVariable("SCRIPT_NAME", "/bench.html");
        request.addTagParameter("url", server.url);
        request.run(ProcessQELRequest);
        if (request.output().size() != server.body.size())
            state.SkipWithError("the tag did not include the whole response");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(server.body.size()));
}
BENCHMARK(BM_IncludeTag1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Curl1MB(benchmark::State &state) {
    LoopbackServer &server = Server();
    const std::string command = "curl -s -o /dev/null " + server.url;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(server.body.size()));
}
BENCHMARK(BM_Curl1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
