// SMTPTLSBench.cpp: the SMTP client sending a 10 KB message over STARTTLS with AUTH to the
// distribution's SMTP server on loopback, beside Python's smtplib doing the same (starttls
// verified against the same CA, login, sendmail); the plain dialogue and the TLS handshake
// alone show what the encryption costs and the handshake's share of it.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/StringSplitter.h"
#include "mail/SMTPServerProcess.h"
#include "net/NetworkLimits.h"
#include "net/SMTPClient.h"
#include "net/ServerSettings.h"
#include "net/TCPConnection.h"
#include "support/TestCertificates.h"

namespace {

using Clock = std::chrono::steady_clock;
using velquor::test::TestCertificates;

const char kUser[] = "bench";
const char kPassword[] = "bench-password";

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

std::string TemporaryFolder() {
    char pattern[] = "/tmp/velquor-bench-XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "/tmp";
}

// The message both sides send: a subject, a blank line and 10 KB of lines.
std::string TenKilobyteMessage() {
    std::string text = "Subject: Benchmark\r\n\r\n";
    while (text.size() < 10 * 1024)
        text += "A line of the message that the benchmark sends, long enough to look real.\r\n";
    return text;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The certificates, a plain server, a STARTTLS server that requires AUTH, an implicit TLS
// server for the handshake alone, and the module's settings file naming them.
struct Servers {
    Servers() {
        // The certificate script and the server's launcher are in the source tree.
        setenv("VELQUOR_SOURCE_DIR", VELQUOR_BENCH_SOURCE_DIR, 0);
        const std::string folder = TemporaryFolder();
        std::string error;
        if (!certificates.make(folder + "/certificates", &error)) {
            failure = error;
            return;
        }
        const std::string certificate = certificates.certificate(TestCertificates::Kind::Server);
        const std::string key = certificates.key(TestCertificates::Kind::Server);
        const std::string account = std::string(kUser) + ":" + kPassword;
        if (!plain.start(TemporaryFolder(), {}, &error) ||
            !starttls.start(TemporaryFolder(), {"--starttls", certificate, key, "--auth", account}, &error) ||
            !tls.start(TemporaryFolder(), {"--tls", certificate, key}, &error)) {
            failure = error;
            return;
        }
        const std::string settings = folder + "/servers.conf";
        std::ofstream(settings) << "[" << starttls.hostAndPort() << "]\nsecurity = starttls\nuser = " << kUser
                                << "\npassword = " << kPassword << "\nca-file = " << certificates.caFile() << "\n";
        chmod(settings.c_str(), 0600);
        QELServerSettings::Shared().setFilePath(Q(settings));
        const QELString problem = QELServerSettings::Shared().refresh();
        if (!problem.isEmpty())
            failure = problem.text();
    }
    TestCertificates certificates;
    SMTPServerProcess plain, starttls, tls;
    std::string failure;
};

Servers &TheServers() {
    static Servers servers;
    return servers;
}

// Our client sending the message to server; each send's time goes into the results, and
// the median of them into the counter "median_ms".
void SendWithClient(benchmark::State &state, const std::string &server) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    const QELString text = Q(TenKilobyteMessage() + ".");
    const QELStringSplitter lines(text, QELString("\r\n"));
    const QELStringSplitter recipients(QELString("to@x.test"), QELString(","));
    std::vector<double> seconds;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        QELSMTPClient client;
        const QELString result = client.SMTPSend(Q(server), QELString("bench@site.test"), recipients, lines);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (!result.isEmpty()) {
            state.SkipWithError(result.text());
            return;
        }
        state.SetIterationTime(elapsed);
        seconds.push_back(elapsed);
    }
    state.counters["median_ms"] = Median(seconds) * 1000;
}

void BM_ClientPlain10KB(benchmark::State &state) { SendWithClient(state, TheServers().plain.hostAndPort()); }
BENCHMARK(BM_ClientPlain10KB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

void BM_ClientStartTLSAuth10KB(benchmark::State &state) { SendWithClient(state, TheServers().starttls.hostAndPort()); }
BENCHMARK(BM_ClientStartTLSAuth10KB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

// The connection layer's part alone: connect, the verified handshake (a fresh context that
// loads the CA file, as every delivery does), close.
void BM_ClientTLSHandshake(benchmark::State &state) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    QELIPAddress address;
    uint16_t port = 0;
    ResolveHostName(Q(servers.tls.hostAndPort()), 465, address, port);
    const QELString ca = Q(servers.certificates.caFile());
    std::vector<double> seconds;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        QELOwned<QELTCPConnection> connection = OpenConnection(address, port, false);
        if (!connection || !connection->StartTLS(QELString("127.0.0.1"), ca)) {
            state.SkipWithError("the handshake failed");
            return;
        }
        connection.reset();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds.push_back(elapsed);
    }
    state.counters["median_ms"] = Median(seconds) * 1000;
}
BENCHMARK(BM_ClientTLSHandshake)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

// Python's smtplib doing the same: EHLO, starttls with a context that trusts the test CA
// (made for each message, as each delivery of ours makes its own), EHLO, login, sendmail,
// quit. Timed in Python (the interpreter's start is not counted); "starttls_ms" is the
// median of the starttls call (the STARTTLS command and the handshake).
void BM_PythonSmtplibStartTLSAuth10KB(benchmark::State &state) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    const int sends = 200;
    const std::string script =
        "import smtplib, ssl, sys, time\n"
        "body = sys.stdin.buffer.read()\n"
        "for _ in range(" + std::to_string(sends) + "):\n"
        "    start = time.perf_counter()\n"
        "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(servers.starttls.port()) + ", local_hostname='bench')\n"
        "    s.ehlo()\n"
        "    before = time.perf_counter()\n"
        "    s.starttls(context=ssl.create_default_context(cafile='" + servers.certificates.caFile() + "'))\n"
        "    after = time.perf_counter()\n"
        "    s.ehlo()\n"
        "    s.login('" + kUser + "', '" + kPassword + "')\n"
        "    s.sendmail('bench@site.test', ['to@x.test'], body)\n"
        "    s.quit()\n"
        "    print(time.perf_counter() - start, after - before)\n";
    const std::string bodyFile = TemporaryFolder() + "/body.txt";
    std::ofstream(bodyFile, std::ios::binary) << TenKilobyteMessage();
    setenv("VELQUOR_BENCH_SCRIPT", script.c_str(), 1);
    const std::string command = "/usr/bin/python3 -c \"$VELQUOR_BENCH_SCRIPT\" < " + bodyFile;
    FILE *pipe = popen(command.c_str(), "r");
    std::vector<double> seconds, handshakes;
    double whole = 0, handshake = 0;
    while (pipe != nullptr && std::fscanf(pipe, "%lf %lf", &whole, &handshake) == 2) {
        seconds.push_back(whole);
        handshakes.push_back(handshake);
    }
    if (pipe != nullptr)
        pclose(pipe);
    if (seconds.size() != static_cast<size_t>(sends)) {
        state.SkipWithError("smtplib did not send every message");
        return;
    }
    size_t next = 0;
    for (auto _ : state)
        state.SetIterationTime(seconds[next++ % seconds.size()]);
    state.counters["median_ms"] = Median(seconds) * 1000;
    state.counters["starttls_ms"] = Median(handshakes) * 1000;
}
BENCHMARK(BM_PythonSmtplibStartTLSAuth10KB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

}  // namespace
