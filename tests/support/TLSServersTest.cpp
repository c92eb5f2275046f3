// TLSServersTest.cpp: the TLS test servers with certificates made at test time: SMTP with
// STARTTLS and AUTH and its command log, SMTP over implicit TLS, Dovecot's POP3S and STLS, the
// HTTPS file server, and OpenSSL's refusals of each bad certificate.
#include "host/POP3ServerProcess.h"
#include "host/TempFolder.h"
#include "mail/SMTPServerProcess.h"
#include "support/ChildProcess.h"
#include "support/HTTPSServerProcess.h"
#include "support/TLSClient.h"
#include "support/TestCertificates.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace velquor::test {
namespace {

using host::test::POP3ServerProcess;
using host::test::TempFolder;
using Kind = TestCertificates::Kind;

const std::string kUser = "mailer";
const std::string kPassword = "Tr0ub4dor-3";

std::string Base64(const std::string &bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                                 reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string PlainLogin(const std::string &password) { return Base64(std::string(1, '\0') + kUser + '\0' + password); }

// A step of a dialogue: a command line (or one of the markers below) and what its answer must
// begin with, hold and lack. For a handshake, `answer` is the expected failure ("" for none).
struct Step {
    std::string send;
    std::string answer;
    std::string holds = "";
    std::string lacks = "";
};
const std::string kGreeting = "<read the greeting>";
const std::string kHandshake = "<TLS handshake>";

enum class Protocol { SMTP, POP3 };

// The whole answer, one line after another: for SMTP until a line without "-" after its
// code; for POP3 one line, or for CAPA's positive answer up to the line ".".
std::string Answer(TLSClient &client, Protocol protocol, const std::string &command) {
    std::string whole;
    for (;;) {
        std::optional<std::string> line = client.readLine();
        if (!line) {
            return whole + "<no more answer>";
        }
        whole += *line + "\n";
        bool more = protocol == Protocol::SMTP ? line->size() >= 4 && (*line)[3] == '-'
                                               : command == "CAPA" && whole.rfind("+OK", 0) == 0 && *line != ".";
        if (!more) {
            return whole;
        }
    }
}

// Runs the steps on a connected client; the handshake verifies the server for 127.0.0.1
// against caFile.
void RunDialogue(TLSClient &client, Protocol protocol, const std::string &caFile, const std::vector<Step> &steps) {
    for (const Step &step : steps) {
        SCOPED_TRACE("step " + step.send);
        if (step.send == kHandshake) {
            EXPECT_EQ(client.handshake(caFile, "127.0.0.1"), step.answer);
            continue;
        }
        if (step.send != kGreeting) {
            ASSERT_TRUE(client.send(step.send + "\r\n"));
        }
        std::string answer = Answer(client, protocol, step.send);
        EXPECT_EQ(answer.rfind(step.answer, 0), 0u) << answer;
        if (!step.holds.empty()) {
            EXPECT_NE(answer.find(step.holds), std::string::npos) << answer;
        }
        if (!step.lacks.empty()) {
            EXPECT_EQ(answer.find(step.lacks), std::string::npos) << answer;
        }
    }
}

class TLSServersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = std::make_unique<TempFolder>();
        certificates_ = std::make_unique<TestCertificates>();
        made_ = certificates_->make(folder_->path() + "/certificates", &error_);
    }
    static void TearDownTestSuite() {
        certificates_.reset();
        folder_.reset();
    }
    void SetUp() override { ASSERT_TRUE(made_) << error_; }

    static std::string ScriptPath() {
        const char *source = std::getenv("VELQUOR_SOURCE_DIR");
        return std::string(source != nullptr ? source : ".") + "/scripts/test-certificates.sh";
    }

    static std::unique_ptr<TempFolder> folder_;
    static std::unique_ptr<TestCertificates> certificates_;
    static bool made_;
    static std::string error_;
    TempFolder scratch_;
};

std::unique_ptr<TempFolder> TLSServersTest::folder_;
std::unique_ptr<TestCertificates> TLSServersTest::certificates_;
bool TLSServersTest::made_ = false;
std::string TLSServersTest::error_;

TEST_F(TLSServersTest, TheCertificateScriptMakesPrivateKeysAndACAQuietlyAndReportsOpenSSLsFailure) {
    std::string output;
    EXPECT_EQ(RunCommand({"/bin/bash", ScriptPath(), scratch_ / "fresh"}, std::chrono::seconds(60), &output), 0);
    EXPECT_EQ(output, "");

    const TestCertificates &made = *certificates_;
    struct Pair {
        std::string certificate, key;
        bool authority;
    };
    std::vector<Pair> pairs = {{made.caFile(), made.caKey(), true}};
    for (Kind kind : {Kind::Server, Kind::Expired, Kind::Other, Kind::SelfSigned}) {
        pairs.push_back({made.certificate(kind), made.key(kind), false});
    }
    for (const Pair &pair : pairs) {
        SCOPED_TRACE(pair.certificate);
        struct stat key {};
        ASSERT_EQ(stat(pair.key.c_str(), &key), 0);
        EXPECT_EQ(key.st_mode & 0777, 0600u);
        FILE *file = std::fopen(pair.certificate.c_str(), "r");
        ASSERT_NE(file, nullptr);
        X509 *certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
        std::fclose(file);
        ASSERT_NE(certificate, nullptr);
        EXPECT_EQ(X509_check_ca(certificate) != 0, pair.authority);
        X509_free(certificate);
    }

    // A key that cannot be written: the script stops with openssl's own words.
    std::filesystem::create_directories(scratch_ / "broken/ca.key");
    output.clear();
    std::optional<int> status = RunCommand({"/bin/bash", ScriptPath(), scratch_ / "broken"}, std::chrono::seconds(60), &output);
    EXPECT_TRUE(status.has_value() && *status != 0);
    EXPECT_NE(output.find("openssl req failed"), std::string::npos) << output;
    EXPECT_NE(output.find("ca.key"), std::string::npos) << output;
}

// Each bad certificate is refused with OpenSSL's text for its fault, and only for that fault.
TEST_F(TLSServersTest, HandshakesVerifyTheCertificateAgainstTheCAAndTheName) {
    std::map<Kind, std::unique_ptr<HTTPSServerProcess>> servers;
    for (Kind kind : {Kind::Server, Kind::Expired, Kind::Other, Kind::SelfSigned}) {
        std::string error;
        servers[kind] = std::make_unique<HTTPSServerProcess>();
        ASSERT_TRUE(servers[kind]->start(scratch_.path(), certificates_->certificate(kind), certificates_->key(kind), {},
                                         scratch_ / "https.log", &error))
            << error;
    }
    const std::string ca = certificates_->caFile();
    const std::string selfSigned = certificates_->certificate(Kind::SelfSigned);
    struct Row {
        Kind presented;
        std::string trusted;
        std::string name;
        std::string failure;
    };
    const Row rows[] = {
        {Kind::Server, ca, "127.0.0.1", ""},
        {Kind::Server, ca, "localhost", ""},
        {Kind::Server, selfSigned, "127.0.0.1", "unable to get local issuer certificate"},
        {Kind::Expired, ca, "127.0.0.1", "certificate has expired"},
        {Kind::Other, ca, "127.0.0.1", "IP address mismatch"},
        {Kind::Other, ca, "localhost", "hostname mismatch"},
        {Kind::Other, ca, "other.example", ""},
        {Kind::SelfSigned, ca, "localhost", "self-signed certificate"},
        {Kind::SelfSigned, selfSigned, "localhost", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(TestCertificates::Name(row.presented) + " for " + row.name + " trusting " + row.trusted);
        TLSClient client;
        ASSERT_TRUE(client.connect(servers[row.presented]->port()));
        EXPECT_EQ(client.handshake(row.trusted, row.name), row.failure);
        EXPECT_EQ(client.secured(), row.failure.empty());
    }
}

TEST_F(TLSServersTest, TheHTTPSServerServesFilesAndRedirectsWhileAnotherClientStallsItsHandshake) {
    std::ofstream(scratch_ / "hello.txt") << "Hello, TLS.\n";
    HTTPSServerProcess server;
    std::string error;
    ASSERT_TRUE(server.start(scratch_.path(), certificates_->certificate(Kind::Server),
                             certificates_->key(Kind::Server), {{"/old", "http://127.0.0.1:1/new"}},
                             scratch_ / "https.log", &error))
        << error;
    // A client that connects and never starts its handshake holds no one else up.
    TLSClient idle;
    ASSERT_TRUE(idle.connect(server.port()));

    struct Row {
        std::string path;
        std::string status;
        std::vector<std::string> holds;
    };
    const Row rows[] = {
        {"/hello.txt", "HTTP/1.1 200 ", {"Content-Length: 12\r\n", "\r\n\r\nHello, TLS.\n"}},
        {"/old?from=test", "HTTP/1.1 302 ", {"Location: http://127.0.0.1:1/new\r\n", "Content-Length: 0\r\n"}},
        {"/missing.txt", "HTTP/1.1 404 ", {"Content-Length: "}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        TLSClient client;
        ASSERT_TRUE(client.connect(server.port()));
        ASSERT_EQ(client.handshake(certificates_->caFile(), "localhost"), "");
        ASSERT_TRUE(client.send("GET " + row.path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"));
        std::string response = client.readToEnd();
        EXPECT_EQ(response.rfind(row.status, 0), 0u) << response;
        for (const std::string &text : row.holds) {
            EXPECT_NE(response.find(text), std::string::npos) << text << " in " << response;
        }
    }
}

// The command log holds every command in order, masks AUTH's arguments, and never holds the
// answers to AUTH's challenges.
TEST_F(TLSServersTest, SMTPAuthenticatesOnlyInsideTLSAndLogsEveryCommandInOrder) {
    const std::string cert = certificates_->certificate(Kind::Server), key = certificates_->key(Kind::Server);
    const std::string login = kUser + ":" + kPassword;
    struct Dialogue {
        std::string name;
        std::vector<std::string> arguments;
        std::vector<Step> steps;
        std::vector<std::string> logged;
    };
    const Dialogue dialogues[] = {
        {"STARTTLS and AUTH PLAIN",
         {"--starttls", cert, key, "--auth", login},
         {{kGreeting, "220"},
          {"EHLO client.test", "250", "STARTTLS", "AUTH"},
          {"AUTH PLAIN " + PlainLogin(kPassword), "530"},
          {"MAIL FROM:<site@client.test>", "530"},
          {"STARTTLS", "220"},
          {kHandshake, ""},
          {"EHLO client.test", "250", "AUTH LOGIN PLAIN", "STARTTLS"},
          {"MAIL FROM:<site@client.test>", "530"},
          {"AUTH PLAIN " + PlainLogin("wrong"), "535"},
          {"AUTH PLAIN " + PlainLogin(kPassword), "235"},
          {"MAIL FROM:<site@client.test>", "250"},
          {"QUIT", "221"}},
         {"EHLO client.test", "AUTH PLAIN ********", "MAIL FROM:<site@client.test>", "STARTTLS", "EHLO client.test",
          "MAIL FROM:<site@client.test>", "AUTH PLAIN ********", "AUTH PLAIN ********", "MAIL FROM:<site@client.test>",
          "QUIT"}},
        {"STARTTLS and AUTH LOGIN alone",
         {"--starttls", cert, key, "--auth", login, "--auth-only", "LOGIN"},
         {{kGreeting, "220"},
          {"EHLO client.test", "250"},
          {"STARTTLS", "220"},
          {kHandshake, ""},
          {"EHLO client.test", "250", "AUTH LOGIN\n", "PLAIN"},
          {"AUTH PLAIN " + PlainLogin(kPassword), "504"},
          {"AUTH LOGIN", "334"},
          {Base64(kUser), "334"},
          {Base64("wrong"), "535"},
          {"AUTH LOGIN", "334"},
          {Base64(kUser), "334"},
          {Base64(kPassword), "235"},
          {"QUIT", "221"}},
         {"EHLO client.test", "STARTTLS", "EHLO client.test", "AUTH PLAIN ********", "AUTH LOGIN", "AUTH LOGIN", "QUIT"}},
        {"implicit TLS",
         {"--tls", cert, key, "--auth", login},
         {{kHandshake, ""},
          {kGreeting, "220"},
          {"EHLO client.test", "250", "AUTH LOGIN PLAIN", "STARTTLS"},
          {"AUTH PLAIN " + PlainLogin(kPassword), "235"},
          {"QUIT", "221"}},
         {"EHLO client.test", "AUTH PLAIN ********", "QUIT"}},
    };
    int number = 0;
    for (const Dialogue &dialogue : dialogues) {
        SCOPED_TRACE(dialogue.name);
        const std::string log = scratch_ / ("commands-" + std::to_string(++number) + ".log");
        std::vector<std::string> arguments = dialogue.arguments;
        arguments.insert(arguments.end(), {"--command-log", log});
        SMTPServerProcess server;
        std::string error;
        ASSERT_TRUE(server.start(scratch_ / ("maildir-" + std::to_string(number)), arguments, &error)) << error;
        TLSClient client;
        ASSERT_TRUE(client.connect(server.port()));
        RunDialogue(client, Protocol::SMTP, certificates_->caFile(), dialogue.steps);

        std::vector<std::string> lines;
        for (const SMTPServerProcess::Command &command : server.commands()) {
            EXPECT_EQ(command.peer.rfind("127.0.0.1:", 0), 0u) << command.peer;
            EXPECT_EQ(command.peer, server.commands().front().peer);
            lines.push_back(command.line);
        }
        EXPECT_EQ(lines, dialogue.logged);
        std::ifstream file(log);
        std::string whole((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (const std::string &secret : {kPassword, Base64(kPassword), PlainLogin(kPassword)}) {
            EXPECT_EQ(whole.find(secret), std::string::npos) << secret;
        }
    }
}

TEST_F(TLSServersTest, DovecotSpeaksPOP3SOnAPortOfItsOwnAndUpgradesThePlainPortWithSTLS) {
    if (!POP3ServerProcess::available()) {
        GTEST_SKIP() << "Dovecot is not installed (scripts/setup.sh installs it)";
    }
    std::ofstream(scratch_ / "message.eml") << "From: a@client.test\r\nSubject: one\r\n\r\nText.\r\n";
    POP3ServerProcess server;
    std::string error;
    ASSERT_TRUE(server.start(scratch_ / "dovecot", 0,
                             {"--user", kUser + ":" + kPassword, "--message", kUser + "=" + (scratch_ / "message.eml"),
                              "--tls", certificates_->certificate(Kind::Server), certificates_->key(Kind::Server)},
                             scratch_ / "pop3.log", &error))
        << error;
    ASSERT_GT(server.pop3sPort(), 0);
    EXPECT_NE(server.pop3sPort(), server.port());

    const std::vector<Step> login = {{"USER " + kUser, "+OK"}, {"PASS " + kPassword, "+OK"}, {"STAT", "+OK 1 "},
                                     {"QUIT", "+OK"}};
    struct Row {
        std::string name;
        int port;
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"POP3S", server.pop3sPort(), {{kHandshake, ""}, {kGreeting, "+OK"}}},
        {"STLS", server.port(), {{kGreeting, "+OK"}, {"CAPA", "+OK", "\nSTLS\n"}, {"STLS", "+OK"}, {kHandshake, ""}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TLSClient client;
        ASSERT_TRUE(client.connect(row.port));
        std::vector<Step> steps = row.steps;
        steps.insert(steps.end(), login.begin(), login.end());
        RunDialogue(client, Protocol::POP3, certificates_->caFile(), steps);
        EXPECT_TRUE(client.secured());
    }

    // A POP3S port that is taken ends a second launcher at once.
    POP3ServerProcess second;
    EXPECT_FALSE(second.start(scratch_ / "dovecot-2", 0,
                              {"--user", kUser + ":" + kPassword, "--tls", certificates_->certificate(Kind::Server),
                               certificates_->key(Kind::Server), "--pop3s-port", std::to_string(server.pop3sPort())},
                              scratch_ / "pop3-2.log", &error));
    EXPECT_NE(error.find(std::to_string(server.pop3sPort()) + " on 127.0.0.1 is in use"), std::string::npos) << error;
}

} // namespace
} // namespace velquor::test
