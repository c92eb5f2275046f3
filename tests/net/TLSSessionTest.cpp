// TLSSessionTest.cpp: TLS on the connection layer against a scripted loopback server that
// upgrades mid-dialogue: verification outcomes and their texts, limits and caps over TLS.
#include "net/TLSSession.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "ScriptedServer.h"
#include "TestResolver.h"
#include "net/TCPConnection.h"
#include "support/TestCertificates.h"

namespace {

using velquor::test::TestCertificates;

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }

class TLSSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        certificates_ = velquor::test::TestCertificates::Shared(&error);
        if (certificates_ == nullptr)
            FAIL() << error;
    }
    void SetUp() override { ResetNetworkLimits(); }
    void TearDown() override { ResetNetworkLimits(); }

    // The certificate or key file of a kind named "server", "expired", ...
    static std::string File(const std::string &name) { return certificates_->folder() + "/" + name; }

    QELOwned<QELTCPConnection> Open(const ScriptedServer &server) {
        QELIPAddress address;
        uint16_t port = 0;
        EXPECT_TRUE(ResolveHostName(QELString(server.hostAndPort().c_str()), 1, address, port));
        QELString error;
        QELOwned<QELTCPConnection> connection = OpenConnection(address, port, false, nullptr, &error);
        EXPECT_NE(connection, nullptr) << error.text();
        return connection;
    }

    static const TestCertificates *certificates_;
    TestResolver resolver_;
};

const TestCertificates *TLSSessionTest::certificates_ = nullptr;

TEST_F(TLSSessionTest, AnUpgradedConnectionCarriesRepliesAndCommandsBothWays) {
    ScriptedServer server;
    std::string body(200000, 'x');  // many records, read as one reply under the cap
    server.connection()
        .send("220 ready\r\n")
        .receiveUntil("STARTTLS\r\n")
        .send("220 go ahead\r\n")
        .startTLS(File("server.pem"), File("server.key"))
        .receiveUntil("EHLO x\r\n")
        .send("250 " + body + "\r\n")
        .waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    QELSMTPReplyCompletion completion;
    ASSERT_TRUE(connection->ReadReply(&completion));
    ASSERT_TRUE(connection->Send("STARTTLS\r\n"));
    ASSERT_TRUE(connection->ReadReply(&completion));
    EXPECT_EQ(connection->ReplyCode(), 220);
    ASSERT_TRUE(connection->StartTLS("127.0.0.1", certificates_->caFile().c_str()))
        << connection->LastError().text();
    EXPECT_TRUE(connection->isSecure());
    EXPECT_EQ(connection->TLSVersion().startsWith("TLSv1."), true);
    ASSERT_TRUE(connection->Send("EHLO x\r\n"));
    ASSERT_TRUE(connection->ReadReply(&completion)) << connection->LastError().text();
    EXPECT_EQ(connection->ReplyCode(), 250);
    EXPECT_EQ(Std(connection->ReplyText()), " " + body + "\r\n");
    connection.reset();
    server.finish();
    EXPECT_EQ(server.received(0), "STARTTLS\r\n[TLS]EHLO x\r\n");
    EXPECT_FALSE(server.clientWaitExpired());
}

struct VerifyCase {
    const char *certificate;  // the server's, from the test certificates
    const char *host;         // the name the client checks
    bool withCA;              // the client trusts the test CA (else the system's store)
    const char *expected;     // empty for success, else a part of the error text
};

TEST_F(TLSSessionTest, TheServersCertificateMustVerifyAndNameTheHost) {
    const VerifyCase cases[] = {
        {"server", "127.0.0.1", true, ""},
        {"server", "localhost", true, ""},
        {"server", "server.test", true, "certificate verification failed for 127.0.0.1:"},
        {"expired", "127.0.0.1", true, "certificate has expired"},
        {"other", "127.0.0.1", true, "IP address mismatch"},
        {"other", "localhost", true, "hostname mismatch"},
        {"selfsigned", "127.0.0.1", true, "self-signed certificate"},
        {"server", "127.0.0.1", false, "unable to get local issuer certificate"},
    };
    for (const VerifyCase &c : cases) {
        SCOPED_TRACE(std::string(c.certificate) + " as " + c.host);
        ScriptedServer server;
        server.connection()
            .startTLS(File(std::string(c.certificate) + ".pem"),
                      File(std::string(c.certificate) + ".key"))
            .send("+OK hello\r\n")
            .waitForClientClose(2000);
        server.start();
        QELOwned<QELTCPConnection> connection = Open(server);
        bool secured = connection->StartTLS(c.host, c.withCA ? certificates_->caFile().c_str() : "");
        std::string error = Std(connection->LastError());
        if (*c.expected == 0) {
            EXPECT_TRUE(secured) << error;
            EXPECT_TRUE(connection->ReadReply());
            EXPECT_EQ(Std(connection->ReplyText()), "+OK hello\r\n");
        } else {
            EXPECT_FALSE(secured);
            EXPECT_NE(error.find(c.expected), std::string::npos) << error;
            // Nothing goes out after a failed handshake.
            EXPECT_FALSE(connection->Send("USER secret\r\n"));
            EXPECT_FALSE(connection->isSecure());
        }
        connection.reset();
        server.finish();
        EXPECT_EQ(server.received(0).find("USER"), std::string::npos);
    }
}

TEST_F(TLSSessionTest, TheSystemStoreIsOpenSSLsDefaultVerifyPaths) {
    // SSL_CERT_FILE names the trusted certificates for every OpenSSL program.
    ScriptedServer server;
    server.connection()
        .startTLS(File("server.pem"), File("server.key"))
        .waitForClientClose(2000);
    server.start();
    const char *before = getenv("SSL_CERT_FILE");
    std::string saved = before != nullptr ? before : "";
    setenv("SSL_CERT_FILE", certificates_->caFile().c_str(), 1);
    QELOwned<QELTCPConnection> connection = Open(server);
    EXPECT_TRUE(connection->StartTLS("localhost", "")) << connection->LastError().text();
    if (before != nullptr)
        setenv("SSL_CERT_FILE", saved.c_str(), 1);
    else
        unsetenv("SSL_CERT_FILE");
    connection.reset();
    server.finish();
}

TEST_F(TLSSessionTest, HandshakeFailuresNameTheirCause) {
    struct Case {
        const char *name;
        std::string serverBytes;  // what a server that is no TLS server sends
        uint32_t limit;
        const char *expected;
    };
    const Case cases[] = {
        {"plain server", "220 plain text only\r\n", 5000, "TLS handshake with 127.0.0.1:"},
        {"silent server", "", 300, "did not end within 300 ms"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QELNetworkLimits limits = kDefaultNetworkLimits;
        limits.tlsHandshakeMilliseconds = c.limit;
        SetNetworkLimits(limits);
        ScriptedServer server;
        ScriptedServer::Script &script = server.connection();
        if (!c.serverBytes.empty())
            script.send(c.serverBytes);
        script.waitForClientClose(5000);
        server.start();
        QELOwned<QELTCPConnection> connection = Open(server);
        EXPECT_FALSE(connection->StartTLS("127.0.0.1", certificates_->caFile().c_str()));
        std::string error = Std(connection->LastError());
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        connection.reset();
        server.finish();
    }
}

TEST_F(TLSSessionTest, CapsAndTimeLimitsHoldOverTLS) {
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.replyByteCap = 50000;
    limits.replyMilliseconds = 400;
    SetNetworkLimits(limits);
    ScriptedServer server;
    server.connection()
        .startTLS(File("server.pem"), File("server.key"))
        .send(std::string(60000, 'y'))
        .receiveUntil("NEXT\r\n")
        .send("+OK partial")  // never ends: the whole-reply limit decides
        .awaitRelease();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_TRUE(connection->StartTLS("127.0.0.1", certificates_->caFile().c_str()));
    QELPOP3ReplyCompletion multiLine(true);
    EXPECT_FALSE(connection->ReadReply(&multiLine));
    EXPECT_NE(Std(connection->LastError()).find("larger than 50000 bytes"), std::string::npos)
        << connection->LastError().text();
    ASSERT_TRUE(connection->Send("NEXT\r\n"));
    EXPECT_FALSE(connection->ReadReply(&multiLine));
    EXPECT_NE(Std(connection->LastError()).find("not complete within 400 ms"), std::string::npos)
        << connection->LastError().text();
    server.release();
    connection.reset();
    server.finish();
}

}  // namespace
