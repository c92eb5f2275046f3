// HostServicesBench.cpp: what one tag's service calls cost the reference host, with the
// call record off (as velquor-host runs) and on (as the tests that read it run).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"

namespace {

using velquor::host::HostRequest;

// A tag as the module runs one: its name, its region switch, three parameters, then a
// 4 KB answer written in one piece.
void RunTag(HostRequest &request, const std::string &page) {
    HostContext *context = request.context();
    char buffer[64];
    uint32_t size = sizeof buffer;
    context->callback(context->hostRef, QEL_SERVICE_GET_TAG_NAME, buffer, &size, nullptr, nullptr, nullptr);
    char tag[] = "qelIncludeHTTP";
    uint32_t tagCount = sizeof tag;
    size = sizeof buffer;
    context->callback(context->hostRef, QEL_SERVICE_GET_PREFERENCE, tag, &tagCount, buffer, &size, nullptr);
    for (const char *name : {"url", "data", "timeout"}) {
        std::string copy = name;
        uint32_t count = static_cast<uint32_t>(copy.size() + 1);
        uint32_t index = 0;
        size = sizeof buffer;
        context->callback(context->hostRef, QEL_SERVICE_GET_TAG_PARAMETER, copy.data(), &count, buffer, &size, &index);
    }
    uint32_t length = static_cast<uint32_t>(page.size());
    context->callback(context->hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>(page.data()), &length, nullptr,
                      nullptr, nullptr);
}

void TagCalls(benchmark::State &state, bool recording) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setTagName("qelIncludeHTTP");
    request.addTagParameter("url", "http://127.0.0.1:8081/news.txt");
    request.addTagParameter("data", "content");
    request.setRecording(recording);
    const std::string page(4096, 'p');
    for (auto _ : state) {
        RunTag(request, page);
        request.clearOutput();
        request.clearCalls();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_TagCallsNotRecorded(benchmark::State &state) { TagCalls(state, false); }
void BM_TagCallsRecorded(benchmark::State &state) { TagCalls(state, true); }

BENCHMARK(BM_TagCallsNotRecorded);
BENCHMARK(BM_TagCallsRecorded);

} // namespace
