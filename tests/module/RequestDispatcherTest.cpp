// RequestDispatcherTest.cpp: the module's entry point driven through the C interface by
// the reference host library: request codes, the region switch, dispatch and output.
#include <gtest/gtest.h>

#include "host/lib/HostMemory.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "host/lib/PreferenceStore.h"
#include "module/HostInterface.h"
#include "module/RequestDispatcher.h"

using velquor::host::HostMemory;
using velquor::host::HostRequest;

namespace {

int32_t Code(uint32_t code) { return static_cast<int32_t>(code); }

// Initialises the module once for the whole program, as a host does at start.
void Initialise() {
    static bool done = false;
    if (done)
        return;
    HostRequest request(QEL_REQUEST_INITIALISE);
    ASSERT_EQ(0, request.run(ProcessQELRequest));
    done = true;
}

// A tag request for the include tag without its required "url": the handler answers
// 'MMRP', which shows that it ran.
void PrepareIncludeWithoutURL(HostRequest &request, const std::string &tagName = "qelIncludeHTTP") {
    request.setTagName(tagName);
    request.setRegion("/");
}

class RequestDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { Initialise(); }
    void TearDown() override { HostMemory::stopFailing(); }
};

TEST_F(RequestDispatcherTest, AnswersEveryRequestCode) {
    struct Case {
        uint32_t code;
        int32_t result;
    };
    const Case cases[] = {
        {QEL_REQUEST_INITIALISE, 0},
        {QEL_REQUEST_TAG, 0},  // a tag name that is not the module's
        {QEL_REQUEST_ACTION, 0},  // an action that is not the module's
        {QEL_REQUEST_GET_PREFERENCES, 0},
        {QEL_REQUEST_SET_PREFERENCES, 0},
        {QEL_REQUEST_TERMINATE, 0},
        {QEL_FOUR_CHAR_CODE('M', 'X', 'y', 'z'), Code(QEL_RESULT_UNKNOWN_REQUEST)},
        {0, Code(QEL_RESULT_UNKNOWN_REQUEST)},
    };
    for (const Case &c : cases) {
        HostRequest request(c.code);
        request.setTagName("someoneElsesTag");
        request.setActionName("SomeoneElsesAction");
        EXPECT_EQ(c.result, request.run(ProcessQELRequest)) << std::hex << c.code;
        EXPECT_TRUE(request.protocolViolations().empty());
    }
}

TEST_F(RequestDispatcherTest, TerminateAndUnknownCodesCallNoService) {
    for (uint32_t code : {QEL_REQUEST_TERMINATE, QEL_FOUR_CHAR_CODE('M', 'Z', 'z', 'z')}) {
        HostRequest request(code);
        request.setRecording(true);
        request.run(ProcessQELRequest);
        EXPECT_TRUE(request.calls().empty()) << std::hex << code;
        EXPECT_EQ("", request.output());
    }
}

TEST_F(RequestDispatcherTest, NullContextIsAGeneralFailure) {
    EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), ProcessQELRequest(nullptr));
}

TEST_F(RequestDispatcherTest, RegionSwitchDisablesOnlyTheExactValueNo) {
    struct Case {
        const char *stored;  // nullptr: nothing stored
        int32_t result;
    };
    const Case cases[] = {
        {"no", 0},
        {"No", Code(QEL_RESULT_MISSING_PARAMETER)},
        {"NO", Code(QEL_RESULT_MISSING_PARAMETER)},
        {"yes", Code(QEL_RESULT_MISSING_PARAMETER)},
        {"", Code(QEL_RESULT_MISSING_PARAMETER)},
        {nullptr, Code(QEL_RESULT_MISSING_PARAMETER)},
    };
    for (const Case &c : cases) {
        HostRequest request(QEL_REQUEST_TAG);
        request.setRecording(true);
        PrepareIncludeWithoutURL(request);
        if (c.stored != nullptr)
            request.host().preferences().set("/", "qelIncludeHTTP", c.stored);
        EXPECT_EQ(c.result, request.run(ProcessQELRequest)) << (c.stored ? c.stored : "(none)");
        // A disabled tag reads no parameter and writes nothing.
        EXPECT_EQ(c.result == 0 ? 0u : 1u, request.countCalls(QEL_SERVICE_GET_TAG_PARAMETER));
        EXPECT_EQ(0u, request.countCalls(QEL_SERVICE_WRITE_TEXT));
    }
}

TEST_F(RequestDispatcherTest, RegionPreferenceIsAskedUnderTheTagNameWithDefaultYes) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setRecording(true);
    PrepareIncludeWithoutURL(request, "QELincludehttp");
    request.run(ProcessQELRequest);
    auto preferenceCalls = request.callsOf(QEL_SERVICE_GET_PREFERENCE);
    ASSERT_EQ(1u, preferenceCalls.size());
    EXPECT_EQ("QELincludehttp", preferenceCalls[0].name);
}

TEST_F(RequestDispatcherTest, DispatchesTagNamesWithoutRegardToCase) {
    for (const char *name : {"qelIncludeHTTP", "QELINCLUDEHTTP", "qelincludehttp", "QeLiNcLuDeHtTp"}) {
        HostRequest request(QEL_REQUEST_TAG);
        PrepareIncludeWithoutURL(request, name);
        EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), request.run(ProcessQELRequest)) << name;
        ASSERT_TRUE(request.errorInfo().has_value());
        // The error names the tag as the host spelt it.
        EXPECT_NE(std::string::npos, request.errorInfo()->message.find(name));
    }
}

TEST_F(RequestDispatcherTest, TagsThatDoNothingAnswerZeroWithoutOutput) {
    for (const char *name : {"qelFTP", "QELFTP", "qelUnknown", "", "qelIncludeHTTPX"}) {
        HostRequest request(QEL_REQUEST_TAG);
        request.setRecording(true);
        request.setTagName(name);
        EXPECT_EQ(0, request.run(ProcessQELRequest)) << name;
        EXPECT_EQ(0u, request.countCalls(QEL_SERVICE_WRITE_TEXT)) << name;
        EXPECT_EQ(0u, request.countCalls(QEL_SERVICE_GET_TAG_PARAMETER)) << name;
    }
}

TEST_F(RequestDispatcherTest, TagNameReadThroughOneResize) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setRecording(true);
    PrepareIncludeWithoutURL(request);
    request.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_NAME, 1);
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), request.run(ProcessQELRequest));
    auto calls = request.callsOf(QEL_SERVICE_GET_TAG_NAME);
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(Code(QEL_ANSWER_BUFFER_TOO_SMALL), calls[0].answer);
    EXPECT_EQ(0, calls[1].answer);
}

TEST_F(RequestDispatcherTest, PreferenceAnsweredTooSmallTwiceTakesTheDefault) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setRecording(true);
    PrepareIncludeWithoutURL(request);
    request.host().preferences().set("/", "qelIncludeHTTP", "no");
    request.faults().bufferTooSmall(QEL_SERVICE_GET_PREFERENCE, 2);
    // The stored "no" never arrives, so the default "yes" runs the tag.
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), request.run(ProcessQELRequest));
    EXPECT_EQ(2u, request.countCalls(QEL_SERVICE_GET_PREFERENCE));
}

TEST_F(RequestDispatcherTest, PreferenceAnsweredTooSmallOnceIsReadWhole) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setRecording(true);
    PrepareIncludeWithoutURL(request);
    request.host().preferences().set("/", "qelIncludeHTTP", "no");
    request.faults().bufferTooSmall(QEL_SERVICE_GET_PREFERENCE, 1);
    EXPECT_EQ(0, request.run(ProcessQELRequest));
    EXPECT_EQ(0u, request.countCalls(QEL_SERVICE_GET_TAG_PARAMETER));
}

TEST_F(RequestDispatcherTest, OutputIsWrittenOnceWithItsExactLength) {
    HostRequest request(QEL_REQUEST_GET_PREFERENCES);
    request.setRecording(true);
    request.setRegion("/");
    EXPECT_EQ(0, request.run(ProcessQELRequest));
    auto writes = request.callsOf(QEL_SERVICE_WRITE_TEXT);
    ASSERT_EQ(1u, writes.size());
    EXPECT_EQ(request.output(), writes[0].value);
    EXPECT_EQ(0u, request.output().find("<table width=\"100%\""));
    EXPECT_EQ(request.output().size(), request.output().find("</table>", request.output().size() - 8) + 8);
}

TEST_F(RequestDispatcherTest, HandlerOutputIsKeptWhenItFails) {
    HostRequest request(QEL_REQUEST_TAG);
    request.setRecording(true);
    QELHostServices host(*request.context());
    int32_t result = QELRequestDispatcher::RunWithOutput(host, [](QELString &output) {
        output.append("partial page");
        return Code(QEL_RESULT_OPERATION_FAILED);
    });
    EXPECT_EQ(Code(QEL_RESULT_OPERATION_FAILED), result);
    EXPECT_EQ("partial page", request.output());

    request.clearOutput();
    result = QELRequestDispatcher::RunWithOutput(host, [](QELString &output) -> int32_t {
        output.append("before the failure");
        throw QELObject::MemoryAllocationFailure();
    });
    EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), result);
    EXPECT_EQ("before the failure", request.output());

    request.clearCalls();
    QELRequestDispatcher::RunWithOutput(host, [](QELString &) { return Code(QEL_RESULT_GENERAL_FAILURE); });
    EXPECT_EQ(0u, request.countCalls(QEL_SERVICE_WRITE_TEXT));
}

TEST_F(RequestDispatcherTest, UsesHostMemoryAfterInitialisation) {
    HostMemory::resetCounters();
    HostRequest request(QEL_REQUEST_GET_PREFERENCES);
    request.setRegion("/");
    request.run(ProcessQELRequest);
    HostMemory::Counters counters = HostMemory::counters();
    EXPECT_GT(counters.allocations, 0u);
    // Every block the request took went back to the host.
    EXPECT_EQ(counters.allocations, counters.releases);
}

TEST_F(RequestDispatcherTest, HostAllocatorFailureAnswersGeneralFailureAndTheModuleSurvives) {
    for (uint32_t successes : {0u, 1u, 3u, 10u}) {
        HostRequest failing(QEL_REQUEST_GET_PREFERENCES);
        failing.setRegion("/");
        HostMemory::failAfter(successes);
        EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), failing.run(ProcessQELRequest)) << successes;
        HostMemory::stopFailing();
    }
    HostRequest request(QEL_REQUEST_TAG);
    PrepareIncludeWithoutURL(request);
    EXPECT_EQ(Code(QEL_RESULT_MISSING_PARAMETER), request.run(ProcessQELRequest));
}

TEST_F(RequestDispatcherTest, InitialisationWithAFailingAllocatorAnswersGeneralFailure) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    HostMemory::failAlways();
    EXPECT_EQ(Code(QEL_RESULT_GENERAL_FAILURE), request.run(ProcessQELRequest));
    HostMemory::stopFailing();
    HostRequest again(QEL_REQUEST_INITIALISE);
    EXPECT_EQ(0, again.run(ProcessQELRequest));
}

}  // namespace
