// HostTest.cpp: the host's log: safe lines to the sink and the file, and a log file that
// fails reported through the sink.
#include "host/lib/Host.h"

#include "HostProcess.h"
#include "TempFolder.h"
#include "host/lib/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace velquor::host {
namespace {

TEST(Host, LogLinesReachTheSinkAndTheFileSafeAndAFailingFileIsReported) {
    test::TempFolder folder;
    std::string path = folder / "velquor.log";
    Host host;
    std::vector<std::string> sink;
    host.setLogSink([&](const std::string &line) { sink.push_back(line); });
    host.useLogFile(std::make_shared<LogFile>(path));

    EXPECT_TRUE(host.writeLog("module says \x1B]0;owned\x07 " + std::string(40000, 'v')));
    ASSERT_EQ(sink.size(), 1u);
    EXPECT_EQ(sink[0].find('\x1B'), std::string::npos);
    EXPECT_NE(sink[0].find("module says \\x1B]0;owned\\x07 vvv"), std::string::npos);
    EXPECT_LE(sink[0].size(), LogFile::kLineBytes);
    EXPECT_EQ(test::readWholeFile(path), sink[0] + "\n");

    fs::remove(path);
    fs::create_directory(path);
    sink.clear();
    EXPECT_FALSE(host.writeLog("one"));
    EXPECT_FALSE(host.writeLog("two"));
    ASSERT_EQ(sink.size(), 3u) << "the first failure is reported once, beside the lines";
    EXPECT_EQ(sink[0], "one");
    EXPECT_NE(sink[1].find("the log file failed: cannot open " + path), std::string::npos) << sink[1];
    EXPECT_EQ(sink[2], "two");
}

} // namespace
} // namespace velquor::host
