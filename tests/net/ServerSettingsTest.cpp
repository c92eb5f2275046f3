// ServerSettingsTest.cpp: the mail servers' settings file: its format and errors by line,
// which section a server takes, the password-readable-by-others refusal and re-reading.
#include "net/ServerSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "../foundation/TemporaryFolder.h"

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }

TEST(ServerSettingsTest, MalformedLinesAreNamedByNumberWithoutTheirText) {
    struct Case {
        const char *text;
        const char *error;  // empty: the text parses
    };
    const Case cases[] = {
        {"", ""},
        {"# only a comment\n\n; another\n", ""},
        {"[smtp.example.com:587]\r\nsecurity = starttls\r\nuser = a@b\r\npassword =  two words \r\n", ""},
        {"[Pop.Example.com]\nsecurity=TLS\nca-file=/x/ca.pem\n", ""},
        {"security = tls\n", "line 1: a setting before the first [server] heading"},
        {"[a]\nsecurity = maybe\n", "line 2: security is none, starttls or tls"},
        {"[a]\n\nsecret-password\n", "line 3: not a [server] heading"},
        {"[a]\npasword = x\n", "line 2: an unknown setting"},
        {"[a:99999]\n", "line 1: a section heading is [host] or [host:port]"},
        {"[a\n", "line 1: a section heading"},
        {"[a]\n[A]\n", "line 2: a second section for the same server"},
        {"[a]\nuser = x\nuser = y\n", "line 3: a setting given twice"},
        {"[a]\nsecurity = tls\nuser = x\n[b]\n", "line 1: a user needs a password"},
        {"[a]\nuser = x\npassword = y\n", "line 1: a user and password need security starttls or tls"},
        {"[a]\npassword = \x01y\n", "line 2: holds a control character"},
        {"[a]\nca-file =\n", "line 2: a setting without a value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        QELServerSettings settings;
        QELString error;
        bool parsed = settings.parse(c.text, &error);
        EXPECT_EQ(parsed, *c.error == 0) << error.text();
        EXPECT_EQ(Std(error).find(c.error), 0u) << error.text();
        EXPECT_EQ(Std(error).find("secret"), std::string::npos);
    }
}

TEST(ServerSettingsTest, AServerTakesItsHostAndPortSectionElseItsHostSection) {
    QELServerSettings settings;
    ASSERT_TRUE(settings.parse("[mail.test]\nsecurity = tls\n"
                               "[mail.test:587]\nsecurity = starttls\nuser = u\npassword = p w\n"
                               "[pop.test:995]\nsecurity = tls\nca-file = /ca.pem\n",
                               nullptr));
    struct Case {
        const char *server;
        QELServerSettings::Security security;
        const char *password;
        const char *caFile;
    };
    const Case cases[] = {
        {"mail.test", QELServerSettings::kTLS, "", ""},
        {"MAIL.test:25", QELServerSettings::kTLS, "", ""},
        {"mail.test:587", QELServerSettings::kStartTLS, "p w", ""},
        {"pop.test:995", QELServerSettings::kTLS, "", "/ca.pem"},
        {"pop.test", QELServerSettings::kNone, "", ""},
        {"other.test:587", QELServerSettings::kNone, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        QELServerSettings::Entry entry;
        ASSERT_TRUE(settings.find(c.server, &entry, nullptr));
        EXPECT_EQ(entry.security, c.security);
        EXPECT_EQ(Std(entry.password), c.password);
        EXPECT_EQ(Std(entry.caFile), c.caFile);
    }
}

TEST(ServerSettingsTest, TheFileIsReadAgainWhenItChangesAndRefusedWhenOthersMayReadAPassword) {
    TemporaryFolder folder;
    const std::string path = folder.path() + "/servers.conf";
    auto write = [&](const std::string &text, mode_t mode) {
        std::ofstream(path, std::ios::trunc) << text;
        chmod(path.c_str(), mode);
    };
    QELServerSettings settings;
    settings.setFilePath(path.c_str());
    QELServerSettings::Entry entry;
    QELString error;

    // No file: every server is plain.
    EXPECT_EQ(Std(settings.refresh()), "");
    ASSERT_TRUE(settings.find("mail.test", &entry, &error));
    EXPECT_EQ(entry.security, QELServerSettings::kNone);

    write("[mail.test]\nsecurity = starttls\nuser = u\npassword = hunter2\n", 0644);
    std::string problem = Std(settings.refresh());
    EXPECT_NE(problem.find("holds a password and other users may read it"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("hunter2"), std::string::npos);
    EXPECT_EQ(Std(settings.refresh()), "");  // said once per change
    EXPECT_FALSE(settings.find("mail.test", &entry, &error));
    EXPECT_FALSE(settings.find("plain.test", &entry, &error));  // nothing goes anywhere
    EXPECT_EQ(Std(error), problem);

    chmod(path.c_str(), 0600);
    EXPECT_EQ(Std(settings.refresh()), "");
    ASSERT_TRUE(settings.find("mail.test", &entry, &error));
    EXPECT_EQ(entry.security, QELServerSettings::kStartTLS);
    EXPECT_EQ(Std(entry.password), "hunter2");

    write("[mail.test]\nsecurity = tls\n\nbroken line\n", 0644);  // no password: others may read
    problem = Std(settings.refresh());
    EXPECT_NE(problem.find("is not used: line 4: not a [server] heading"), std::string::npos) << problem;
    EXPECT_FALSE(settings.find("mail.test", &entry, &error));

    write("[mail.test]\nsecurity = tls\n", 0644);
    EXPECT_EQ(Std(settings.refresh()), "");
    ASSERT_TRUE(settings.find("mail.test", &entry, &error));
    EXPECT_EQ(entry.security, QELServerSettings::kTLS);
}

}  // namespace
