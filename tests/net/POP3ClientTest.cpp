// POP3ClientTest.cpp: the POP3 client against scripted loopback servers: login outcomes,
// the exact command bytes, replies collected until whole, sessions stopped after a reply
// falls short, refused input, logins over STLS and TLS as the server settings ask, and the
// retrieval split.
#include "net/POP3Client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "TestResolver.h"
#include "foundation/TemporaryFolder.h"
#include "net/NetworkLimits.h"
#include "net/ServerSettings.h"
#include "support/TestCertificates.h"

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }
QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

using Status = QELPOP3Client::POP3LoginStatus;
using velquor::test::TestCertificates;
using Kind = TestCertificates::Kind;

const char kOK[] = "+OK\r\n";
const char kUser[] = "USER ann\r\n";
const char kPass[] = "PASS secret\r\n";
const char kQuit[] = "QUIT\r\n";

// A command the client must send and the server's reply in bursts, each burst after a
// pause (so that a pause never ends a reply); shutdownSending closes the server's side.
struct Exchange {
    std::string command;
    std::vector<std::string> bursts;
    bool shutdownSending = false;
};

class POP3ClientTest : public ::testing::Test {
protected:
    void SetUp() override { SetLimits(); }
    void TearDown() override { ResetNetworkLimits(); }

    // A quiet interval far beyond the other limits: only a reply's form or a limit ends it.
    static void SetLimits(uint32_t reply = 5000, uint32_t firstByte = 5000, uint32_t retrievalCap = 1u << 20,
                          uint32_t listingCap = 1u << 20) {
        QELNetworkLimits limits = kDefaultNetworkLimits;
        limits.firstByteMilliseconds = firstByte;
        limits.replyMilliseconds = reply;
        limits.quietMilliseconds = 60000;
        limits.pop3RetrievalByteCap = retrievalCap;
        limits.pop3ListingByteCap = listingCap;
        SetNetworkLimits(limits);
    }

    // Plays the exchanges, each after everything before it has arrived, then records
    // until the client closes. Returns what the client must have sent.
    static std::string Play(ScriptedServer &server, const std::vector<Exchange> &exchanges) {
        ScriptedServer::Script &script = server.connection();
        std::string transcript;
        for (const Exchange &exchange : exchanges) {
            transcript += exchange.command;
            if (!exchange.command.empty())
                script.receiveUntil(transcript);
            for (size_t i = 0; i < exchange.bursts.size(); ++i) {
                if (i > 0)
                    script.pause(150);
                script.send(exchange.bursts[i]);
            }
            if (exchange.shutdownSending)
                script.shutdownSending();
        }
        script.waitForClientClose();
        server.start();
        return transcript;
    }

    static QELPOP3Client Client(const ScriptedServer &server, const std::string &user = "ann",
                                const std::string &password = "secret") {
        return QELPOP3Client(Q(server.hostAndPort()), Q(user), Q(password));
    }

    TestResolver resolver_;
};

struct LoginCase {
    const char *name;
    std::vector<Exchange> exchanges;
    Status status;
    const char *error;  // part of LastError
    bool outOfStep;     // otherwise Logout sends QUIT
};

TEST_F(POP3ClientTest, LoginStatusFollowsEachReplyAndASilentServerGetsNothing) {
    const LoginCase cases[] = {
        {"greeting in lower case", {{"", {"+ok ready\r\n"}}, {kUser, {"+ok\r\n"}}, {kPass, {"+OK\r\n"}}},
         Status::kSuccess, "", false},
        {"negative greeting", {{"", {"-ERR busy\r\n"}}}, Status::kUnableToConnect,
         "the server refused the session: -ERR busy", false},
        {"silent server", {}, Status::kUnableToConnect, "no whole greeting (no reply from", true},
        {"close before the greeting", {{"", {}, true}}, Status::kUnableToConnect,
         "no whole greeting (the server closed the connection", true},
        {"greeting cut short", {{"", {"+OK rea"}, true}}, Status::kUnableToConnect, "no whole greeting", true},
        {"user refused", {{"", {kOK}}, {kUser, {"-ERR unknown\r\n"}}}, Status::kUnknownUser,
         "the server refused the user name: -ERR unknown", false},
        {"password refused", {{"", {kOK}}, {kUser, {kOK}}, {kPass, {"-ERR [AUTH] bad\r\n"}}},
         Status::kInvalidPassword, "the server refused the password: -ERR [AUTH] bad", false},
        {"close after USER", {{"", {kOK}}, {kUser, {}, true}}, Status::kUnableToConnect,
         "no whole reply to USER (the server closed", true},
    };
    for (const LoginCase &c : cases) {
        // Only the silent server meets the first-byte limit.
        SetLimits(5000, c.exchanges.empty() ? 400 : 5000);
        ScriptedServer server;
        std::vector<Exchange> exchanges = c.exchanges;
        if (!c.outOfStep)
            exchanges.push_back({kQuit, {kOK}});
        const std::string transcript = Play(server, exchanges);
        QELPOP3Client client = Client(server);
        EXPECT_EQ(client.Login(), c.status) << c.name;
        const std::string error = Std(client.LastError());
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(client.isOutOfStep(), c.outOfStep) << c.name;
        EXPECT_TRUE(client.isConnected()) << c.name;
        client.Logout();
        EXPECT_FALSE(client.isConnected()) << c.name;
        server.finish();
        EXPECT_EQ(server.received(0), transcript) << c.name;
        EXPECT_FALSE(server.clientWaitExpired()) << c.name;
    }
}

struct CommandCase {
    std::string command;  // as given to SendCommand
    Exchange exchange;    // the bytes on the wire and the server's reply
    std::string result;
};

TEST_F(POP3ClientTest, RepliesAreCollectedUntilWholeForTheirCommandAndReturnedRaw) {
    const std::string message = "+OK 58 octets\r\nSubject: x\r\n\r\n..\r\n...leading\r\n12 Main St\r\nSee you...\r\n.\r\n";
    const CommandCase cases[] = {
        {"UIDL", {"UIDL\r\n", {"+OK\r\n1 a1\r\n", "2 b2\r\n.\r\n"}}, "+OK\r\n1 a1\r\n2 b2\r\n.\r\n"},
        {"UIDL\r\n", {"UIDL\r\n", {"+OK\r\n.\r\n"}}, "+OK\r\n.\r\n"},
        {"uidl 2", {"uidl 2\r\n", {"+OK 2 b2\r\n"}}, "+OK 2 b2\r\n"},
        {"LIST", {"LIST\r\n", {"+OK 1 messages\r\n1 58\r\n", ".\r\n"}}, "+OK 1 messages\r\n1 58\r\n.\r\n"},
        {"RETR 1",
         {"RETR 1\r\n", {"+OK 58 octets\r\nSubj", "ect: x\r\n\r\n..\r\n...leading\r\n12 Main St\r\n", "See you...\r\n.",
                         "\r\n"}},
         message},
        {"RETR 9", {"RETR 9\r\n", {"-ERR no such message\r\n"}}, "-ERR no such message\r\n"},
        {"DELE 1", {"DELE 1\r\n", {"+OK deleted\r\n"}}, "+OK deleted\r\n"},
    };
    ScriptedServer server;
    std::vector<Exchange> exchanges = {{"", {kOK}}, {kUser, {kOK}}, {kPass, {kOK}}};
    for (const CommandCase &c : cases)
        exchanges.push_back(c.exchange);
    exchanges.push_back({kQuit, {kOK}});
    const std::string transcript = Play(server, exchanges);
    QELPOP3Client client = Client(server);
    ASSERT_EQ(client.Login(), Status::kSuccess) << Std(client.LastError());
    // A second login sends nothing.
    EXPECT_EQ(client.Login(), Status::kAlreadyConnected);
    for (const CommandCase &c : cases) {
        EXPECT_EQ(Std(client.SendCommand(Q(c.command))), c.result) << c.command;
        EXPECT_FALSE(client.isOutOfStep()) << c.command << ": " << Std(client.LastError());
    }
    client.Logout();
    server.finish();
    EXPECT_EQ(server.received(0), transcript);
}

struct CutShortCase {
    const char *name;
    Exchange exchange;
    const char *error;  // part of LastError
    uint32_t replyLimit;
};

TEST_F(POP3ClientTest, AReplyCutShortStopsTheSession) {
    const std::string big = std::string(2000, 'x') + "\r\n.\r\n";
    const CutShortCase cases[] = {
        {"retrieval over its cap", {"RETR 1\r\n", {"+OK\r\n" + big}}, "larger than 1000 bytes", 5000},
        {"listing over its cap", {"UIDL\r\n", {"+OK\r\n" + big}}, "larger than 100 bytes", 5000},
        {"retrieval closed early", {"RETR 1\r\n", {"+OK\r\nabc\r\n"}, true}, "closed the connection before",
         5000},
        {"retrieval without its terminator", {"RETR 1\r\n", {"+OK\r\nabc\r\n"}}, "not complete within 2 s",
         2000},
    };
    for (const CutShortCase &c : cases) {
        SetLimits(c.replyLimit, 5000, 1000, 100);
        ScriptedServer server;
        const std::string transcript = Play(server, {{"", {kOK}}, {kUser, {kOK}}, {kPass, {kOK}}, c.exchange});
        QELPOP3Client client = Client(server);
        ASSERT_EQ(client.Login(), Status::kSuccess) << c.name;
        EXPECT_EQ(Std(client.SendCommand(Q(c.exchange.command))), "") << c.name;
        EXPECT_TRUE(client.isOutOfStep()) << c.name;
        const std::string cause = Std(client.LastError());
        EXPECT_NE(cause.find(c.error), std::string::npos) << c.name << ": " << cause;
        // Nothing more goes out: no DELE, and no QUIT at logout.
        EXPECT_EQ(Std(client.SendCommand("DELE 1")), "") << c.name;
        EXPECT_EQ(Std(client.LastError()), cause) << c.name;
        client.Logout();
        server.finish();
        EXPECT_EQ(server.received(0), transcript) << c.name;
    }
}

TEST_F(POP3ClientTest, InputThatWouldBreakALineIsNeverSent) {
    ScriptedServer server;
    const std::string transcript = Play(server, {{"", {kOK}}, {kUser, {kOK}}, {kPass, {kOK}}, {kQuit, {kOK}}});
    const std::string nul(1, '\0');
    for (const std::string &user : {std::string("ann\r\nDELE 1"), "ann" + nul}) {
        QELPOP3Client refused = Client(server, user);
        EXPECT_EQ(refused.Login(), Status::kUnableToConnect);
        EXPECT_EQ(Std(refused.LastError()), "the user name or password contains CR, LF or NUL");
        EXPECT_FALSE(refused.isConnected());
    }
    QELPOP3Client badPassword = Client(server, "ann", "secret\nQUIT");
    EXPECT_EQ(badPassword.Login(), Status::kUnableToConnect);
    QELPOP3Client unknown(QELString("unknown.test"), QELString("ann"), QELString("secret"));
    EXPECT_EQ(unknown.Login(), Status::kUnableToConnect);
    EXPECT_EQ(Std(unknown.LastError()), "the host name \"unknown.test\" was not found");

    QELPOP3Client client = Client(server);
    EXPECT_EQ(Std(client.SendCommand("NOOP")), "");
    EXPECT_EQ(Std(client.LastError()), "not connected");
    ASSERT_EQ(client.Login(), Status::kSuccess);
    for (const std::string &command : {std::string("DELE 1\r\nDELE 2"), "DELE 1" + nul + "2", std::string("NOOP\n")})
        EXPECT_EQ(Std(client.SendCommand(Q(command))), "") << command;
    EXPECT_FALSE(client.isOutOfStep());
    client.Logout();
    server.finish();
    EXPECT_EQ(server.acceptedCount(), 1u);
    EXPECT_EQ(server.received(0), transcript);
}

// The module's server settings read from a file holding text, for as long as it lives.
class SettingsFile {
public:
    explicit SettingsFile(const std::string &text) {
        std::ofstream(folder_ / "servers.conf") << text;
        QELServerSettings::Shared().setFilePath(Q(folder_ / "servers.conf"));
        QELServerSettings::Shared().refresh();
    }
    ~SettingsFile() {
        QELServerSettings::Shared().setFilePath(QELString());
        QELServerSettings::Shared().refresh();
    }
    SettingsFile(const SettingsFile &) = delete;
    SettingsFile &operator=(const SettingsFile &) = delete;

private:
    TemporaryFolder folder_;
};

class POP3ClientTLSTest : public POP3ClientTest {
protected:
    static void SetUpTestSuite() {
        std::string error;
        certificates_ = velquor::test::TestCertificates::Shared(&error);
        if (certificates_ == nullptr)
            FAIL() << error;
    }
    static const TestCertificates *certificates_;
};

const TestCertificates *POP3ClientTLSTest::certificates_ = nullptr;

using Failure = QELPOP3Client::SecurityFailure;

struct SecureLoginCase {
    const char *name;
    const char *security;     // "tls" or "starttls"
    const char *host;         // the server text's name, also the name the certificate must hold
    bool withCA;              // the settings name the test CA as ca-file
    Kind certificate;         // the server's
    const char *stlsReply;    // the answer to STLS (starttls only)
    Status status;
    Failure failure;
    const char *error;  // part of LastError
    const char *received;
};

TEST_F(POP3ClientTLSTest, CredentialsGoOutOnlyInsideTheTLSTheSettingsAskFor) {
    const Status kOff = Status::kUnableToConnect;
    const Failure kNo = QELPOP3Client::kNoSecurityFailure, kTLS = QELPOP3Client::kSecureSessionFailed;
    const SecureLoginCase cases[] = {
        {"STLS upgrade", "starttls", "127.0.0.1", true, Kind::Server, "+OK begin TLS\r\n", Status::kSuccess, kNo, "",
         "STLS\r\n[TLS]USER ann\r\nPASS secret\r\nQUIT\r\n"},
        {"TLS from the first byte", "tls", "127.0.0.1", true, Kind::Server, "", Status::kSuccess, kNo, "",
         "[TLS]USER ann\r\nPASS secret\r\nQUIT\r\n"},
        {"STLS refused", "starttls", "127.0.0.1", true, Kind::Server, "-ERR no TLS here\r\n", kOff, kTLS,
         "the server refused STLS: -ERR no TLS here", "STLS\r\nQUIT\r\n"},
        {"expired certificate after STLS", "starttls", "127.0.0.1", true, Kind::Expired, "+OK\r\n", kOff, kTLS,
         "certificate has expired", "STLS\r\n[TLS failed]"},
        {"certificate for another name", "tls", "127.0.0.1", true, Kind::Other, "", kOff, kTLS, "IP address mismatch",
         "[TLS failed]"},
        {"self-signed certificate", "tls", "127.0.0.1", true, Kind::SelfSigned, "", kOff, kTLS,
         "self-signed certificate", "[TLS failed]"},
        // The certificate names localhost and 127.0.0.1, not the name the page gave.
        {"server text names another host", "starttls", "server.test", true, Kind::Server, "+OK\r\n", kOff, kTLS,
         "hostname mismatch", "STLS\r\n[TLS failed]"},
        // Without a CA file the system's trust store decides, and it does not know the test CA.
        {"no CA file", "tls", "127.0.0.1", false, Kind::Server, "", kOff, kTLS,
         "unable to get local issuer certificate", "[TLS failed]"},
    };
    for (const SecureLoginCase &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        std::string settings = std::string("[") + c.host + "]\nsecurity = " + c.security + "\n";
        if (c.withCA)
            settings += "ca-file = " + certificates_->caFile() + "\n";
        SettingsFile file(settings);
        ScriptedServer::Script &script = server.connection();
        const std::string certificate = certificates_->certificate(c.certificate);
        const std::string key = certificates_->key(c.certificate);
        const bool tls = std::string(c.security) == "tls";
        const bool upgrade = tls || std::string(c.stlsReply).find("+OK") == 0;
        if (tls)
            script.startTLS(certificate, key);
        script.send("+OK ready\r\n");
        if (!tls) {
            script.receiveUntil("STLS\r\n").send(c.stlsReply);
            if (upgrade)
                script.startTLS(certificate, key);
        }
        if (c.status == Status::kSuccess)
            script.receiveUntil(kUser).send(kOK).receiveUntil(kPass).send(kOK);
        script.receiveUntil(kQuit).send(kOK).waitForClientClose();
        server.start();

        QELPOP3Client client(Q(c.host + (":" + std::to_string(server.port()))), "ann", "secret");
        EXPECT_EQ(client.Login(), c.status);
        EXPECT_EQ(client.securityFailure(), c.failure);
        const std::string error = Std(client.LastError());
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        // A failed handshake leaves no connection to send anything on.
        EXPECT_EQ(client.isConnected(), c.failure == kNo || !upgrade);
        client.Logout();
        server.finish();
        EXPECT_EQ(server.received(0), c.received);
    }
}

TEST_F(POP3ClientTLSTest, TLSWithoutAPortGoesTo995AndUnusableSettingsStopEverything) {
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.tlsHandshakeMilliseconds = 1000;
    SetNetworkLimits(limits);
    {
        // Whatever answers there (most likely nothing), the login fails without the test CA's
        // certificate, and the port tried is 995.
        SettingsFile file("[server.test]\nsecurity = tls\nca-file = " + certificates_->caFile() + "\n");
        QELPOP3Client client("server.test", "ann", "secret");
        EXPECT_EQ(client.Login(), Status::kUnableToConnect);
        EXPECT_EQ(client.serverPort(), 995);
        EXPECT_NE(Std(client.LastError()).find("127.0.0.1:995"), std::string::npos) << Std(client.LastError());
    }
    const char *unusable[][2] = {
        {"[server.test]\nsecurity = starttls\nbroken line\n", "is not used: line 3"},
        {"[other.test]\nsecurity = tls\nca-file =\n", "is not used: line 3: a setting without a value"},
    };
    for (const auto &c : unusable) {
        SCOPED_TRACE(c[0]);
        SettingsFile file(c[0]);
        ScriptedServer server;
        server.start();
        QELPOP3Client client(Q(server.hostAndPort()), "ann", "secret");
        EXPECT_EQ(client.Login(), Status::kUnableToConnect);
        EXPECT_EQ(client.securityFailure(), QELPOP3Client::kSettingsUnusable);
        EXPECT_NE(Std(client.LastError()).find(c[1]), std::string::npos) << Std(client.LastError());
        EXPECT_FALSE(client.isConnected());
        server.finish(100);
        EXPECT_EQ(server.acceptedCount(), 0u);
    }
}

struct SplitCase {
    std::string reply;
    std::string header;
    std::string text;
    bool terminated;
};

TEST(POP3ClientSplitTest, RetrievalSplitsAtTheFirstBlankLineAfterUnstuffing) {
    const SplitCase cases[] = {
        // An ordinary message: the text begins with the blank line's CR LF and keeps its end.
        {"+OK 30\r\nFrom: a\r\nTo: b\r\n\r\nHello\r\n.\r\n", "From: a\r\nTo: b", "\r\nHello\r\n", true},
        // Dots, blanks and the last line end of the text stay; stuffed lines lose one dot.
        {"+OK\r\nS: x\r\n\r\n..\r\nSee you...\r\n  \r\n...x\r\n.\r\n", "S: x", "\r\n.\r\nSee you...\r\n  \r\n..x\r\n",
         true},
        {"+OK\r\n..H: x\r\n\r\nT\r\n..\r\n.\r\n", ".H: x", "\r\nT\r\n.\r\n", true},
        // No blank line: all header.
        {"+OK\r\nS: x\r\nT: y\r\n.\r\n", "S: x\r\nT: y\r\n", "", true},
        // A blank line first: no header.
        {"+OK\r\n\r\nbody\r\n.\r\n", "", "\r\nbody\r\n", true},
        {"+OK\r\n.\r\n", "", "", true},
        {"+OK\n.\n", "", "", true},
        // Cut short: nothing removed at the end.
        {"+OK\r\nS: x\r\n\r\nbo", "S: x", "\r\nbo", false},
        {"+OK\r\nS: x\r\n\r\nend.\r\n", "S: x", "\r\nend.\r\n", false},
        {"+OK no line end", "", "", false},
        {"", "", "", false},
        // The terminator goes once; a stuffed ".." before it stays a ".".
        {"+OK\r\nS: x\r\n\r\n..\r\n.\r\n", "S: x", "\r\n.\r\n", true},
    };
    for (const SplitCase &c : cases) {
        QELString header("old");
        QELString text("old");
        EXPECT_EQ(QELPOP3Client::SplitRetrieval(Q(c.reply), header, text), c.terminated) << c.reply;
        EXPECT_EQ(Std(header), c.header) << c.reply;
        EXPECT_EQ(Std(text), c.text) << c.reply;
    }
}

}  // namespace
