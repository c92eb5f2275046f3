// HostOptionsTest.cpp: velquor-host's command line.
#include "host/lib/HostOptions.h"

#include "HostProcess.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

namespace velquor::host {
namespace {

TEST(HostOptions, ReadsEveryOptionInBothForms) {
    HostOptions defaults;
    defaults.site = "site";
    std::string error;
    std::optional<HostOptions> options = HostOptions::parse(
        {"--site", "s", "--data=d", "--listen", "[::1]:0", "--module", "m.so", "--server-name", "a.example",
         "--server-name=b.example", "--admin-password-file", "p", "--allow-remote-actions", "--threads=4",
         "--protect", "/admin/", "--protect=/private"},
        defaults, &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->site, "s");
    EXPECT_EQ(options->data, "d");
    EXPECT_EQ(options->listenAddress, "::1");
    EXPECT_EQ(options->listenPort, 0);
    EXPECT_EQ(options->module, "m.so");
    EXPECT_EQ(options->serverNames, (std::vector<std::string>{"a.example", "b.example"}));
    EXPECT_EQ(options->adminPasswordFile, "p");
    EXPECT_TRUE(options->remoteActions);
    EXPECT_EQ(options->threads, 4u);
    EXPECT_EQ(options->protectedPaths, (std::vector<std::string>{"/admin/", "/private"}));
    EXPECT_FALSE(options->help);

    options = HostOptions::parse({}, defaults, &error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->site, "site");
    EXPECT_EQ(options->listenAddress, "127.0.0.1");
    EXPECT_EQ(options->listenPort, 8080);
    EXPECT_TRUE(HostOptions::parse({"-h"}, defaults, &error)->help);
}

TEST(HostOptions, RefusesBadArgumentsWithOneLine) {
    struct Case {
        std::vector<std::string> arguments;
        const char *error;
    };
    const Case cases[] = {
        {{"--site"}, "--site needs a value"},
        {{"--listen", "8080"}, "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \"8080\""},
        {{"--listen", "127.0.0.1:65536"}, "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \"127.0.0.1:65536\""},
        {{"--listen", "::1:80"}, "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \"::1:80\""},
        {{"--listen", ":80"}, "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \":80\""},
        {{"--listen", "127.0.0.1:8o"}, "--listen wants ADDRESS:PORT (for example 127.0.0.1:8080), not \"127.0.0.1:8o\""},
        {{"--threads", "0"}, "--threads wants a count from 1 to 1024, not \"0\""},
        {{"--server-name="}, "--server-name needs a name"},
        {{"--protect", "admin"}, "--protect wants a folder of the site beginning with \"/\" (for example /admin/), not \"admin\""},
        {{"--protect", "/a/../b"}, "--protect wants a folder of the site beginning with \"/\" (for example /admin/), not \"/a/../b\""},
        {{"--help=yes"}, "--help takes no value"},
        {{"--allow-remote-actions=1"}, "--allow-remote-actions takes no value"},
        {{"site"}, "unknown option site (see --help)"},
    };
    for (const Case &test : cases) {
        std::string error;
        EXPECT_FALSE(HostOptions::parse(test.arguments, HostOptions(), &error)) << test.error;
        EXPECT_EQ(error, test.error);
    }
}

TEST(HostOptions, ReadsThePasswordFromTheFirstLineWithoutItsLineEnd) {
    test::TempFolder folder;
    struct Case {
        std::string content;
        std::string password;  // "" when the file is refused
    };
    const Case cases[] = {
        {"s3cret\n", "s3cret"},
        {"s3cret\r\n", "s3cret"},
        {"s3cret", "s3cret"},
        {"s3cret \r\nsecond line\r\n", "s3cret "},
        {"\r\ns3cret\r\n", ""},
        {"", ""},
    };
    for (const Case &test : cases) {
        std::string file = folder / "password";
        test::writeWholeFile(file, test.content);
        std::string password;
        std::string error;
        EXPECT_EQ(HostOptions::readPasswordFile(file, &password, &error), !test.password.empty()) << test.content;
        EXPECT_EQ(password, test.password) << test.content;
    }
    std::string password;
    std::string error;
    EXPECT_FALSE(HostOptions::readPasswordFile(folder / "missing", &password, &error));
    EXPECT_EQ(error, "cannot read a password from " + (folder / "missing"));
}

} // namespace
} // namespace velquor::host
