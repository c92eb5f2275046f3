// HostRequestTest.cpp: the page and tag services of a request, driven through the raw
// HostCallback as the module calls it.
#include "ServiceCaller.h"
#include "TempFolder.h"
#include "host/lib/LogFile.h"

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/HostServices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace velquor::host {
namespace {

using test::ServiceCaller;

const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);
const int32_t kNotFound = static_cast<int32_t>(QEL_RESULT_NOT_FOUND);
const int32_t kInvalid = static_cast<int32_t>(QEL_RESULT_INVALID_PARAMETER);

class HostRequestTest : public ::testing::Test {
protected:
    HostRequestTest() : caller(request.context()) {
        request.setRecording(true);
        request.setTagName("qelSendMail");
        request.addTagParameter("to", "first@example.test");
        request.addTagParameter("CC", "");
        request.addTagParameter("To", "second@example.test");
        request.addTagParameter("subject", std::string(100, 's'));
    }

    HostRequest request;
    ServiceCaller caller;
};

TEST_F(HostRequestTest, TagParametersByNameIgnoringCaseAndOccurrence) {
    struct Case {
        const char *name;
        uint32_t index;
        int32_t answer;
        const char *value;
    } cases[] = {
        {"to", 0, 0, "first@example.test"},
        {"TO", 1, 0, "second@example.test"},
        {"tO", 2, kNotFound, ""},
        {"cc", 0, 0, ""},  // present with an empty value
        {"cc", 1, kNotFound, ""},
        {"bcc", 0, kNotFound, ""},
    };
    for (const Case &c : cases) {
        ServiceCaller::Output out = caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, c.name, c.index);
        EXPECT_EQ(out.answer, c.answer) << c.name << " " << c.index;
        EXPECT_EQ(out.text, c.value) << c.name << " " << c.index;
        EXPECT_EQ(out.calls, 1) << c.name;
    }
    EXPECT_TRUE(request.protocolViolations().empty());
}

TEST_F(HostRequestTest, LongValueAnswersNeededSizeThenSucceeds) {
    ServiceCaller::Output out = caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "subject", 0);
    EXPECT_EQ(out.answer, 0);
    EXPECT_EQ(out.calls, 2);
    EXPECT_EQ(out.text, std::string(100, 's'));

    // The raw exchange: a buffer of exactly the length has no room for the terminator.
    char name[] = "subject";
    uint32_t count = sizeof name;
    uint32_t index = 0;
    char buffer[128];
    std::memset(buffer, 'x', sizeof buffer);
    uint32_t size = 100;
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER, name, &count, buffer, &size, &index), kTooSmall);
    EXPECT_EQ(size, 101u);
    EXPECT_EQ(buffer[0], 'x') << "nothing is written on 'MBtS'";
    size = 101;
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER, name, &count, buffer, &size, &index), 0);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(buffer[100], '\0');
}

TEST_F(HostRequestTest, TagParameterAtFollowsDocumentOrderAndGrowsBothBuffers) {
    std::string name;
    ServiceCaller::Output out = caller.parameterAt(2, &name);
    EXPECT_EQ(out.answer, 0);
    EXPECT_EQ(name, "To");
    EXPECT_EQ(out.text, "second@example.test");
    out = caller.parameterAt(1, &name);
    EXPECT_EQ(out.answer, 0);
    EXPECT_EQ(name, "CC");
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(caller.parameterAt(4, &name).answer, kNotFound);

    request.addTagParameter(std::string(40, 'n'), std::string(50, 'v'));
    out = caller.parameterAt(4, &name);
    EXPECT_EQ(out.answer, 0);
    EXPECT_EQ(out.calls, 2);
    EXPECT_EQ(name, std::string(40, 'n'));
    EXPECT_EQ(out.text, std::string(50, 'v'));

    // Only the value is too long: both sizes are still written.
    char names[32];
    char values[32];
    uint32_t nameSize = sizeof names;
    uint32_t valueSize = sizeof values;
    uint32_t index = 3;
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER_AT, names, &nameSize, values, &valueSize, &index), kTooSmall);
    EXPECT_EQ(nameSize, 8u);
    EXPECT_EQ(valueSize, 101u);
}

TEST_F(HostRequestTest, FormArgumentsCGIAndRequestTexts) {
    request.addFormArgument("MessageID", "msg245");
    request.addFormArgument("To", "a@example.test");
    request.addFormArgument("to", "b@example.test");
    request.setCGIVariable("SCRIPT_NAME", "/mail/send.html");
    request.setVirtualHost("www.example.test");
    request.setActionName("SendMail");
    request.setPageFolder("/srv/site/mail");

    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "messageid", 0).text, "msg245");
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "TO", 1).text, "b@example.test");
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "to", 2).answer, kNotFound);
    EXPECT_EQ(caller.named(QEL_SERVICE_GET_CGI_VARIABLE, "SCRIPT_NAME").text, "/mail/send.html");
    EXPECT_EQ(caller.named(QEL_SERVICE_GET_CGI_VARIABLE, "HTTP_COOKIE").answer, kNotFound);
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_VIRTUAL_HOST, 32).text, "www.example.test");
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_ACTION_NAME, 64).text, "SendMail");
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_TAG_NAME, 32).text, "qelSendMail");
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_PAGE_FOLDER_PATH, 256).text, "/srv/site/mail/");

    EXPECT_EQ(caller.output(QEL_SERVICE_GET_TAG_BODY, 63).answer, kNotFound) << "a tag without a body";
    request.setTagBody(std::string(70, 'b'));
    ServiceCaller::Output body = caller.output(QEL_SERVICE_GET_TAG_BODY, 63);
    EXPECT_EQ(body.calls, 2);
    EXPECT_EQ(body.text, std::string(70, 'b'));
}

TEST_F(HostRequestTest, OutputVariablesErrorsAndLog) {
    std::vector<std::string> sink;
    request.host().setLogSink([&](const std::string &line) { sink.push_back(line); });

    const char text[] = "abcdef";
    uint32_t length = 3;  // exact length, no terminator inside
    EXPECT_EQ(caller.page(QEL_SERVICE_WRITE_TEXT, const_cast<char *>(text), &length), 0);
    EXPECT_EQ(caller.writeText("<p>"), 0);
    EXPECT_EQ(request.output(), "abc<p>");

    EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PAGE_VARIABLE, "qelPOP_ResultCount", "2"), 0);
    EXPECT_EQ(request.pageVariable("QELPOP_RESULTCOUNT").value_or("-"), "2");
    EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PAGE_VARIABLE, "", "0"), kInvalid) << "a variable needs a name";

    EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_ERROR_INFO, "The &lt;x&gt; failed.", "Check it."), 0);
    ASSERT_TRUE(request.errorInfo().has_value());
    EXPECT_EQ(request.errorInfo()->message, "The &lt;x&gt; failed.");
    EXPECT_EQ(request.errorInfo()->explanation, "Check it.");

    EXPECT_EQ(caller.writeLog("open failed\r\nsecond line"), 0);
    ASSERT_EQ(request.logEntries().size(), 1u);
    EXPECT_EQ(request.logEntries()[0].kind, QEL_LOG_ENTRY_KIND);
    ASSERT_EQ(sink.size(), 1u);
    EXPECT_NE(sink[0].find("MLgE open failed\\r\\nsecond line"), std::string::npos) << sink[0];
    EXPECT_EQ(sink[0].find('\n'), std::string::npos);
    EXPECT_EQ(sink[0][4], '-') << "the line starts with its date: " << sink[0];

    // A log file that cannot take the line makes the entry fail.
    test::TempFolder folder;
    std::filesystem::create_directory(folder / "velquor.log");
    request.host().useLogFile(std::make_shared<LogFile>(folder / "velquor.log"));
    EXPECT_EQ(caller.writeLog("lost"), static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
}

TEST_F(HostRequestTest, RegistrationIsRecorded) {
    EXPECT_EQ(caller.text(QEL_SERVICE_REGISTER_MODULE_NAME, "Velquor Module"), 0);
    EXPECT_EQ(caller.text(QEL_SERVICE_REGISTER_MODULE_VERSION, "2.1.10"), 0);
    EXPECT_EQ(caller.text(QEL_SERVICE_REGISTER_MODULE_VENDOR, "Tolvaren Software, Inc."), 0);
    EXPECT_EQ(caller.text(QEL_SERVICE_REGISTER_TRACKING_URL, "http://versions.example.test/"), 0);
    EXPECT_EQ(caller.registerTag("qelIncludeHTTP", QEL_TAG_KIND_EMPTY), 0);
    EXPECT_EQ(caller.registerTag("qelSendMail", QEL_TAG_KIND_WITH_BODY), 0);
    EXPECT_EQ(caller.registerTag("QELSENDMAIL", QEL_TAG_KIND_WITH_BODY), 0);
    ServiceCaller::Output action = caller.inOut(QEL_SERVICE_REGISTER_ACTION, "SendMail", 32);
    EXPECT_EQ(action.answer, 0);
    EXPECT_EQ(action.text, "SendMail");

    Registration registration = request.host().registration();
    EXPECT_EQ(registration.moduleName, "Velquor Module");
    EXPECT_EQ(registration.moduleVersion, "2.1.10");
    EXPECT_EQ(registration.moduleVendor, "Tolvaren Software, Inc.");
    EXPECT_EQ(registration.trackingURL, "http://versions.example.test/");
    ASSERT_EQ(registration.tags.size(), 2u) << "a second registration keeps one entry";
    EXPECT_EQ(registration.findTag("qelsendmail")->kind, QEL_TAG_KIND_WITH_BODY);
    EXPECT_EQ(registration.findTag("qelIncludeHTTP")->kind, QEL_TAG_KIND_EMPTY);
    EXPECT_FALSE(registration.findTag("qelPOP").has_value());
    EXPECT_EQ(registration.actionName, "SendMail");
}

TEST_F(HostRequestTest, ProtocolViolationsAreRefusedAndRecorded) {
    char name[] = "to";
    uint32_t wrongCount = 2;  // length, not length + 1
    uint32_t index = 0;
    char buffer[32];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER, name, &wrongCount, buffer, &size, &index), kInvalid);
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER, name, nullptr, buffer, &size, &index), kInvalid);
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    uint32_t capacity = sizeof unterminated;
    EXPECT_EQ(caller.page(QEL_SERVICE_RESOLVE_FOLDER_PATH, unterminated, &capacity), kInvalid);
    std::vector<std::string> violations = request.protocolViolations();
    ASSERT_EQ(violations.size(), 3u);
    EXPECT_NE(violations[0].find("count 2 for a text of 2 bytes"), std::string::npos) << violations[0];

    EXPECT_EQ(caller.page(QEL_FOUR_CHAR_CODE('M', 'X', 'y', 'z')), static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST));
}

TEST_F(HostRequestTest, EveryCallIsRecordedWithItsArguments) {
    caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "subject", 0);
    std::vector<ServiceCall> calls = request.callsOf(QEL_SERVICE_GET_TAG_PARAMETER);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].answer, kTooSmall);
    EXPECT_EQ(calls[0].text, "MTPm name=\"subject\" index=0 buffer capacity=32 -> 'MBtS' size=101");
    EXPECT_EQ(calls[1].answer, 0);
    EXPECT_EQ(calls[1].name, "subject");
    EXPECT_EQ(calls[1].value, std::string(100, 's'));
    EXPECT_EQ(request.countCalls(QEL_SERVICE_GET_TAG_PARAMETER, "SUBJECT"), 2u);
    EXPECT_EQ(request.countCalls(QEL_SERVICE_GET_TAG_PARAMETER, "to"), 0u);
}

TEST(HostRequestRecording, OffUnlessAskedForWhileViolationsAreAlwaysNoted) {
    HostRequest request;
    ServiceCaller caller(request.context());
    request.setTagName("qelPOP");
    EXPECT_EQ(caller.writeText("the page"), 0);
    EXPECT_EQ(caller.output(QEL_SERVICE_GET_TAG_NAME, 32).text, "qelPOP");
    EXPECT_EQ(request.output(), "the page");
    EXPECT_TRUE(request.calls().empty()) << "no record and no copy of the output";

    char name[] = "to";
    uint32_t wrongCount = 2;
    char buffer[8];
    uint32_t size = sizeof buffer;
    uint32_t index = 0;
    EXPECT_EQ(caller.page(QEL_SERVICE_GET_TAG_PARAMETER, name, &wrongCount, buffer, &size, &index), kInvalid);
    ASSERT_EQ(request.protocolViolations().size(), 1u);
    EXPECT_EQ(request.protocolViolations()[0].rfind("MTPm [violation: name: count 2", 0), 0u)
        << request.protocolViolations()[0];

    request.setRecording(true);
    EXPECT_EQ(caller.writeText("more"), 0);
    ASSERT_EQ(request.calls().size(), 1u);
    EXPECT_EQ(request.calls()[0].value, "more");
}

TEST(HostRequestLifetime, UnknownOrEndedRequestsAreRefused) {
    const int32_t general = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
    uint32_t length = 1;
    EXPECT_EQ(HostServiceCallback(12345, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("x"), &length, nullptr, nullptr,
                                  nullptr),
              general);
    uintptr_t stale = 0;
    {
        HostRequest request;
        stale = request.context()->hostRef;
    }
    EXPECT_EQ(HostServiceCallback(stale, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("x"), &length, nullptr, nullptr,
                                  nullptr),
              general);
    EXPECT_EQ(HostDatabaseServiceCallback(stale, QEL_DATABASE_STARTUP, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr),
              general);
}

// The entry point of a pretend module: writes its output, and starts a thread that calls
// the host on its own (which the host must refuse).
HostContext *lastContext = nullptr;
int32_t pretendModule(HostContext *context) {
    lastContext = context;
    uint32_t length = 2;
    context->callback(context->hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("ok"), &length, nullptr, nullptr,
                      nullptr);
    int32_t fromThread = 0;
    std::thread stray([&] {
        fromThread = context->callback(context->hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("no"), &length,
                                       nullptr, nullptr, nullptr);
    });
    stray.join();
    return fromThread;
}

TEST(HostRequestLifetime, RunServesCallsOnlyOnTheRequestThreadWhileRunning) {
    HostRequest request(QEL_REQUEST_TAG);
    EXPECT_EQ(request.run(pretendModule), static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE));
    EXPECT_EQ(request.output(), "ok");
    uint32_t length = 2;
    EXPECT_NE(lastContext->callback(lastContext->hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("no"), &length,
                                    nullptr, nullptr, nullptr),
              0)
        << "a call after the entry point returned";
    EXPECT_EQ(request.output(), "ok");
    EXPECT_EQ(request.protocolViolations().size(), 2u);
}

const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);

int32_t writeThrough(uintptr_t hostRef, const char *text) {
    uint32_t length = static_cast<uint32_t>(std::strlen(text));
    return HostServiceCallback(hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>(text), &length, nullptr, nullptr,
                               nullptr);
}

TEST(HostRequestLifetime, AFinishedRequestsReferenceNeverReachesALaterRequest) {
    Host host;
    // The later request takes the very memory of the finished one.
    alignas(HostRequest) unsigned char storage[sizeof(HostRequest)];
    auto *first = new (storage) HostRequest(host, QEL_REQUEST_TAG);
    uintptr_t stale = first->context()->hostRef;
    first->~HostRequest();
    auto *second = new (storage) HostRequest(host, QEL_REQUEST_TAG);
    EXPECT_EQ(writeThrough(stale, "stale"), kGeneral);
    EXPECT_EQ(second->output(), "");
    EXPECT_EQ(writeThrough(second->context()->hostRef, "live"), 0);
    EXPECT_EQ(second->output(), "live");
    second->~HostRequest();
}

// A log sink that holds the call writing to it until released.
struct HeldSink {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    void operator()(const std::string &) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return released; });
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

TEST(HostRequestLifetime, ARequestLivesUntilTheCallsInItReturn) {
    Host host;
    auto sink = std::make_shared<HeldSink>();
    host.setLogSink([sink](const std::string &line) { (*sink)(line); });
    auto request = std::make_unique<HostRequest>(host, QEL_REQUEST_TAG);
    uintptr_t ref = request->context()->hostRef;

    int32_t logged = -1;
    std::thread caller([&] { logged = ServiceCaller(request->context()).writeLog("held"); });
    ASSERT_TRUE(sink->waitEntered());
    std::thread ender([&] { request.reset(); });
    // Once the request is ending it takes no new call, while the held call still runs in it.
    uint32_t size = 0;
    int32_t answer = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answer != kGeneral && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        answer = HostServiceCallback(ref, QEL_SERVICE_GET_TAG_NAME, nullptr, &size, nullptr, nullptr, nullptr);
    }
    EXPECT_EQ(answer, kGeneral);
    sink->release();
    caller.join();
    ender.join();
    EXPECT_EQ(logged, 0) << "the held call finished in a request that was still there";
}

// The entry point of a pretend module that lets other threads know its request's hostRef.
std::atomic<uintptr_t> publishedRef{0};

int32_t publishingModule(HostContext *context) {
    publishedRef = context->hostRef;
    uint32_t length = 2;
    return context->callback(context->hostRef, QEL_SERVICE_WRITE_TEXT, const_cast<char *>("ok"), &length, nullptr,
                             nullptr, nullptr);
}

TEST(HostRequestLifetime, StrayCallsWhileRequestsEndAreRefused) {
    Host host;
    std::atomic<bool> done{false};
    std::atomic<long> strayCalls{0};
    std::atomic<long> served{0};
    auto stray = [&] {
        char buffer[16];
        while (!done) {
            uintptr_t ref = publishedRef.load();
            uint32_t size = sizeof buffer;
            int32_t page = writeThrough(ref, "stray");
            int32_t tag = HostServiceCallback(ref, QEL_SERVICE_GET_TAG_NAME, buffer, &size, nullptr, nullptr, nullptr);
            int32_t database =
                HostDatabaseServiceCallback(ref, QEL_DATABASE_STARTUP, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            served += (page != kGeneral) + (tag != kGeneral) + (database != kGeneral);
            ++strayCalls;
        }
    };
    std::thread first(stray);
    std::thread second(stray);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int requests = 0;
    while ((requests < 3000 || strayCalls.load() < 3000) && std::chrono::steady_clock::now() < deadline) {
        HostRequest request(host, QEL_REQUEST_TAG);
        request.setTagName("qelPOP");
        EXPECT_EQ(request.run(publishingModule), 0);
        EXPECT_EQ(request.output(), "ok");
        ++requests;
    }
    done = true;
    first.join();
    second.join();
    EXPECT_GE(strayCalls.load(), 3000) << "the stray threads ran while requests ended";
    EXPECT_EQ(served.load(), 0);
    publishedRef = 0;
}

} // namespace
} // namespace velquor::host
