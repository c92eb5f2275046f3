// MultipartMessageTest.cpp: the multipart parser: the walk and its text result, header
// tokens, nesting and its limit, named parts, and the files it stores in a folder.
#include "mail/MultipartMessage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/TemporaryFolder.h"
#include "support/ZoneProcess.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

// One part: its header lines, the blank line, its content and the CR LF before the next
// delimiter.
std::string Part(const std::string &boundary, const std::string &headers, const std::string &content) {
    return "--" + boundary + "\r\n" + headers + "\r\n\r\n" + content + "\r\n";
}

std::string Closing(const std::string &boundary) { return "--" + boundary + "--\r\n"; }

Pairs ListOf(const QELNameValueList &list) {
    Pairs pairs;
    for (uint32_t i = 0; i < list.count(); ++i)
        pairs.emplace_back(Std(list.name(i).text()), Std(list.value(i)));
    return pairs;
}

// The files of a folder by name, with their contents.
std::map<std::string, std::string> FilesIn(const std::string &folder) {
    std::map<std::string, std::string> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error))
        files[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
    return files;
}

struct Outcome {
    bool result;
    std::string text;
    Pairs list;
};

Outcome ParseAll(const std::string &body, const std::string &boundary, const std::string &folder = "",
                 const std::string &patterns = ".*", uint32_t sizeLimit = 0) {
    QELMultipartMessage parser;
    QELNameValueList list;
    QELString text("unchanged");
    const QELStringSplitter patternList(Q(patterns), QELString(","));
    Outcome outcome;
    outcome.result = parser.ParseMultipart(Q(body), Q(boundary), 0, static_cast<uint32_t>(body.size()),
                                           Q(folder), patternList, sizeLimit, text, &list);
    outcome.text = Std(text);
    outcome.list = ListOf(list);
    return outcome;
}

TEST(QELMultipartMessage, WalkGivesTheTextOfTheLastUndisposedPartAndListsNamedParts) {
    const std::string twoParts = "This is a preamble.\r\n" + Part("b", "Content-Type: text/plain", "plain text") +
                                 Part("b", "Content-Type: text/html", "<p>html</p>") + Closing("b") +
                                 "an epilogue\r\n";
    const std::string alternative = Part("in", "Content-Type: text/plain", "inner plain") +
                                    Part("in", "Content-Type: text/html", "inner html") + Closing("in");
    const std::string namedOnly = Part("in", "Content-Disposition: inline; name=\"a\"", "A") + Closing("in");
    struct Case {
        const char *what;
        std::string body;
        std::string boundary;
        bool result;
        std::string text;
        Pairs list;
    } cases[] = {
        {"preamble and two parts", twoParts, "b", true, "<p>html</p>", {}},
        {"nested alternative",
         Part("b", "Content-Type: text/plain", "outer") +
             Part("b", "Content-Type: multipart/alternative; boundary=in", alternative) + Closing("b"),
         "b", true, "inner html", {}},
        {"a nested body of named parts leaves its whole text",
         Part("b", "Content-Type: multipart/mixed;\r\n boundary=\"in\"", namedOnly) + Closing("b"), "b", true,
         namedOnly, {{"a", "A"}}},
        {"lower-case names and tokens on continuation lines",
         Part("b", "content-disposition: form-data;\r\n\tNAME=\"field\"", "value") +
             Part("b", "content-type: text/plain; charset=us-ascii", "body") + Closing("b"),
         "b", true, "body", {{"field", "value"}}},
        {"tokens that lack their separator are ignored",
         Part("b", "Content-Disposition form-data; names=x; name=\"n\"", "v") + Closing("b"), "b", true, "v",
         {{"n", "v"}}},
        {"attachment and unnamed inline parts are not listed",
         Part("b", "Content-Disposition: attachment; name=a; filename=a.pdf", "%PDF") +
             Part("b", "Content-Disposition: INLINE", "i") + Closing("b"),
         "b", true, "unchanged", {}},
        {"no closing delimiter", Part("b", "Content-Type: text/plain", "text"), "b", false, "unchanged", {}},
        {"an empty boundary", Part("", "Content-Type: text/plain", "text") + Closing(""), "", false, "unchanged", {}},
        {"a nested part without its boundary",
         Part("b", "Content-Type: multipart/mixed", alternative) + Closing("b"), "b", false, alternative, {}},
        {"a part without a blank line ends the walk",
         Part("b", "Content-Type: text/plain", "first") + "--b\r\nContent-Type: text/plain\r\nno blank\r\n" +
             Part("b", "Content-Type: text/plain", "third") + Closing("b"),
         "b", true, "first", {}},
        {"the last closing delimiter counts; an earlier one ends the walk",
         Part("b", "", "one") + Closing("b") + Part("b", "", "two") + Closing("b"), "b", true, "one", {}},
        {"only a closing delimiter", Closing("b"), "b", true, "unchanged", {}},
        {"an empty part", Part("b", "Content-Disposition: form-data; name=e", "") + Closing("b"), "b", true,
         "unchanged", {{"e", ""}}},
        {"a part that ends at once", "--b\r\n\r\n\r\n--b--", "b", true, "", {}},
        {"delimiters that overlap", "------", "-", true, "unchanged", {}},
    };
    for (const Case &c : cases) {
        Outcome outcome = ParseAll(c.body, c.boundary);
        EXPECT_EQ(c.result, outcome.result) << c.what;
        EXPECT_EQ(c.text, outcome.text) << c.what;
        EXPECT_EQ(c.list, outcome.list) << c.what;
    }
}

TEST(QELMultipartMessage, SearchesStayInsideTheirStretch) {
    const std::string body = "xx" + Part("b", "", "one") + Part("b", "", "two") + Closing("b") + "yy";
    const uint32_t size = static_cast<uint32_t>(body.size());
    const uint32_t secondPart = static_cast<uint32_t>(body.find("--b", 3));
    const uint32_t closing = static_cast<uint32_t>(body.find("--b--"));
    struct Case {
        uint32_t start;
        uint32_t length;
        bool result;
        std::string text;
    } cases[] = {
        {0, size, true, "two"},
        {secondPart, size - secondPart, true, "two"},
        {0, closing + 4, false, "unchanged"},      // the closing delimiter cut short
        {closing + 1, size, false, "unchanged"},   // starts past every delimiter
        {size + 10, 5, false, "unchanged"},        // past the end of the body
        {0, 0, false, "unchanged"},
    };
    for (const Case &c : cases) {
        QELMultipartMessage parser;
        QELString text("unchanged");
        EXPECT_EQ(c.result, parser.ParseMultipart(Q(body), QELString("b"), c.start, c.length, QELString(),
                                                  QELStringSplitter(), 0, text, nullptr))
            << c.start << "+" << c.length;
        EXPECT_EQ(c.text, Std(text)) << c.start << "+" << c.length;
    }

    // The text result may be the body itself.
    QELString shared = Q(body);
    QELMultipartMessage parser;
    EXPECT_TRUE(parser.ParseMultipart(shared, QELString("b"), 0, size, QELString(), QELStringSplitter(), 0, shared,
                                      nullptr));
    EXPECT_EQ("two", Std(shared));
}

// Level k holds a named part and a multipart part with level k + 1, down to level 1,000.
// No boundary begins another ("b0032x", "b0320x").
TEST(QELMultipartMessage, NestingStopsAtThirtyTwoLevels) {
    auto boundaryOf = [](int level) {
        char text[16];
        std::snprintf(text, sizeof text, "b%04dx", level);
        return std::string(text);
    };
    std::string body;
    std::vector<std::string> closings;
    for (int level = 1; level <= 1000; ++level) {
        const std::string boundary = boundaryOf(level);
        body += Part(boundary, "Content-Disposition: inline; name=\"level " + std::to_string(level) + "\"",
                     std::to_string(level));
        body += Part(boundary, "Content-Type: multipart/mixed; boundary=" + boundaryOf(level + 1), "");
        body.resize(body.size() - 2);  // the nested body follows
        closings.push_back("\r\n" + Closing(boundary));
    }
    body += "innermost";
    for (auto it = closings.rbegin(); it != closings.rend(); ++it)
        body += *it;
    // The 32nd level's multipart part is the last text met; the walk of level 33 is refused.
    const size_t level33 = body.find("--" + boundaryOf(33) + "\r\n");
    const std::string lastText = body.substr(level33, body.find("\r\n--" + boundaryOf(32) + "--") - level33);

    for (bool wholePart : {false, true}) {
        QELMultipartMessage parser;
        QELNameValueList list;
        QELString text;
        const uint32_t size = static_cast<uint32_t>(body.size());
        const bool result =
            wholePart ? parser.ParsePart(Q(body), Q("Content-Type: multipart/mixed; boundary=" + boundaryOf(1)), 0,
                                         size, QELString(), QELStringSplitter(), 0, text, &list)
                      : parser.ParseMultipart(Q(body), Q(boundaryOf(1)), 0, size, QELString(), QELStringSplitter(), 0,
                                              text, &list);
        EXPECT_FALSE(result) << wholePart;
        ASSERT_EQ(32u, list.count()) << wholePart;
        EXPECT_EQ("level 32", Std(list.name(31).text())) << wholePart;
        EXPECT_EQ("32", Std(list.value(31))) << wholePart;
        EXPECT_TRUE(Std(text) == lastText) << wholePart;
    }
}

struct StoreCase {
    const char *what;
    std::vector<std::string> existing;  // files in the folder before the parse
    std::string headers;
    std::string content;
    std::string patterns;
    uint32_t sizeLimit;
    std::map<std::string, std::string> storedFiles;  // the new files
    Pairs list;
};

TEST(QELMultipartMessage, FormDataFilesAreStoredUnderTheirBareNameWhenPatternsAndLimitAccept) {
    const std::string threeMegabytes(3145728, 'z');
    // 300 bytes with a lone LF and CR inside; a CR LF ends the header line, and with it the name.
    const std::string longName = std::string(150, 'n') + "\n\r" + std::string(144, 'n') + ".txt";
    const std::string longKept = std::string(294, 'n') + ".txt";
    const std::string longStored = std::string(196, 'n') + ".txt";
    const std::string brokenName = std::string(250, 'n') + "\r\n\t" + std::string(46, 'n') + ".txt";
    const std::string upload = "Content-Disposition: form-data; name=\"up\"; filename=";
    const StoreCase cases[] = {
        {"a client's full path", {}, upload + "\"C:\\docs\\r.txt\"", "R", ".*", 0, {{"r.txt", "R"}}, {{"up", "r.txt"}}},
        {"a name that is taken", {"r.txt"}, upload + "\"C:\\docs\\r.txt\"", "R", ".*", 0, {{"r1.txt", "R"}},
         {{"up", "r1.txt"}, {"up_Original", "r.txt"}}},
        {"the limit exactly", {}, upload + "big.bin", threeMegabytes, ".*", 3072, {{"big.bin", threeMegabytes}},
         {{"up", "big.bin"}}},
        {"one byte over the limit", {}, upload + "big.bin", threeMegabytes + "z", ".*", 3072, {}, {}},
        {"attachment", {}, "Content-Disposition: attachment; name=up; filename=a.pdf", "%PDF", ".*", 0, {}, {}},
        {"an empty filename=", {}, upload, "text", ".*", 0, {}, {{"up", "text"}}},
        {"a path ending in a separator", {}, upload + "\"dir/\"", "text", ".*", 0, {}, {{"up", "text"}}},
        {"\"..\"", {}, upload + "\"..\"", "text", ".*", 0, {}, {{"up", "text"}}},
        {"control bytes only", {}, upload + "\"\x01\x7F\"", "text", ".*", 0, {}, {{"up", "text"}}},
        {"a long name with line breaks", {}, upload + "\"" + longName + "\"", "L", ".*", 0, {{longStored, "L"}},
         {{"up", longStored}, {"up_Original", longKept}}},
        {"a long name broken by CR LF", {}, upload + "\"" + brokenName + "\"", "L", ".*", 0,
         {{std::string(200, 'n'), "L"}}, {{"up", std::string(200, 'n')}, {"up_Original", std::string(250, 'n')}}},
        {"the first pattern that compiles decides", {}, upload + "r.txt", "R", "(,\\.pdf$,.*", 0, {}, {}},
        {"a pattern matching anywhere", {}, upload + "r.txt", "R", "(,tx", 0, {{"r.txt", "R"}}, {{"up", "r.txt"}}},
        {"no patterns", {}, upload + "r.txt", "R", "", 0, {}, {}},
    };
    for (const StoreCase &c : cases) {
        TemporaryFolder folder;
        for (const std::string &name : c.existing)
            WriteWholeFile(folder / name, "old");
        const std::string body = Part("b", c.headers, c.content) + Closing("b");
        Outcome outcome = ParseAll(body, "b", folder.path(), c.patterns, c.sizeLimit);
        EXPECT_TRUE(outcome.result) << c.what;
        EXPECT_EQ(c.list, outcome.list) << c.what;
        std::map<std::string, std::string> expected = c.storedFiles;
        for (const std::string &name : c.existing)
            expected[name] = "old";
        EXPECT_EQ(expected, FilesIn(folder.path())) << c.what;
    }
}

TEST(QELMultipartMessage, FilesAreStoredOnlyWithAFolderAndAListAndAreReported) {
    TemporaryFolder folder;
    const std::string target = folder / "new/inbox";
    const std::string body = Part("b", "Content-Disposition: form-data; name=a; filename=a.txt", "A") +
                             Part("b", "Content-Disposition: form-data; name=b; filename=b.txt", "B") + Closing("b");
    const uint32_t size = static_cast<uint32_t>(body.size());
    const QELStringSplitter everything(QELString(".*"), QELString(","));
    QELMultipartMessage parser;
    QELNameValueList list;
    QELString text;
    EXPECT_TRUE(parser.ParseMultipart(Q(body), QELString("b"), 0, size, QELString(), everything, 0, text, &list));
    EXPECT_TRUE(parser.ParseMultipart(Q(body), QELString("b"), 0, size, Q(target), everything, 0, text, nullptr));
    EXPECT_EQ(0u, list.count());
    EXPECT_FALSE(PathExists(target));

    EXPECT_TRUE(parser.ParseMultipart(Q(body), QELString("b"), 0, size, Q(target), everything, 0, text, &list));
    EXPECT_EQ((std::map<std::string, std::string>{{"a.txt", "A"}, {"b.txt", "B"}}), FilesIn(target));
    ASSERT_EQ(2u, parser.storedFileCount());
    EXPECT_EQ("b.txt", Std(parser.storedFileName(1)));
    EXPECT_EQ(target + "/a.txt", Std(parser.storedFilePath(0)));
    EXPECT_FALSE(parser.storeFailed());
    EXPECT_EQ(2u, parser.RemoveStoredFiles());
    EXPECT_EQ(0u, parser.storedFileCount());
    EXPECT_TRUE(FilesIn(target).empty());

    // A folder path that names a file: nothing can be created, and the report says so.
    WriteWholeFile(folder / "plain", "");
    QELNameValueList none;
    EXPECT_TRUE(parser.ParseMultipart(Q(body), QELString("b"), 0, size, Q(folder / "plain"), everything, 0, text, &none));
    EXPECT_TRUE(parser.storeFailed());
    EXPECT_EQ(0u, parser.storedFileCount());
    EXPECT_EQ(0u, none.count());
}

// Taking a name and creating the file are one step: parses storing the same name at the
// same time each get a file of their own.
TEST(QELMultipartMessage, ParsesStoringOneNameAtOnceGetFilesOfTheirOwn) {
    TemporaryFolder folder;
    constexpr int kParses = 4;
    std::vector<Outcome> outcomes(kParses);
    std::vector<std::thread> threads;
    for (int i = 0; i < kParses; ++i)
        threads.emplace_back([&, i] {
            const std::string body = Part("b", "Content-Disposition: form-data; name=up; filename=r.txt",
                                          std::to_string(i)) + Closing("b");
            outcomes[i] = ParseAll(body, "b", folder.path());
        });
    for (std::thread &thread : threads)
        thread.join();
    const std::map<std::string, std::string> files = FilesIn(folder.path());
    EXPECT_EQ((std::vector<std::string>{"r.txt", "r1.txt", "r2.txt", "r3.txt"}), [&] {
        std::vector<std::string> names;
        for (const auto &file : files)
            names.push_back(file.first);
        return names;
    }());
    for (int i = 0; i < kParses; ++i) {
        ASSERT_FALSE(outcomes[i].list.empty()) << i;
        EXPECT_EQ(std::to_string(i), files.at(outcomes[i].list[0].second)) << i;
    }
}

// A full disk is played by a file size limit in a child process (SIGXFSZ ignored, so a
// write beyond the limit fails as on a full disk). The time zone plays no part.
TEST(QELMultipartMessage, AFileThatCannotBeWrittenInFullLeavesNothing) {
    struct Case {
        size_t contentSize;
        std::string report;  // the parse's result, storeFailed, stored files, list entries
        std::vector<std::string> files;
    } cases[] = {
        {10000, "1 0 1 1", {"r.txt"}},
        {300000, "1 1 0 0", {}},
    };
    for (const Case &c : cases) {
        TemporaryFolder folder;
        const std::string body = Part("b", "Content-Disposition: form-data; name=up; filename=r.txt",
                                      std::string(c.contentSize, 'x')) + Closing("b");
        std::string report;
        ASSERT_TRUE(RunInTimeZone("UTC0", [&] {
            const struct rlimit limit = {65536, RLIM_INFINITY};
            if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return std::string("no limit");
            QELMultipartMessage parser;
            QELNameValueList list;
            QELString text;
            const bool result = parser.ParseMultipart(Q(body), QELString("b"), 0, static_cast<uint32_t>(body.size()),
                                                      Q(folder.path()), QELStringSplitter(QELString(".*"), QELString(",")),
                                                      0, text, &list);
            return std::to_string(result) + " " + std::to_string(parser.storeFailed()) + " " +
                   std::to_string(parser.storedFileCount()) + " " + std::to_string(list.count());
        }, &report));
        EXPECT_EQ(c.report, report) << c.contentSize;
        std::vector<std::string> names;
        for (const auto &file : FilesIn(folder.path()))
            names.push_back(file.first);
        EXPECT_EQ(c.files, names) << c.contentSize;
    }
}

}  // namespace
