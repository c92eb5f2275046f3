// FaultPlanTest.cpp: injected refusals, 'MBtS' answers, nth-call failures and registration
// faults, as a module meets them through the services.
#include "ServiceCaller.h"

#include "host/lib/DatabaseStore.h"
#include "host/lib/Host.h"
#include "host/lib/PreferenceStore.h"
#include "host/lib/HostRequest.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace velquor::host {
namespace {

using test::ServiceCaller;

const int32_t kTooSmall = static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL);
const int32_t kGeneral = static_cast<int32_t>(QEL_RESULT_GENERAL_FAILURE);
const int32_t kUnknown = static_cast<int32_t>(QEL_RESULT_REGISTRATION_REFUSED);

class FaultPlanTest : public ::testing::Test {
protected:
    FaultPlanTest() : caller(request.context()) {
        request.setRecording(true);
        request.addTagParameter("username", "ann");
        request.addTagParameter("password", "secret");
        request.addFormArgument("Status", "F");
    }

    HostRequest request;
    ServiceCaller caller;
};

TEST_F(FaultPlanTest, RefusalForOneNameOnly) {
    request.faults().refuse(QEL_SERVICE_GET_TAG_PARAMETER, "PASSWORD");
    ServiceCaller::Output refused = caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "password", 0);
    EXPECT_EQ(refused.answer, kGeneral);
    EXPECT_EQ(refused.finalSize, 0u) << "a refused output answers no bytes";
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "username", 0).text, "ann");
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "password", 0).answer, kGeneral) << "every time";

    request.faults().refuse(QEL_SERVICE_SET_PREFERENCE, "", static_cast<int32_t>(QEL_RESULT_NOT_FOUND));
    EXPECT_EQ(caller.twoTexts(QEL_SERVICE_SET_PREFERENCE, "qelPOP", "no"), static_cast<int32_t>(QEL_RESULT_NOT_FOUND));
    EXPECT_FALSE(request.host().preferences().get("", "qelPOP").has_value()) << "a refused call changes nothing";

    request.faults().clear();
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "password", 0).text, "secret");
}

TEST_F(FaultPlanTest, BufferTooSmallOnceThenTwice) {
    request.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_PARAMETER, 1);
    ServiceCaller::Output once = caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "username", 0);
    EXPECT_EQ(once.answer, 0);
    EXPECT_EQ(once.calls, 2);
    EXPECT_EQ(once.text, "ann");
    std::string first = request.callsOf(QEL_SERVICE_GET_TAG_PARAMETER)[0].text;
    EXPECT_NE(first.find("[fault] -> 'MBtS' size=4"), std::string::npos) << first;

    request.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_PARAMETER, 2);
    ServiceCaller::Output twice = caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "username", 0);
    EXPECT_EQ(twice.answer, kTooSmall) << "the module's repeat also gets 'MBtS': its default applies";
    EXPECT_EQ(twice.calls, 2);
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "username", 0).calls, 1) << "used up";

    request.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_PARAMETER_AT, 1);
    std::string name;
    ServiceCaller::Output at = caller.parameterAt(1, &name);
    EXPECT_EQ(at.calls, 2);
    EXPECT_EQ(name, "password");
    EXPECT_EQ(at.text, "secret");

    request.faults().bufferTooSmall(QEL_SERVICE_WRITE_TEXT, 1);
    EXPECT_EQ(caller.writeText("x"), kTooSmall) << "a service without buffer just fails";
    EXPECT_EQ(request.output(), "");
}

TEST_F(FaultPlanTest, NthCallFails) {
    request.faults().failNth(QEL_SERVICE_GET_FORM_ARGUMENT, 2);
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "Status", 0).answer, 0);
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "Status", 0).answer, kGeneral);
    EXPECT_EQ(caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "Status", 0).answer, 0);

    request.faults().failNth(QEL_DATABASE_STARTUP, 1, "", static_cast<int32_t>(QEL_RESULT_OPERATION_FAILED));
    EXPECT_EQ(caller.startup(), static_cast<int32_t>(QEL_RESULT_OPERATION_FAILED));
    EXPECT_EQ(caller.startup(), 0);
}

// The nth call of the request fails whatever its service; every call counts, both
// callbacks, refused, unknown and broken ones too.
TEST_F(FaultPlanTest, NthCallOfAnyServiceFailsAndEveryCallIsCounted) {
    struct Step {
        const char *what;
        std::function<int32_t()> call;
        int32_t servedAnswer;
    };
    uint32_t handle = 0;
    const std::vector<Step> steps = {
        {"tag parameter", [&] { return caller.indexed(QEL_SERVICE_GET_TAG_PARAMETER, "username", 0).answer; }, 0},
        {"startup", [&] { return caller.startup(); }, 0},
        {"open", [&] { return caller.open("Inbox", QEL_OPEN_SHARED, &handle); }, 0},
        {"write text", [&] { return caller.writeText("x"); }, 0},
        {"unknown selector", [&] { return caller.page(QEL_FOUR_CHAR_CODE('Z', 'Z', 'Z', 'Z')); },
         static_cast<int32_t>(QEL_RESULT_UNKNOWN_REQUEST)},
        {"form argument", [&] { return caller.indexed(QEL_SERVICE_GET_FORM_ARGUMENT, "Status", 0).answer; }, 0},
        {"close", [&] { return caller.close(handle); }, 0},
        {"shutdown", [&] { return caller.shutdown(); }, 0},
    };
    for (uint32_t nth = 1; nth <= steps.size(); ++nth) {
        SCOPED_TRACE(nth);
        request.faults().clear();
        request.host().databases().closeAll(request.id());
        request.setDatabaseStarts(0);
        request.faults().failNthCall(nth);
        for (uint32_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(steps[i].what);
            int32_t answer = steps[i].call();
            bool refusable = steps[i].servedAnswer == 0;
            if (i + 1 == nth && refusable) {
                EXPECT_EQ(answer, kGeneral);
            } else if (i + 1 < nth || !refusable) {
                EXPECT_EQ(answer, steps[i].servedAnswer);
            }
        }
        EXPECT_EQ(request.faults().callCount(), steps.size());
    }
    // The count goes on from where it is: 1 is the next call.
    request.faults().failNthCall(1, static_cast<int32_t>(QEL_RESULT_NOT_FOUND));
    EXPECT_EQ(caller.writeText("y"), static_cast<int32_t>(QEL_RESULT_NOT_FOUND));
    EXPECT_EQ(caller.writeText("z"), 0);
    EXPECT_EQ(request.faults().callCount(), steps.size() + 2);
}

TEST_F(FaultPlanTest, RegistrationFaults) {
    request.setRequestCode(QEL_REQUEST_INITIALISE);
    request.faults().renameAction("StatusPost").refuse(QEL_SERVICE_REGISTER_TAG, "qelPOP", kUnknown);
    EXPECT_EQ(caller.registerTag("qelIncludeHTTP", QEL_TAG_KIND_EMPTY), 0);
    EXPECT_EQ(caller.registerTag("qelPOP", QEL_TAG_KIND_EMPTY), kUnknown);
    EXPECT_EQ(caller.registerTag("qelSendMail", QEL_TAG_KIND_WITH_BODY), 0);
    ServiceCaller::Output action = caller.inOut(QEL_SERVICE_REGISTER_ACTION, "SendMail", 32);
    EXPECT_EQ(action.answer, 0);
    EXPECT_EQ(action.text, "StatusPost");

    Registration registration = request.host().registration();
    EXPECT_EQ(registration.tags.size(), 2u);
    EXPECT_FALSE(registration.findTag("qelPOP").has_value());
    EXPECT_EQ(registration.actionName, "StatusPost");

    // A longer answer than the module's buffer goes through the 'MBtS' retry.
    request.faults().renameAction(std::string(40, 'A'));
    action = caller.inOut(QEL_SERVICE_REGISTER_ACTION, "SendMail", 32);
    EXPECT_EQ(action.calls, 2);
    EXPECT_EQ(action.text, std::string(40, 'A'));
}

TEST_F(FaultPlanTest, SharedPlanAppliesToEveryRequestUsingIt) {
    auto plan = std::make_shared<FaultPlan>();
    plan->failNth(QEL_SERVICE_WRITE_TEXT, 2);
    HostRequest first(request.host(), QEL_REQUEST_TAG);
    HostRequest second(request.host(), QEL_REQUEST_TAG);
    first.shareFaults(plan);
    second.shareFaults(plan);
    EXPECT_EQ(ServiceCaller(first.context()).writeText("a"), 0);
    EXPECT_EQ(ServiceCaller(second.context()).writeText("b"), kGeneral);
    EXPECT_EQ(ServiceCaller(first.context()).writeText("c"), 0);
    EXPECT_EQ(first.output(), "ac");
    EXPECT_EQ(second.output(), "");
}

} // namespace
} // namespace velquor::host
