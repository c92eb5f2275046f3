// AdminAreaTest.cpp: logging in to the administration area: failed logins logged and
// slowed without holding the request; forgetting an attachment folder that the data file
// refuses to forget; and the read-only view of the databases (escaping, pages, cut texts,
// access).
#include "host/lib/AdminArea.h"

#include "TempFolder.h"
#include "host/lib/DatabaseStore.h"
#include "host/lib/DownloadFolders.h"
#include "host/lib/Host.h"
#include "host/lib/HostIdentity.h"
#include "host/lib/RequestRouter.h"
#include "host/lib/SqliteConnection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

using namespace std::chrono_literals;

// "admin:s3cret" and "admin:wrong" in HTTP Basic.
const char kRight[] = "Basic YWRtaW46czNjcmV0";
const char kWrong[] = "Basic YWRtaW46d3Jvbmc=";

class AdminAreaTest : public ::testing::Test {
protected:
    AdminAreaTest()
        : identity_("127.0.0.1", 8080, {}, {}, {"127.0.0.1"}), router_(makeSite(), "/_velquor/", nullptr) {
        std::string error;
        downloads_ = DownloadFolders::openFile(folder_ / "velquor.sqlite", &error);
        host_.setLogSink([this](const std::string &line) { log_ += line + "\n"; });
    }

    std::string makeSite() {
        fs::create_directories(folder_ / "site/uploads");
        return folder_ / "site";
    }

    std::unique_ptr<AdminArea> makeArea(const std::string &password) {
        auto area = std::make_unique<AdminArea>(host_, identity_, router_, *downloads_, password);
        area->useLoginThrottle(std::make_unique<LoginThrottle>(LoginThrottle::Limits(), [this] { return now_; }));
        return area;
    }

    static WebRequest request(const std::string &method, const std::string &remote, const std::string &authorization,
                              NameValueList fields = {}, const std::string &target = "/_velquor/") {
        WebRequest web;
        web.method = method;
        web.target = target;
        web.remoteAddress = remote;
        web.headers = {{"Host", "127.0.0.1:8080"}, {"Origin", "http://127.0.0.1:8080"}};
        if (!authorization.empty()) {
            web.headers.emplace_back("Authorization", authorization);
        }
        web.bodyFields = std::move(fields);
        return web;
    }

    static std::string header(const WebResponse &response, const std::string &name) {
        for (const auto &[key, value] : response.headers) {
            if (key == name) {
                return value;
            }
        }
        return "";
    }

    // A database with the fields (added when it has none) and one record per row, the
    // values in the order of the fields.
    void addRecords(const std::string &database, const std::vector<std::string> &fields,
                    const std::vector<std::vector<FieldValue>> &rows) {
        DatabaseStore &store = host_.databases();
        uint32_t handle = 0;
        ASSERT_EQ(store.openDatabase(1, database, QEL_OPEN_EXCLUSIVE, &handle), 0);
        uint32_t count = 0;
        ASSERT_EQ(store.fieldCount(1, handle, &count), 0);
        for (size_t index = count; index < fields.size(); ++index) {
            ASSERT_EQ(store.addField(1, handle, fields[index], 0x00070000u), 0);
        }
        for (const std::vector<FieldValue> &row : rows) {
            ASSERT_EQ(store.createRecord(1, handle), 0);
            for (size_t index = 0; index < row.size(); ++index) {
                ASSERT_EQ(store.setFieldValue(1, handle, fields[index], row[index]), 0);
            }
            ASSERT_EQ(store.addRecord(1, handle), 0);
        }
        ASSERT_EQ(store.closeDatabase(1, handle), 0);
    }

    // The database view asked for with that query, as a loopback client.
    static WebResponse view(AdminArea &area, const std::string &query) {
        return area.handle(request("GET", "127.0.0.1", "", {}, "/_velquor/database?" + query), "database");
    }

    // The record numbers of a view page in the order shown.
    static std::vector<int> shownRecords(const std::string &body) {
        std::vector<int> records;
        std::regex caption("<caption>Record ([0-9]+)</caption>");
        for (std::sregex_iterator it(body.begin(), body.end(), caption), end; it != end; ++it) {
            records.push_back(std::stoi((*it)[1].str()));
        }
        return records;
    }

    // The cell of a field in a record of a view page; nothing when there is none.
    static std::optional<std::string> shownValue(const std::string &body, int record, const std::string &field) {
        size_t start = body.find("<caption>Record " + std::to_string(record) + "</caption>");
        if (start == std::string::npos) {
            return std::nullopt;
        }
        std::string opening = "<tr><th>" + field + "</th><td>";
        size_t cell = body.find(opening, start);
        size_t end = cell == std::string::npos ? cell : body.find("</td>", cell);
        if (end == std::string::npos || body.find("</table>", start) < cell) {
            return std::nullopt;
        }
        return body.substr(cell + opening.size(), end - cell - opening.size());
    }

    test::TempFolder folder_;
    Host host_;
    HostIdentity identity_;
    RequestRouter router_;
    std::unique_ptr<DownloadFolders> downloads_;
    LoginThrottle::Clock::time_point now_ = LoginThrottle::Clock::time_point(1h);
    std::string log_;
};

TEST_F(AdminAreaTest, FailedLoginsAreLoggedAndMakeTheNextLoginWait) {
    std::unique_ptr<AdminArea> area = makeArea("s3cret");
    struct Step {
        std::chrono::milliseconds later;
        const char *remote;
        const char *authorization;
        int status;
        const char *retryAfter;
    };
    const Step steps[] = {
        {0ms, "198.51.100.7", "", 401, ""},         // no credentials: no guess, no wait
        {0ms, "198.51.100.7", "", 401, ""},
        {0ms, "198.51.100.7", kRight, 200, ""},
        {0ms, "198.51.100.7", kWrong, 401, ""},     // a failure: logged
        {0ms, "198.51.100.7", kRight, 429, "1"},    // answered at once: wait, whatever the password
        {0ms, "203.0.113.9", kWrong, 429, "1"},     // another address waits too
        {1000ms, "198.51.100.7", kWrong, 401, ""},  // the second failure in a row
        {1000ms, "198.51.100.7", kRight, 429, "1"},
        {1000ms, "198.51.100.7", kRight, 200, ""},
    };
    int index = 0;
    for (const Step &step : steps) {
        now_ += step.later;
        WebResponse response = area->handle(request("GET", step.remote, step.authorization), "");
        EXPECT_EQ(response.status, step.status) << "step " << index;
        EXPECT_EQ(header(response, "Retry-After"), step.retryAfter) << "step " << index;
        ++index;
    }
    EXPECT_NE(log_.find(" administrator login from 198.51.100.7 failed (1 in a row); the next one is checked in 1 s\n"),
              std::string::npos)
        << log_;
    EXPECT_NE(log_.find(" administrator login from 198.51.100.7 failed (2 in a row); the next one is checked in 2 s\n"),
              std::string::npos)
        << log_;
    EXPECT_EQ(log_.find("203.0.113.9"), std::string::npos) << "a login that waited was not checked";
}

TEST_F(AdminAreaTest, AFolderTheDataFileWillNotForgetStaysAndTheRefusalIsShown) {
    ASSERT_NE(downloads_, nullptr);
    std::unique_ptr<AdminArea> area = makeArea("");
    std::string uploads = folder_ / "site/uploads/";
    ASSERT_TRUE(downloads_->add(uploads));
    {
        SqliteConnection file;
        std::string error;
        ASSERT_TRUE(file.open(folder_ / "velquor.sqlite", 1000, &error)) << error;
        ASSERT_TRUE(file.execute("CREATE TRIGGER refuse BEFORE DELETE ON velquor_download_folders "
                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                                 &error))
            << error;
    }
    WebResponse response = area->handle(request("POST", "127.0.0.1", "", {{"folder", uploads}}), "downloads/forget");
    EXPECT_EQ(response.status, 500);
    EXPECT_NE(response.body.find("still served as downloads"), std::string::npos) << response.body;
    EXPECT_EQ(downloads_->list(), std::set<std::string>{uploads});
    EXPECT_NE(log_.find("could not be forgotten"), std::string::npos) << log_;

    response = area->handle(request("POST", "127.0.0.1", "", {{"folder", folder_ / "site/other/"}}), "downloads/forget");
    EXPECT_EQ(response.status, 404);
}

TEST_F(AdminAreaTest, TheDatabaseViewEscapesEveryNameAndValue) {
    ASSERT_NO_FATAL_FAILURE(addRecords("Mail <\"&'>", {"<Subject>"},
                                       {{FieldValue::ofText("<script>alert('x')</script> & \"q\"\x01\x7f\r\nend")}}));
    std::unique_ptr<AdminArea> area = makeArea("");
    WebResponse overview = area->handle(request("GET", "127.0.0.1", ""), "");
    ASSERT_EQ(overview.status, 200);
    EXPECT_NE(overview.body.find("<li><a href=\"/_velquor/database?name=Mail%20%3C%22%26%27%3E\">"
                                 "Mail &lt;&quot;&amp;&#39;&gt;</a> (1 record)</li>"),
              std::string::npos)
        << overview.body;

    WebResponse shown = view(*area, "name=Mail%20%3C%22%26%27%3E");
    ASSERT_EQ(shown.status, 200) << shown.body;
    EXPECT_NE(shown.body.find("<h1>Database Mail &lt;&quot;&amp;&#39;&gt;</h1>"), std::string::npos) << shown.body;
    EXPECT_EQ(shownValue(shown.body, 1, "&lt;Subject&gt;"),
              "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;\\x01\\x7F\r\nend");
    for (const char *raw : {"<script>", "<Subject>", "Mail <", "\x01", "\x7f"}) {
        EXPECT_EQ(shown.body.find(raw), std::string::npos) << raw;
    }
}

TEST_F(AdminAreaTest, TheDatabaseViewShowsTwentyRecordsAPageNewestFirst) {
    std::vector<std::vector<FieldValue>> rows;
    for (int number = 1; number <= 45; ++number) {
        rows.push_back({FieldValue::ofText("note " + std::to_string(number))});
    }
    ASSERT_NO_FATAL_FAILURE(addRecords("Notes", {"Note"}, rows));
    std::unique_ptr<AdminArea> area = makeArea("");
    auto range = [](int from, int to) {
        std::vector<int> numbers;
        for (int number = from; number >= to; --number) {
            numbers.push_back(number);
        }
        return numbers;
    };
    const std::string previous = "\">&larr; Previous page (newer)</a>";
    const std::string next = "\">Next page (older) &rarr;</a>";
    struct Case {
        std::string query;
        int status;
        std::vector<int> records;
        std::string previousLink;  // "" when there is none
        std::string nextLink;
    };
    const Case cases[] = {
        {"name=Notes", 200, range(45, 26), "", "/_velquor/database?name=Notes&amp;page=2"},
        {"page=2&name=Notes", 200, range(25, 6), "/_velquor/database?name=Notes", "/_velquor/database?name=Notes&amp;page=3"},
        {"name=notes&page=3", 200, range(5, 1), "/_velquor/database?name=notes&amp;page=2", ""},
        {"name=Notes&page=4", 404, {}, "", ""},
        {"name=Notes&page=0", 400, {}, "", ""},
        {"name=Notes&page=-1", 400, {}, "", ""},
        {"name=Notes&page=1.5", 400, {}, "", ""},
        {"name=Notes&page=", 400, {}, "", ""},
        {"name=Notes&page=10000000000", 400, {}, "", ""},
        {"name=Other", 404, {}, "", ""},
        {"", 404, {}, "", ""},
    };
    for (const Case &test : cases) {
        WebResponse shown = view(*area, test.query);
        EXPECT_EQ(shown.status, test.status) << test.query << "\n" << shown.body;
        EXPECT_EQ(shownRecords(shown.body), test.records) << test.query;
        EXPECT_EQ(shown.body.find(previous) != std::string::npos, !test.previousLink.empty()) << test.query;
        EXPECT_EQ(shown.body.find(next) != std::string::npos, !test.nextLink.empty()) << test.query;
        if (!test.previousLink.empty()) {
            EXPECT_NE(shown.body.find("<a href=\"" + test.previousLink + previous), std::string::npos) << test.query;
        }
        if (!test.nextLink.empty()) {
            EXPECT_NE(shown.body.find("<a href=\"" + test.nextLink + next), std::string::npos) << test.query;
        }
    }
    EXPECT_EQ(shownValue(view(*area, "name=Notes").body, 45, "Note"), "note 45");

    ASSERT_NO_FATAL_FAILURE(addRecords("Empty", {"Note"}, {}));
    WebResponse empty = view(*area, "name=Empty");
    EXPECT_EQ(empty.status, 200);
    EXPECT_NE(empty.body.find("<p>No records yet.</p>"), std::string::npos) << empty.body;
    EXPECT_EQ(view(*area, "name=Empty&page=2").status, 404);
}

TEST_F(AdminAreaTest, TheDatabaseViewCutsLongTextsAtAWholeCharacterAndSaysHowLongTheyAre) {
    const std::string a299(299, 'a');
    const std::string note = "<span class=\"cut\"> &hellip; (cut: ";
    struct Case {
        FieldValue value;
        std::string shown;
    };
    const Case cases[] = {
        {FieldValue::ofText(std::string(300, 'x')), std::string(300, 'x')},
        {FieldValue::ofText(std::string(301, 'x')), std::string(300, 'x') + note + "301 bytes in all)</span>"},
        {FieldValue::ofText(std::string(51200, 'y')), std::string(300, 'y') + note + "51200 bytes in all)</span>"},
        // A character that straddles the cut is left out whole; one that ends at it stays.
        {FieldValue::ofText(a299 + "\xC3\xA9" "b"), a299 + note + "302 bytes in all)</span>"},
        {FieldValue::ofText(a299 + "\xE2\x82\xAC"), a299 + note + "302 bytes in all)</span>"},
        {FieldValue::ofText(a299.substr(1) + "\xC3\xA9"), a299.substr(1) + "\xC3\xA9"},
        // Cut first, escaped afterwards: no half entity.
        {FieldValue::ofText(a299 + "<b>"), a299 + "&lt;" + note + "302 bytes in all)</span>"},
        {FieldValue::ofInteger(-42), "-42"},
        {FieldValue(), ""},
    };
    std::vector<std::vector<FieldValue>> rows;
    for (const Case &test : cases) {
        rows.push_back({test.value});
    }
    ASSERT_NO_FATAL_FAILURE(addRecords("Long", {"Text"}, rows));
    std::unique_ptr<AdminArea> area = makeArea("");
    WebResponse shown = view(*area, "name=Long");
    ASSERT_EQ(shown.status, 200) << shown.body;
    int record = 1;
    for (const Case &test : cases) {
        EXPECT_EQ(shownValue(shown.body, record, "Text"), test.shown) << "record " << record;
        ++record;
    }
}

TEST_F(AdminAreaTest, TheDatabaseViewFollowsTheAreasAccessRules) {
    ASSERT_NO_FATAL_FAILURE(addRecords("Inbox", {"Subject"}, {{FieldValue::ofText("private")}}));
    struct Case {
        const char *password;
        const char *method;
        const char *remote;
        const char *host;
        const char *authorization;
        int status;
    };
    const Case cases[] = {
        {"", "GET", "127.0.0.1", "127.0.0.1:8080", "", 200},
        {"", "HEAD", "::1", "127.0.0.1:8080", "", 200},
        {"", "GET", "198.51.100.7", "127.0.0.1:8080", "", 403},
        {"", "GET", "127.0.0.1", "evil.example:8080", "", 403},
        {"", "POST", "127.0.0.1", "127.0.0.1:8080", "", 405},
        {"s3cret", "GET", "198.51.100.7", "127.0.0.1:8080", "", 401},
        {"s3cret", "GET", "127.0.0.1", "127.0.0.1:8080", "", 401},
        {"s3cret", "GET", "198.51.100.7", "127.0.0.1:8080", kRight, 200},
    };
    for (const Case &test : cases) {
        std::unique_ptr<AdminArea> area = makeArea(test.password);
        WebRequest asked = request(test.method, test.remote, test.authorization, {}, "/_velquor/database?name=Inbox");
        for (auto &[name, value] : asked.headers) {
            if (name == "Host") {
                value = test.host;
            }
        }
        WebResponse shown = area->handle(asked, "database");
        EXPECT_EQ(shown.status, test.status) << test.method << " from " << test.remote << " to " << test.host;
        EXPECT_EQ(shown.body.find("private") != std::string::npos, test.status == 200) << shown.body;
    }
}

} // namespace
} // namespace velquor::host
