// HostServicesTest.cpp: the module's wrappers of the host's page services against the
// reference host: the 'MBtS' repeat, typed parameters, the missing-parameter error,
// in/out copies and folders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <utility>

#include "foundation/Decimal.h"
#include "host/lib/Host.h"
#include "host/lib/HostRequest.h"
#include "module/HostDatabase.h"
#include "module/HostServices.h"

using velquor::host::HostRequest;

namespace {

std::string Text(const QELString &text) { return std::string(text.text(), text.length()); }

class HostServicesTest : public ::testing::Test {
protected:
    HostServicesTest() : request_(QEL_REQUEST_TAG), host_(*request_.context()) {
        request_.setTagName("qelSendMail");
        request_.setRecording(true);
    }
    HostRequest request_;
    QELHostServices host_;
};

TEST_F(HostServicesTest, LongParameterIsReadThroughOneResizeToTheReportedSize) {
    const std::string value(100, 'v');
    request_.addTagParameter("message", value);
    QELString read;
    ASSERT_TRUE(host_.GetTagParameter("message", 0, read));
    EXPECT_EQ(value, Text(read));
    auto calls = request_.callsOf(QEL_SERVICE_GET_TAG_PARAMETER);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL), calls[0].answer);
    EXPECT_NE(std::string::npos, calls[0].text.find("capacity=32")) << calls[0].text;
    EXPECT_NE(std::string::npos, calls[1].text.find("capacity=101")) << calls[1].text;
    EXPECT_EQ(0, calls[1].answer);
}

TEST_F(HostServicesTest, TooSmallTwiceGivesTheDefault) {
    request_.addTagParameter("subject", "Hello");
    request_.faults().bufferTooSmall(QEL_SERVICE_GET_TAG_PARAMETER, 2);
    QELString read;
    EXPECT_FALSE(host_.GetTagParameter("subject", 0, read, "fallback"));
    EXPECT_EQ("fallback", Text(read));
    EXPECT_EQ(2u, request_.countCalls(QEL_SERVICE_GET_TAG_PARAMETER));
}

TEST_F(HostServicesTest, PresentButEmptyParameterIsFoundAndNotReportedMissing) {
    request_.addTagParameter("cc", "");
    QELString read("stale");
    EXPECT_TRUE(host_.GetTagParameter("cc", 0, read, "default"));
    EXPECT_EQ("", Text(read));
    EXPECT_TRUE(host_.ReportMissingParameter("CC", 0, read));
    EXPECT_FALSE(request_.errorInfo().has_value());
}

TEST_F(HostServicesTest, OccurrencesFollowTheDocumentOrder) {
    request_.addTagParameter("to", "a@example.com");
    request_.addTagParameter("from", "x@example.com");
    request_.addTagParameter("TO", "b@example.com");
    QELString read;
    ASSERT_TRUE(host_.GetTagParameter("to", 1, read));
    EXPECT_EQ("b@example.com", Text(read));
    EXPECT_FALSE(host_.GetTagParameter("to", 2, read));
}

TEST_F(HostServicesTest, MissingParameterIsReportedWithTheStandardTexts) {
    QELString read;
    EXPECT_FALSE(host_.ReportMissingParameter("url", 0, read));
    ASSERT_TRUE(request_.errorInfo().has_value());
    EXPECT_EQ("An &lt;qelSendMail&gt; tag was found but it is missing its &quot;url&quot; parameter.",
              request_.errorInfo()->message);
    EXPECT_EQ("Check the &lt;qelSendMail&gt; tag to see if the &quot;url&quot; parameter is missing or "
              "misspelled.",
              request_.errorInfo()->explanation);
}

TEST_F(HostServicesTest, TypedParametersConvertTheirText) {
    request_.addTagParameter("method", "post");
    request_.addTagParameter("displayLimit", " 1,250 ");
    request_.addTagParameter("gmtOffset", "-5.5");
    request_.addTagParameter("sendAsHTML", "Yes");
    request_.addTagParameter("flag2", "2");
    request_.addTagParameter("negative", "-1");
    request_.addTagParameter("negativeZero", "-0");

    QELHashedName method;
    ASSERT_TRUE(host_.GetTagParameter("METHOD", 0, method, QELHashedName("GET", QELHashedName::kCaseInsensitive)));
    EXPECT_EQ(QELHashedName("POST", QELHashedName::kCaseInsensitive), method);

    uint32_t limit = 0;
    ASSERT_TRUE(host_.GetTagParameter("displayLimit", 0, limit, 7u));
    EXPECT_EQ(1250u, limit);
    EXPECT_FALSE(host_.GetTagParameter("nothing", 0, limit, 7u));
    EXPECT_EQ(7u, limit);
    // A negative count is refused, never read as 4,294,967,295.
    limit = 0;
    EXPECT_FALSE(host_.GetTagParameter("negative", 0, limit, 7u));
    EXPECT_EQ(7u, limit);
    EXPECT_TRUE(host_.GetTagParameter("negativeZero", 0, limit, 7u));
    EXPECT_EQ(0u, limit);

    QELDecimal offset;
    ASSERT_TRUE(host_.GetTagParameter("gmtOffset", 0, offset, QELDecimal("0")));
    EXPECT_EQ("-5.5", Text(offset.toText()));

    bool flag = false;
    ASSERT_TRUE(host_.GetTagParameterFlag("sendAsHTML", 0, flag, false));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(host_.GetTagParameterFlag("flag2", 0, flag, true));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(host_.GetTagParameterFlag("absent", 0, flag, true));
    EXPECT_TRUE(flag);
}

TEST_F(HostServicesTest, ParameterAtPositionGrowsBothBuffers) {
    const std::string longName(40, 'n');
    const std::string longValue(70, 'v');
    request_.addTagParameter("short", "1");
    request_.addTagParameter(longName, longValue);
    QELHashedName name;
    QELString value;
    ASSERT_TRUE(host_.GetTagParameterAt(1, name, value));
    EXPECT_EQ(longName, Text(name.text()));
    EXPECT_EQ(longValue, Text(value));
    auto calls = request_.callsOf(QEL_SERVICE_GET_TAG_PARAMETER_AT);
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL), calls[0].answer);
    EXPECT_EQ(0, calls[1].answer);

    ASSERT_TRUE(host_.GetTagParameterAt(0, name, value));
    EXPECT_EQ(QELHashedName("SHORT", QELHashedName::kCaseInsensitive), name);
    EXPECT_FALSE(host_.GetTagParameterAt(2, name, value));
}

TEST_F(HostServicesTest, TagBodyStartsWithCapacity63) {
    request_.setTagBody(std::string(63, 'b'));
    EXPECT_EQ(std::string(63, 'b'), Text(host_.GetTagBody()));
    auto calls = request_.callsOf(QEL_SERVICE_GET_TAG_BODY);
    ASSERT_EQ(2u, calls.size());  // 63 bytes and the terminator need 64
    EXPECT_NE(std::string::npos, calls[0].text.find("capacity=63")) << calls[0].text;

    request_.clearCalls();
    request_.setTagBody(std::string(62, 'b'));
    EXPECT_EQ(62u, host_.GetTagBody().length());
    EXPECT_EQ(1u, request_.countCalls(QEL_SERVICE_GET_TAG_BODY));

    request_.clearTagBody();
    EXPECT_TRUE(host_.GetTagBody().isEmpty());
}

TEST_F(HostServicesTest, FormArgumentsAndCGIVariables) {
    request_.addFormArgument("name", "first");
    request_.addFormArgument("name", "");
    request_.setCGIVariable("SCRIPT_NAME", "/dir/page.html");
    QELString value;
    ASSERT_TRUE(host_.GetFormArgument("NAME", 1, value, "x"));
    EXPECT_EQ("", Text(value));
    EXPECT_FALSE(host_.GetFormArgument("name", 2, value, "x"));
    EXPECT_EQ("x", Text(value));
    EXPECT_EQ("/dir/page.html", Text(host_.GetCGIVariable("SCRIPT_NAME")));
    EXPECT_EQ("", Text(host_.GetCGIVariable("NO_SUCH_VARIABLE")));
}

TEST_F(HostServicesTest, PageVariablesErrorInfoAndLog) {
    EXPECT_TRUE(host_.SetPageVariable("newMessages", "3"));
    EXPECT_EQ("3", request_.pageVariable("newMessages").value_or(""));
    EXPECT_TRUE(host_.SetErrorInfo("message", "explanation"));
    EXPECT_EQ("explanation", request_.errorInfo()->explanation);
    EXPECT_TRUE(host_.WriteLogEntry("database could not be opened"));
    ASSERT_EQ(1u, request_.logEntries().size());
    EXPECT_EQ(QEL_LOG_ENTRY_KIND, request_.logEntries()[0].kind);
}

TEST_F(HostServicesTest, PreferencesRoundTripAndRemovalRestoresTheDefault) {
    request_.setRegion("/");
    bool found = true;
    EXPECT_EQ("dflt", Text(host_.GetPreference("mailServerName", "dflt", &found)));
    EXPECT_FALSE(found);
    host_.SetPreference("mailServerName", "smtp.example.com");
    EXPECT_EQ("smtp.example.com", Text(host_.GetPreference("mailServerName", "dflt", &found)));
    EXPECT_TRUE(found);
    host_.RemovePreference("mailServerName");
    EXPECT_EQ("dflt", Text(host_.GetPreference("mailServerName", "dflt")));
}

class HostServicesFolderTest : public HostServicesTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velquor-services-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/site/dir/uploads");
        std::filesystem::create_directories(root_ + "/data");
        request_.host().folders().setSiteRoot(root_ + "/site");
        request_.host().folders().setDataRoot(root_ + "/data");
        request_.setPageFolder(root_ + "/site/dir/");
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::string root_;
};

TEST_F(HostServicesFolderTest, ResolveFolderPathRepeatsWithAFreshCopyOfTheInput) {
    QELString path("uploads");
    ASSERT_TRUE(host_.ResolveFolderPath(path));
    EXPECT_EQ(root_ + "/site/dir/uploads/", Text(path));
    auto calls = request_.callsOf(QEL_SERVICE_RESOLVE_FOLDER_PATH);
    ASSERT_EQ(2u, calls.size());  // "uploads" is far shorter than the answer
    EXPECT_EQ(static_cast<int32_t>(QEL_ANSWER_BUFFER_TOO_SMALL), calls[0].answer);
    EXPECT_EQ("uploads", calls[1].name);

    QELString escape("../../etc");
    EXPECT_FALSE(host_.ResolveFolderPath(escape));
    EXPECT_EQ("../../etc", Text(escape));
}

TEST_F(HostServicesFolderTest, FoldersEndWithTheSeparator) {
    EXPECT_EQ(root_ + "/site/dir/", Text(host_.GetPageFolderPath()));
    QELString data = host_.GetDataFolderPath("FM");
    EXPECT_EQ('/', data[data.length() - 1]);
    EXPECT_TRUE(std::filesystem::is_directory(Text(data)));
}

TEST_F(HostServicesTest, UnansweredServicesGiveTheirDefaults) {
    for (uint32_t selector : {QEL_SERVICE_GET_VIRTUAL_HOST, QEL_SERVICE_GET_PAGE_FOLDER_PATH,
                              QEL_SERVICE_GET_DATA_FOLDER_PATH, QEL_SERVICE_GET_CGI_VARIABLE})
        request_.faults().refuse(selector);
    request_.setVirtualHost("www.example.com");
    EXPECT_TRUE(host_.GetVirtualHost().isEmpty());
    EXPECT_TRUE(host_.GetPageFolderPath().isEmpty());
    EXPECT_TRUE(host_.GetDataFolderPath("FM").isEmpty());
    EXPECT_TRUE(host_.GetCGIVariable("SCRIPT_NAME").isEmpty());
}

TEST_F(HostServicesTest, AnswerSizesAreNeverTrustedBeyondTheBuffer) {
    // A host that claims a longer answer than the buffer holds is read up to the buffer.
    HostContext context = *request_.context();
    context.callback = [](uintptr_t, uint32_t, void *a1, void *a2, void *, void *, void *) -> int32_t {
        auto *size = static_cast<uint32_t *>(a2);
        std::memset(a1, 'h', *size);
        *size = 100000;
        return 0;
    };
    QELHostServices liar(context);
    EXPECT_EQ(32u, liar.GetVirtualHost().length());
}

// A host may write into any text it is handed: that must never reach a string of the
// module, nor a copy that shares its buffer.
void Scribble(void *text, void *count) {
    if (text != nullptr && count != nullptr && *static_cast<uint32_t *>(count) > 1)
        static_cast<char *>(text)[0] = '#';
}

TEST(HostServicesInput, AHostWritingIntoItsInputsChangesNoStringOfTheModule) {
    HostContext context{};
    context.callback = [](uintptr_t, uint32_t, void *a1, void *a2, void *a3, void *a4, void *) -> int32_t {
        Scribble(a1, a2);
        Scribble(a3, a4);
        return 1;
    };
    context.databaseCallback = [](uintptr_t, uint32_t, void *, void *a2, void *a3, void *a4, void *a5,
                                  void *a6) -> int32_t {
        Scribble(a2, a3);
        if (a6 != nullptr && *static_cast<uint32_t *>(a6) == QEL_VALUE_TEXT)
            Scribble(a4, a5);
        return 1;
    };
    QELHostServices host(context);
    QELHostDatabase database(context);
    const QELString first("first text");
    const QELString second("second text");
    const QELString firstShared(first), secondShared(second);
    QELString value;
    uint32_t handle = 0;
    const std::function<void()> calls[] = {
        [&] { host.WriteText(first); },
        [&] {
            QELString taken(first);
            host.WriteText(std::move(taken));
        },
        [&] { host.WriteLogEntry(first); },
        [&] { host.SetErrorInfo(first, second); },
        [&] { host.SetPageVariable(first, second); },
        [&] { host.SetPreference(first, second); },
        [&] { host.RemovePreference(first); },
        [&] { host.GetPreference(first, second); },
        [&] { host.GetTagParameter(first, 0, value); },
        [&] { host.GetFormArgument(first, 0, value); },
        [&] { host.GetCGIVariable(first); },
        [&] { host.RegisterTag(first, 0x20); },
        [&] { database.DatabaseStartup(first, second, second); },
        [&] { database.OpenDatabase(first, QEL_OPEN_SHARED, second, handle); },
        [&] { database.AddField(handle, first, 0x06060032); },
        [&] { database.SetFieldValue(handle, first, second); },
        [&] { database.GetFieldText(handle, first); },
        [&] { database.GetFieldInteger(handle, first); },
        [&] { database.SelectRecords(handle, first); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        calls[i]();
        EXPECT_EQ("first text", Text(first)) << "call " << i;
        EXPECT_EQ("first text", Text(firstShared)) << "call " << i;
        EXPECT_EQ("second text", Text(second)) << "call " << i;
        EXPECT_EQ("second text", Text(secondShared)) << "call " << i;
    }
}

// What the host last received as the text of 'MWtS'.
const void *gWrittenBytes = nullptr;

// A taken text whose bytes no other string shares goes to the host as it is, and the
// host may write into it; shared bytes go as a copy, so no other string changes.
TEST(HostServicesInput, ATakenTextGoesToTheHostWithoutACopyUnlessShared) {
    HostContext context{};
    context.callback = [](uintptr_t, uint32_t selector, void *a1, void *a2, void *, void *, void *) -> int32_t {
        if (selector != QEL_SERVICE_WRITE_TEXT)
            return 1;
        gWrittenBytes = a1;
        Scribble(a1, a2);
        return 0;
    };
    QELHostServices host(context);
    for (bool shared : {false, true}) {
        QELString text(std::string(5000, 't').c_str());
        QELString other;
        if (shared)
            other = text;
        const void *bytes = text.text();
        gWrittenBytes = nullptr;
        EXPECT_TRUE(host.WriteText(std::move(text))) << "shared " << shared;
        EXPECT_TRUE(text.isEmpty()) << "shared " << shared;
        EXPECT_EQ(gWrittenBytes == bytes, !shared) << "shared " << shared;
        EXPECT_NE(gWrittenBytes, nullptr) << "shared " << shared;
        if (shared) {
            EXPECT_EQ(std::string(5000, 't'), Text(other));
        }
    }
}

}  // namespace
