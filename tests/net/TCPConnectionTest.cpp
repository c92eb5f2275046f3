// TCPConnectionTest.cpp: the TCP connection against scripted loopback servers: reply
// codes, quiet-interval replies, completion tests, time limits, byte caps and signals.
#include "net/TCPConnection.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "ScriptedServer.h"
#include "TestResolver.h"
#include "platform/Clock.h"

namespace {

std::string Std(const QELString &text) { return std::string(text.text(), text.length()); }

class TCPConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ResetNetworkLimits(); }
    void TearDown() override { ResetNetworkLimits(); }

    // Opens a connection to the server, without reading a greeting.
    QELOwned<QELTCPConnection> Open(const ScriptedServer &server) {
        QELIPAddress address;
        uint16_t port = 0;
        EXPECT_TRUE(ResolveHostName(QELString(server.hostAndPort().c_str()), 1, address, port));
        EXPECT_EQ(port, server.port());
        QELString error;
        QELOwned<QELTCPConnection> connection = OpenConnection(address, port, false, nullptr, &error);
        EXPECT_NE(connection, nullptr) << error.text();
        return connection;
    }

    TestResolver resolver_;

    static void SetLimits(uint32_t firstByte, uint32_t reply, uint32_t quiet = 500) {
        QELNetworkLimits limits = kDefaultNetworkLimits;
        limits.firstByteMilliseconds = firstByte;
        limits.replyMilliseconds = reply;
        limits.quietMilliseconds = quiet;
        SetNetworkLimits(limits);
    }
};

struct CodeCase {
    const char *reply;
    int32_t code;
    const char *text;
    bool result;
};

// The server sends the reply and closes, so each read ends at the close.
TEST_F(TCPConnectionTest, ReplyCodeIsSplitFromTheFirstFifteenBytes) {
    const CodeCase cases[] = {
        {"250 OK\r\n", 250, " OK\r\n", true},
        {"+OK 2 messages\r\n", 2, "+OK 2 messages\r\n", true},
        {"HTTP/1.0 404 Not Found\r\n", 404, "HTTP/1.0 404 Not Found\r\n", true},
        {"421", 421, "", false},
        {" \t220 ready", 220, " ready", true},
        {"ABCDEFGHIJKLMNOP 250 late", 0, "ABCDEFGHIJKLMNOP 250 late", true},
        {"hello world 12", 0, "hello world 12", true},
        {"2147483647 max", 2147483647, " max", true},
        {"2147483648 over", 214748364, "8 over", true},
        {"99999999999999 x", 999999999, "99999 x", true},
        {"x 123456789012345", 1234567890, "x 123456789012345", true},
        {"354", 354, "", false},
    };
    for (const CodeCase &c : cases) {
        ScriptedServer server;
        server.connection().send(c.reply);
        server.start();
        QELOwned<QELTCPConnection> connection = Open(server);
        ASSERT_NE(connection, nullptr);
        EXPECT_EQ(connection->ReadReply(), c.result) << c.reply;
        EXPECT_EQ(connection->ReplyCode(), c.code) << c.reply;
        EXPECT_EQ(Std(connection->ReplyText()), c.text) << c.reply;
        EXPECT_TRUE(connection->LastError().isEmpty()) << c.reply;
    }
}

TEST_F(TCPConnectionTest, ParsingWithoutDataGivesCodeZero) {
    uint32_t consumed = 99;
    EXPECT_EQ(QELTCPConnection::ParseReplyCode("", 0, &consumed), 0);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(QELTCPConnection::ParseReplyCode("  ", 2, &consumed), 0);
    EXPECT_EQ(consumed, 0u);
}

TEST_F(TCPConnectionTest, SecondReadWithoutSendFailsAtOnceAndKeepsTheReply) {
    ScriptedServer server;
    server.connection().send("220 ready\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    QELSMTPReplyCompletion smtp;
    ASSERT_TRUE(connection->ReadReply(&smtp));
    EXPECT_FALSE(connection->ReadReply(&smtp));
    // Had it waited, the text would be cleared and the first-byte limit would report.
    EXPECT_EQ(connection->ReplyCode(), 220);
    EXPECT_EQ(Std(connection->ReplyText()), " ready\r\n");
    EXPECT_TRUE(connection->LastError().isEmpty());
}

// A pause far shorter than the quiet interval does not end a reply.
TEST_F(TCPConnectionTest, PartsLessThanTheQuietIntervalApartAreOneReply) {
    SetLimits(5000, 20000, 3000);
    ScriptedServer server;
    server.connection().send("250 first").pause(50).send(" second\r\n");
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->ReadReply());
    EXPECT_EQ(connection->ReplyCode(), 250);
    EXPECT_EQ(Std(connection->ReplyText()), " first second\r\n");
}

// The second part goes out only after the first read has ended by the quiet interval.
TEST_F(TCPConnectionTest, PartsFurtherApartAreTwoRepliesAndTheSecondContinuesTheFirst) {
    SetLimits(5000, 20000, 100);
    ScriptedServer server;
    server.connection().send("250 first").awaitRelease().send("123 second\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->ReadReply());
    EXPECT_EQ(Std(connection->ReplyText()), " first");
    server.release();
    EXPECT_FALSE(connection->ReadReply());  // not expected without a send
    connection->ExpectReply(true);
    EXPECT_TRUE(connection->ReadReply());
    EXPECT_EQ(connection->ReplyCode(), 250);  // the continuation keeps the first code
    EXPECT_EQ(Std(connection->ReplyText()), "123 second\r\n");
}

TEST_F(TCPConnectionTest, SilentServerIsBoundedByTheFirstByteLimit) {
    SetLimits(300, 5000);
    ScriptedServer server;
    server.connection().waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->ReadReply());
    EXPECT_EQ(Std(connection->LastError()), "no reply from " + server.hostAndPort() + " within 300 ms");
    EXPECT_TRUE(connection->ReplyText().isEmpty());
    EXPECT_EQ(connection->ReplyCode(), 0);
}

TEST_F(TCPConnectionTest, TricklingServerIsBoundedByTheWholeReplyLimit) {
    SetLimits(2000, 600);
    ScriptedServer server;
    ScriptedServer::Script &script = server.connection();
    script.send("250 ");
    for (int i = 0; i < 30; ++i)
        script.pause(100).send("x");
    script.waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->ReadReply());
    EXPECT_EQ(Std(connection->LastError()), "reply from " + server.hostAndPort() + " not complete within 600 ms");
    // What arrived before the limit is kept.
    EXPECT_EQ(connection->ReplyCode(), 250);
    EXPECT_FALSE(connection->ReplyText().isEmpty());
}

TEST_F(TCPConnectionTest, CompletionTestEndsTheReplyWithoutWaitingForQuiet) {
    SetLimits(5000, 20000, 100);
    ScriptedServer server;
    // The pause inside the multi-line reply is longer than the quiet interval: only the
    // completion test keeps the two lines one reply. The next reply goes out only once
    // the first has been read.
    server.connection()
        .send("250-first\r\n")
        .pause(400)
        .send("250 last\r\n")
        .awaitRelease()
        .send("354 go ahead\r\n")
        .receiveUntil("DATA\r\n")
        .send("250 queued\r\n")
        .waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    QELSMTPReplyCompletion smtp;
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(connection->ReplyCode(), 250);
    EXPECT_EQ(Std(connection->ReplyText()), "-first\r\n250 last\r\n");
    server.release();
    connection->ExpectReply(true);
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(Std(connection->ReplyText()), "354 go ahead\r\n");
    EXPECT_TRUE(connection->Send("DATA\r\n"));
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(connection->ReplyCode(), 250);
    EXPECT_EQ(Std(connection->ReplyText()), " queued\r\n");
}

TEST_F(TCPConnectionTest, ReplyOfUnknownFormEndsAfterTheQuietInterval) {
    SetLimits(2000, 5000);
    ScriptedServer server;
    server.connection().send("hello there\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    QELSMTPReplyCompletion smtp;
    // Without the fallback the read would run into the 5 s limit and fail.
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(Std(connection->ReplyText()), "hello there\r\n");
    EXPECT_TRUE(connection->LastError().isEmpty());
}

TEST_F(TCPConnectionTest, ReplyLargerThanTheCapFails) {
    ScriptedServer server;
    server.connection().send("250 " + std::string(5000, 'y')).waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    connection->setReplyByteCap(100);
    EXPECT_FALSE(connection->ReadReply());
    EXPECT_EQ(Std(connection->LastError()), "reply from " + server.hostAndPort() + " larger than 100 bytes");
    EXPECT_LE(connection->ReplyText().length(), 101u);
}

TEST_F(TCPConnectionTest, LargeSendArrivesWhole) {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    ScriptedServer server;
    server.connection().receiveBytes(text.size()).send("250 got it\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->Send(QELString(text.data(), static_cast<uint32_t>(text.size()))));
    QELSMTPReplyCompletion smtp;
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(connection->ReplyCode(), 250);
    server.finish();
    EXPECT_EQ(server.received(0), text);
}

// After a reset the first failing send reports the reset; later ones find the
// connection gone (EPIPE), which raises SIGPIPE unless the send forbids it. The test
// process must survive every one of them.
TEST_F(TCPConnectionTest, SendsToAPeerThatResetDoNotRaiseSIGPIPE) {
    ScriptedServer server;
    server.connection().receiveBytes(1).reset();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    QELString block(std::string(64 * 1024, 'z').c_str());
    int failures = 0;
    for (int i = 0; i < 400 && failures < 3; ++i)
        if (!connection->Send(block))
            ++failures;
    EXPECT_EQ(failures, 3);
    EXPECT_EQ(Std(connection->LastError()).find("sending to " + server.hostAndPort() + " failed: "), 0u)
        << connection->LastError().text();
}

TEST_F(TCPConnectionTest, GreetingIsReadWhenAsked) {
    ScriptedServer server;
    server.connection().send("220 mail.example ESMTP\r\n").waitForClientClose();
    server.start();
    QELIPAddress address(0x7F000001u);
    QELSMTPReplyCompletion smtp;
    QELOwned<QELTCPConnection> connection = OpenConnection(address, server.port(), true, &smtp);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->ReplyCode(), 220);
    EXPECT_EQ(Std(connection->ReplyText()), " mail.example ESMTP\r\n");
}

// Signals arrive all through a reply that comes in two parts; none of them may end it.
volatile sig_atomic_t gSignalsSeen = 0;
void CountSignal(int) { gSignalsSeen = gSignalsSeen + 1; }

TEST_F(TCPConnectionTest, SignalsDoNotEndAReply) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = CountSignal;
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls report EINTR
    sigemptyset(&action.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    // The SMTP completion test, not a pause, ends the reply, so a slow machine cannot
    // split it.
    SetLimits(5000, 20000, 5000);
    ScriptedServer server;
    server.connection().pause(300).send("250 a").pause(300).send("b\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    QELSMTPReplyCompletion smtp;
    gSignalsSeen = 0;
    std::atomic<bool> reading{true};
    pthread_t reader = pthread_self();
    std::thread signaller([&] {
        while (reading) {
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });
    bool read = connection->ReadReply(&smtp);
    reading = false;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(read) << connection->LastError().text();
    EXPECT_EQ(Std(connection->ReplyText()), " ab\r\n");
    EXPECT_GT(gSignalsSeen, 10);
}

struct ResolveCase {
    const char *name;
    bool found;
    uint16_t port;
    const char *address;
};

TEST_F(TCPConnectionTest, ResolveHostNameTakesThePortFromTheName) {
    const ResolveCase cases[] = {
        {"127.0.0.1", true, 25, "127.0.0.1"},
        {"127.0.0.1:2525", true, 2525, "127.0.0.1"},
        {"server.test:8080", true, 8080, "127.0.0.1"},
        {"server.test:65535", true, 65535, "127.0.0.1"},
        {"[::1]", true, 25, "::1"},
        {"[::1]:8080", true, 8080, "::1"},
        {"[2001:db8::7]:80", true, 80, "2001:db8::7"},
        {"v6.test:81", true, 81, "::1"},
        {"", false, 0, ""},
        {"127.0.0.1:", false, 0, ""},
        {":80", false, 0, ""},
        {"127.0.0.1:0", false, 0, ""},
        {"127.0.0.1:65536", false, 0, ""},
        {"127.0.0.1:8x", false, 0, ""},
        {"127.0.0.1:-1", false, 0, ""},
        {"127.0.0.1:1:2", false, 0, ""},
        {"::1", false, 0, ""},
        {"[::1", false, 0, ""},
        {"[]:80", false, 0, ""},
        {"[::1]80", false, 0, ""},
        {"unknown.test", false, 0, ""},
    };
    for (const ResolveCase &c : cases) {
        QELIPAddress address;
        uint16_t port = 0;
        EXPECT_EQ(ResolveHostName(QELString(c.name), 25, address, port), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(port, c.port) << c.name;
            EXPECT_EQ(Std(address.dottedText()), c.address) << c.name;
        }
    }
    QELIPAddress address;
    uint16_t port = 0;
    EXPECT_FALSE(ResolveHostName(QELString("127.0.0.1\0evil", 14), 25, address, port));
    QELString error;
    EXPECT_FALSE(ResolveHostName(QELString("unknown.test:80"), 25, address, port, &error));
    EXPECT_EQ(Std(error), "the host name \"unknown.test:80\" was not found");
}

// A resolver that does not answer holds the lookup no longer than the connect limit.
TEST_F(TCPConnectionTest, ALookupThatTakesTooLongFailsWithinTheConnectLimit) {
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.connectMilliseconds = 300;
    SetNetworkLimits(limits);
    QELIPAddress address;
    uint16_t port = 0;
    QELString error;
    EXPECT_FALSE(ResolveHostName(QELString("slow.test:80"), 80, address, port, &error));
    EXPECT_EQ(Std(error), "the host name \"slow.test:80\" was not looked up within 300 ms");
    TestResolver::ReleaseSlowLookups();
    EXPECT_TRUE(TestResolver::WaitUntilNoLookupRuns(10000));
}

TEST_F(TCPConnectionTest, LocalNameAndAddressComeFromTheMachinesOwnName) {
    QELString name;
    ASSERT_TRUE(GetLocalHostName(name));
    EXPECT_EQ(Std(name), "machine.test");
    QELIPAddress local;
    ASSERT_TRUE(GetLocalAddress(local));
    EXPECT_EQ(Std(local.dottedText()), "192.0.2.7");
}

TEST_F(TCPConnectionTest, ConnectsOverIPv6) {
    ScriptedServer server(true);
    if (!server.listening())
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    server.connection().send("220 over IPv6\r\n").waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Std(connection->peerText()), server.hostAndPort());
    QELSMTPReplyCompletion smtp;
    EXPECT_TRUE(connection->ReadReply(&smtp));
    EXPECT_EQ(connection->ReplyCode(), 220);
}

TEST_F(TCPConnectionTest, ConnectionRefusedGivesNoConnectionAndAReason) {
    RefusingPort refusing;
    uint16_t port = refusing.port();
    QELString error;
    QELOwned<QELTCPConnection> connection =
        OpenConnection(QELIPAddress(0x7F000001u), port, false, nullptr, &error);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(Std(error).find("unable to connect to 127.0.0.1:" + std::to_string(port) + ": "), 0u) << error.text();
}

// A listener whose queue is full drops further connection attempts, so only the
// connect limit can end them.
TEST_F(TCPConnectionTest, ConnectIsBoundedByTheConnectLimit) {
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.connectMilliseconds = 300;
    SetNetworkLimits(limits);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<struct sockaddr *>(&address), &length);
    uint16_t port = ntohs(address.sin_port);
    QELString error;
    QELOwned<QELTCPConnection> fillers[4];
    bool refused = false;
    for (int i = 0; i < 4 && !refused; ++i) {
        fillers[i] = OpenConnection(QELIPAddress(0x7F000001u), port, false, nullptr, &error);
        refused = fillers[i] == nullptr;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(Std(error), "no connection to 127.0.0.1:" + std::to_string(port) + " within 300 ms");
    close(listener);
}

// Once the module is stopping, every wait of a connection ends by its stop limit, whatever
// its own limit, with a text that says so; the stop's end gives the waits their own limits.
TEST_F(TCPConnectionTest, TheModulesStopEndsEveryWaitByTheStopLimit) {
    // 30 s for a first byte, 15 s to connect; connections open, then their waits are cut.
    QELNetworkLimits limits = kDefaultNetworkLimits;
    limits.stopMilliseconds = 60000;
    SetNetworkLimits(limits);
    struct Case {
        const char *what;
        uint32_t stopLimit;  // set on the connection after it is open
        std::function<bool(QELTCPConnection &)> act;
        const char *error;  // after the server's address
    };
    const Case cases[] = {
        {"a read with the stop limit still ahead", 300, [](QELTCPConnection &c) { return c.ReadReply(); },
         ": the module is stopping"},
        {"a read after the stop limit", 0, [](QELTCPConnection &c) { return c.ReadReply(); },
         ": the module is stopping"},
        {"a send after the stop limit", 0, [](QELTCPConnection &c) { return c.Send(QELString("QUIT\r\n")); },
         ": the module is stopping"},
        {"a TLS handshake after the stop limit", 0,
         [](QELTCPConnection &c) { return c.StartTLS(QELString("localhost"), QELString()); },
         ": the module is stopping"},
    };
    BeginNetworkStop();
    for (const Case &c : cases) {
        ScriptedServer server;
        server.connection().waitForClientClose();
        server.start();
        QELOwned<QELTCPConnection> connection = Open(server);
        ASSERT_NE(connection, nullptr) << c.what;
        connection->setStopLimit(c.stopLimit);
        const uint64_t start = MonotonicMilliseconds();
        EXPECT_FALSE(c.act(*connection)) << c.what;
        EXPECT_LT(MonotonicMilliseconds() - start, 10000u) << c.what;
        const std::string error = Std(connection->LastError());
        EXPECT_NE(std::string::npos, error.find(server.hostAndPort() + c.error)) << c.what << ": " << error;
        EXPECT_EQ(0u, error.find("gave up ")) << c.what << ": " << error;
    }
    // A connection opened once its stop limit has passed is not even tried.
    {
        ScriptedServer server;
        server.start();
        QELNetworkLimits passed = limits;
        passed.stopMilliseconds = 0;
        SetNetworkLimits(passed);
        QELString error;
        EXPECT_FALSE(OpenConnection(QELIPAddress(0x7F000001u), server.port(), false, nullptr, &error));
        EXPECT_EQ("gave up connecting to " + server.hostAndPort() + ": the module is stopping", Std(error));
        SetNetworkLimits(limits);
        server.finish(0);
    }
    EndNetworkStop();
    SetLimits(300, 5000);
    ScriptedServer server;
    server.connection().waitForClientClose();
    server.start();
    QELOwned<QELTCPConnection> connection = Open(server);
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->ReadReply());
    EXPECT_EQ("no reply from " + server.hostAndPort() + " within 300 ms", Std(connection->LastError()));
}

// Every open connection uses the socket library: closing one never stops it under
// another, and once the last is closed it is stopped; a lookup uses it only while it runs.
TEST_F(TCPConnectionTest, TheSocketLibraryStaysStartedWhileAnyConnectionIsOpen) {
    ScriptedServer server;
    server.connection().receiveUntil("one\r\n").send("250 one\r\n").waitForClientClose();
    server.connection().receiveUntil("two\r\n").send("250 two\r\n").waitForClientClose();
    server.start();
    ASSERT_FALSE(SocketLibraryStarted());
    QELOwned<QELTCPConnection> first = Open(server);
    QELOwned<QELTCPConnection> second = Open(server);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(first->Send("one\r\n"));
    QELSMTPReplyCompletion smtp;
    EXPECT_TRUE(first->ReadReply(&smtp));
    first.reset();
    EXPECT_TRUE(SocketLibraryStarted());
    EXPECT_TRUE(second->Send("two\r\n"));
    EXPECT_TRUE(second->ReadReply(&smtp));
    EXPECT_EQ(Std(second->ReplyText()), " two\r\n");
    second.reset();
    EXPECT_FALSE(SocketLibraryStarted());
    QELIPAddress address;
    uint16_t port = 0;
    EXPECT_TRUE(ResolveHostName(QELString("server.test"), 80, address, port));
    EXPECT_FALSE(SocketLibraryStarted());
    // A stop without a start changes nothing.
    StopSocketLibrary();
    EXPECT_TRUE(StartSocketLibrary());
    EXPECT_TRUE(SocketLibraryStarted());
    StopSocketLibrary();
    EXPECT_FALSE(SocketLibraryStarted());
}

}  // namespace
