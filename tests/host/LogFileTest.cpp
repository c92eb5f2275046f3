// LogFileTest.cpp: log lines without control bytes, cut at their length limit, the file
// rotated at its size, and a failing file reported once and counted when it recovers.
#include "host/lib/LogFile.h"

#include "HostProcess.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

TEST(LogFile, SafeLinesHoldNoControlByteAndKeepTheirText) {
    struct Case {
        std::string text;
        std::string safe;
    };
    const Case cases[] = {
        {"plain text", "plain text"},
        {"a\x1B[31mred\x1B[0m", "a\\x1B[31mred\\x1B[0m"},
        {"cr\r\nlf\ttab", "cr\\r\\nlf\\ttab"},
        {std::string("nul\0del\x7F", 8), "nul\\x00del\\x7F"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"c1 \xC2\x9B" "2J", "c1 \\xC2\\x9B2J"},                 // CSI as a C1 control
        {"lone \x9B" "2J", "lone \\x9B2J"},                      // CSI as one byte
        {"overlong \xC0\xAF \xE0\x80\xAF", "overlong \\xC0\\xAF \\xE0\\x80\\xAF"},
        {"surrogate \xED\xA0\x80", "surrogate \\xED\\xA0\\x80"},
        {"past the end \xF4\x90\x80\x80", "past the end \\xF4\\x90\\x80\\x80"},
        {"cut short \xE2\x82", "cut short \\xE2\\x82"},
    };
    for (const Case &test : cases) {
        std::string safe = LogFile::safeLine(test.text, 8192);
        EXPECT_EQ(safe, test.safe);
        EXPECT_EQ(LogFile::safeLine(safe, 8192), safe) << "made safe twice: " << safe;
    }
}

TEST(LogFile, LongLinesAreCutWithANoteOfTheirLength) {
    struct Case {
        std::string text;
        std::string unit;  // what the kept part is made of
    };
    const Case cases[] = {
        {std::string(30u << 20, 'a'), "a"},
        {std::string(10000, '\x1B'), "\\x1B"},
        {std::string(9000, 'b') + "\xE2\x82\xAC", "b"},
    };
    for (const Case &test : cases) {
        std::string safe = LogFile::safeLine(test.text, 8192);
        EXPECT_LE(safe.size(), 8192u);
        std::string note = " ...[cut: " + std::to_string(test.text.size()) + " bytes in all]";
        ASSERT_GT(safe.size(), note.size());
        EXPECT_EQ(safe.substr(safe.size() - note.size()), note);
        std::string kept = safe.substr(0, safe.size() - note.size());
        EXPECT_GT(kept.size(), 8000u);
        EXPECT_EQ(kept.size() % test.unit.size(), 0u) << "an escape is never cut in two";
        EXPECT_EQ(kept.find_first_not_of(test.unit[0] == '\\' ? "\\x1B" : test.unit), std::string::npos);
        EXPECT_EQ(LogFile::safeLine(safe, 8192), safe);
    }
}

TEST(LogFile, RotatesAtItsSizeAndKeepsTheNewestFiles) {
    test::TempFolder folder;
    std::string path = folder / "host.log";
    LogFile::Limits limits;
    limits.fileBytes = 1000;
    limits.keptFiles = 2;
    LogFile log(path, limits);
    for (int i = 0; i < 100; ++i) {
        std::string number = std::to_string(1000 + i);
        ASSERT_TRUE(log.write("line " + number + " " + std::string(40, 'x')));
    }
    std::string newest = test::readWholeFile(path);
    std::string older = test::readWholeFile(path + ".1");
    std::string oldest = test::readWholeFile(path + ".2");
    EXPECT_FALSE(fs::exists(path + ".3"));
    for (const std::string *file : {&newest, &older, &oldest}) {
        EXPECT_LE(file->size(), 1000u);
    }
    for (const std::string *file : {&older, &oldest}) {
        EXPECT_GE(file->size(), 900u) << "a file is rotated only when the next line does not fit";
    }
    EXPECT_NE(newest.find("line 1099 "), std::string::npos);
    // The lines go on from one file to the next.
    auto firstNumber = [](const std::string &text) { return std::stoi(text.substr(5, 4)); };
    auto lastNumber = [](const std::string &text) { return std::stoi(text.substr(text.rfind("line ") + 5, 4)); };
    EXPECT_EQ(lastNumber(oldest) + 1, firstNumber(older));
    EXPECT_EQ(lastNumber(older) + 1, firstNumber(newest));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(LogFile, AFailingFileIsReportedOnceAndItsLostLinesCountedWhenItRecovers) {
    test::TempFolder folder;
    std::string path = folder / "host.log";
    fs::create_directory(path);  // nothing can be written "to" a folder
    LogFile log(path);
    std::string failure;
    EXPECT_FALSE(log.write("first", &failure));
    EXPECT_NE(failure.find(path), std::string::npos) << failure;
    failure.clear();
    EXPECT_FALSE(log.write("second", &failure));
    EXPECT_EQ(failure, "") << "a failing file is reported when it starts failing, not on every line";
    fs::remove(path);
    EXPECT_TRUE(log.write("third", &failure));
    std::string text = test::readWholeFile(path);
    EXPECT_EQ(text.find("velquor-host: 2 log lines could not be written here ("), 0u) << text;
    EXPECT_NE(text.find(")\nthird\n"), std::string::npos) << text;
    EXPECT_TRUE(log.write("fourth"));
    EXPECT_EQ(text.find("could not"), test::readWholeFile(path).find("could not")) << "counted once";
}

} // namespace
} // namespace velquor::host
