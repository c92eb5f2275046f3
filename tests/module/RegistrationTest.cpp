// RegistrationTest.cpp: the initialisation request's registration sequence as the host
// sees it, with refused steps and a renamed action.
#include <gtest/gtest.h>

#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostInterface.h"
#include "module/ModuleNames.h"
#include "module/Registration.h"

using velquor::host::HostRequest;
using velquor::host::Registration;

namespace {

const int32_t kRefusedRegistration = static_cast<int32_t>(QEL_RESULT_REGISTRATION_REFUSED);

std::vector<uint32_t> RegistrationSelectors(const HostRequest &request) {
    std::vector<uint32_t> selectors;
    for (const auto &call : request.calls())
        selectors.push_back(call.selector);
    return selectors;
}

const std::vector<uint32_t> kSequence = {
    QEL_SERVICE_REGISTER_MODULE_NAME, QEL_SERVICE_REGISTER_MODULE_VERSION, QEL_SERVICE_REGISTER_MODULE_VENDOR,
    QEL_SERVICE_REGISTER_TRACKING_URL, QEL_SERVICE_REGISTER_TAG,            QEL_SERVICE_REGISTER_TAG,
    QEL_SERVICE_REGISTER_TAG,          QEL_SERVICE_REGISTER_ACTION,
};

class RegistrationTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The module offers the name it holds, so a host rename lasts; later tests expect
        // the action under its own name again.
        HostRequest restore(QEL_REQUEST_INITIALISE);
        restore.faults().renameAction("SendMail");
        restore.run(ProcessQELRequest);
    }
};

TEST_F(RegistrationTest, RegistersIdentityTagsAndActionInOrder) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    request.setRecording(true);
    ASSERT_EQ(0, request.run(ProcessQELRequest));
    EXPECT_EQ(kSequence, RegistrationSelectors(request));
    Registration registration = request.host().registration();
    EXPECT_EQ("Velquor Module", registration.moduleName);
    EXPECT_EQ("2.1.10", registration.moduleVersion);
    EXPECT_EQ("Tolvaren Software, Inc.", registration.moduleVendor);
    EXPECT_EQ(0u, registration.trackingURL.find("http://"));
    EXPECT_EQ('/', registration.trackingURL.back());
    ASSERT_EQ(3u, registration.tags.size());
    EXPECT_EQ("qelIncludeHTTP", registration.tags[0].name);
    EXPECT_EQ(QEL_TAG_KIND_EMPTY, registration.tags[0].kind);
    EXPECT_EQ("qelPOP", registration.tags[1].name);
    EXPECT_EQ(QEL_TAG_KIND_EMPTY, registration.tags[1].kind);
    EXPECT_EQ("qelSendMail", registration.tags[2].name);
    EXPECT_EQ(QEL_TAG_KIND_WITH_BODY, registration.tags[2].kind);
    EXPECT_EQ("SendMail", registration.actionName);
    EXPECT_TRUE(request.protocolViolations().empty());
}

TEST_F(RegistrationTest, EveryRefusedStepStillRunsTheRest) {
    struct Case {
        uint32_t selector;
        const char *name;
    };
    const Case cases[] = {
        {QEL_SERVICE_REGISTER_MODULE_NAME, ""},     {QEL_SERVICE_REGISTER_MODULE_VERSION, ""},
        {QEL_SERVICE_REGISTER_MODULE_VENDOR, ""},   {QEL_SERVICE_REGISTER_TRACKING_URL, ""},
        {QEL_SERVICE_REGISTER_TAG, "qelIncludeHTTP"}, {QEL_SERVICE_REGISTER_TAG, "qelPOP"},
        {QEL_SERVICE_REGISTER_TAG, "qelSendMail"},  {QEL_SERVICE_REGISTER_ACTION, ""},
    };
    for (const Case &c : cases) {
        HostRequest request(QEL_REQUEST_INITIALISE);
        request.setRecording(true);
        request.faults().refuse(c.selector, c.name);
        EXPECT_EQ(kRefusedRegistration, request.run(ProcessQELRequest)) << std::hex << c.selector << c.name;
        EXPECT_EQ(kSequence, RegistrationSelectors(request));
    }
}

TEST_F(RegistrationTest, RefusedPOPTagKeepsTheOtherTagsAndTheAction) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    request.faults().refuse(QEL_SERVICE_REGISTER_TAG, "qelPOP");
    EXPECT_EQ(kRefusedRegistration, request.run(ProcessQELRequest));
    Registration registration = request.host().registration();
    EXPECT_TRUE(registration.findTag("qelIncludeHTTP").has_value());
    EXPECT_FALSE(registration.findTag("qelPOP").has_value());
    EXPECT_TRUE(registration.findTag("qelSendMail").has_value());
    EXPECT_EQ("SendMail", registration.actionName);
}

TEST_F(RegistrationTest, RenamedActionIsTheOneTheModuleAnswers) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    request.faults().renameAction("DeliveryStatus");
    ASSERT_EQ(0, request.run(ProcessQELRequest));
    EXPECT_EQ(QELHashedName("deliverystatus", QELHashedName::kCaseInsensitive), QELRegistration::ActionName());
    EXPECT_NE(QELHashedName("SendMail", QELHashedName::kCaseInsensitive), QELRegistration::ActionName());
}

TEST_F(RegistrationTest, RefusedActionKeepsTheEarlierName) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    request.faults().refuse(QEL_SERVICE_REGISTER_ACTION);
    EXPECT_EQ(kRefusedRegistration, request.run(ProcessQELRequest));
    EXPECT_EQ(QELHashedName("SendMail", QELHashedName::kCaseInsensitive), QELRegistration::ActionName());
}

TEST_F(RegistrationTest, ActionNameAnsweredTooSmallIsReadThroughOneResize) {
    HostRequest request(QEL_REQUEST_INITIALISE);
    request.setRecording(true);
    const std::string longName(100, 'A');
    request.faults().renameAction(longName);
    ASSERT_EQ(0, request.run(ProcessQELRequest));
    EXPECT_EQ(2u, request.countCalls(QEL_SERVICE_REGISTER_ACTION));
    EXPECT_EQ(longName, std::string(QELRegistration::ActionName().text().text()));
}

TEST_F(RegistrationTest, SecondInitialisationRegistersEverythingAgain) {
    HostRequest first(QEL_REQUEST_INITIALISE);
    HostRequest second(first.host(), QEL_REQUEST_INITIALISE);
    second.setRecording(true);
    ASSERT_EQ(0, first.run(ProcessQELRequest));
    ASSERT_EQ(0, second.run(ProcessQELRequest));
    EXPECT_EQ(kSequence, RegistrationSelectors(second));
    EXPECT_EQ(3u, second.host().registration().tags.size());
}

TEST_F(RegistrationTest, NameTableHoldsTheVocabulary) {
    const QELModuleNames &names = ModuleNames();
    EXPECT_STREQ("qelIncludeHTTP", names.regionTags[0]);
    EXPECT_STREQ("qelPOP", names.regionTags[1]);
    EXPECT_STREQ("qelSendMail", names.regionTags[2]);
    EXPECT_EQ(nullptr, names.regionTags[3]);
    // Hashed names compare by their case-insensitive key.
    EXPECT_EQ(QELHashedName("HEADERSANDCONTENT", QELHashedName::kCaseInsensitive), names.keywordHeadersAndContent);
    EXPECT_EQ(QELHashedName("&LT;&LT;", QELHashedName::kCaseInsensitive), names.commandPreviousEscaped);
    EXPECT_STREQ("__QELDB__SendMail_Log__", names.logDatabaseName.text());
    EXPECT_STREQ("Unique ID", names.fieldUniqueID.text());
    EXPECT_STREQ("-12", names.gmtOffsetMinimum.toText().text());
    EXPECT_STREQ("12", names.gmtOffsetMaximum.toText().text());
}

}  // namespace
