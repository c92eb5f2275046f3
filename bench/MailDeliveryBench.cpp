// MailDeliveryBench.cpp: delivery jobs sending to the distribution's SMTP server on
// loopback: a 10 KB message beside Python's smtplib sending the same to the same server,
// and 5 MB and 25 MB attachments, each in a process of its own for its peak memory.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/FileInputStream.h"
#include "mail/EmailMessage.h"
#include "mail/Thread.h"
#include "mail/SMTPServerProcess.h"

namespace {

QELString Q(const std::string &text) { return QELString(text.data(), static_cast<uint32_t>(text.size())); }

std::string TemporaryFolder() {
    char pattern[] = "/tmp/velquor-bench-XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "/tmp";
}

std::string TenKilobytes() {
    std::string body;
    while (body.size() < 10 * 1024)
        body += "A line of the message that the benchmark sends, long enough to look real.\r\n";
    return body;
}

// The peak resident memory of this process, in bytes.
long long PeakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atoll(line.c_str() + 6) * 1024;
    return 0;
}

// Sends one message through a delivery job and waits for the job's end.
bool Deliver(const std::string &server, const std::string &body, const std::string &attachment) {
    QELEmailMessage message(QELString("/tmp"), QELString());
    message.SetSMTPServer(Q(server));
    message.SetFrom(QELString("bench@site.test"));
    message.AddTo(QELString("to@x.test"));
    message.SetSubject(QELString("Benchmark"));
    message.SetBodyHeaders(QELString("Content-Type: text/plain"));
    message.SetBody(Q(body));
    if (!attachment.empty()) {
        QELFileInputStream stream(QELFileSystemItem(Q(attachment)), 64 * 1024);
        message.AddAttachment(stream, QELEmailMessage::kBase64, QELString("data.bin"), -1);
    }
    return message.CreateDeliveryJob() && QELThread::WaitUntilNoneRuns(600000);
}

struct Servers {
    Servers() {
        std::string error;
        if (!small.start(TemporaryFolder(), {}, &error) || !large.start(TemporaryFolder(), {"--size", "0"}, &error))
            failure = error;
    }
    SMTPServerProcess small, large;
    std::string failure;
};

Servers &TheServers() {
    static Servers servers;
    return servers;
}

void BM_DeliveryJob10KB(benchmark::State &state) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    const std::string body = TenKilobytes();
    for (auto _ : state)
        if (!Deliver(servers.small.hostAndPort(), body, ""))
            state.SkipWithError("the job did not end");
}
BENCHMARK(BM_DeliveryJob10KB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Python's smtplib sending the same message: the time of each send, measured in Python
// (the interpreter's start is not counted).
void BM_PythonSmtplib10KB(benchmark::State &state) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    const int sends = 200;
    std::string script = "import smtplib, sys, time\n"
                         "body = sys.stdin.buffer.read()\n"
                         "for _ in range(" + std::to_string(sends) + "):\n"
                         "    start = time.perf_counter()\n"
                         "    s = smtplib.SMTP('127.0.0.1', " + std::to_string(servers.small.port()) + ")\n"
                         "    s.helo('bench')\n"
                         "    s.sendmail('bench@site.test', ['to@x.test'], b'Subject: Benchmark\\r\\n\\r\\n' + body)\n"
                         "    s.quit()\n"
                         "    print(time.perf_counter() - start)\n";
    std::string command = "/usr/bin/python3 -c \"$VELQUOR_BENCH_SCRIPT\" < /tmp/velquor-bench-body.txt";
    std::ofstream(std::string("/tmp/velquor-bench-body.txt"), std::ios::binary) << TenKilobytes();
    setenv("VELQUOR_BENCH_SCRIPT", script.c_str(), 1);
    FILE *pipe = popen(command.c_str(), "r");
    std::vector<double> seconds;
    double value;
    while (pipe != nullptr && std::fscanf(pipe, "%lf", &value) == 1)
        seconds.push_back(value);
    if (pipe != nullptr)
        pclose(pipe);
    if (seconds.size() != static_cast<size_t>(sends)) {
        state.SkipWithError("smtplib did not send every message");
        return;
    }
    size_t next = 0;
    for (auto _ : state)
        state.SetIterationTime(seconds[next++ % seconds.size()]);
}
BENCHMARK(BM_PythonSmtplib10KB)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(200);

// One attachment of state.range(0) MB, sent from a child process that reports its time
// and its peak resident memory.
void BM_Attachment(benchmark::State &state) {
    Servers &servers = TheServers();
    if (!servers.failure.empty()) {
        state.SkipWithError(servers.failure.c_str());
        return;
    }
    const long long bytes = state.range(0) << 20;
    const std::string file = TemporaryFolder() + "/data.bin";
    {
        std::ofstream out(file, std::ios::binary);
        unsigned state32 = 12345;
        for (long long i = 0; i < bytes; ++i) {
            state32 = state32 * 1103515245u + 12345u;
            out.put(static_cast<char>(state32 >> 16));
        }
    }
    const double encoded = static_cast<double>(bytes) * 4 / 3 * 78 / 76;
    for (auto _ : state) {
        int report[2];
        if (pipe(report) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        pid_t child = fork();
        if (child == 0) {
            auto start = std::chrono::steady_clock::now();
            bool sent = Deliver(servers.large.hostAndPort(), "The file is attached.\r\n", file);
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char line[128];
            int length = std::snprintf(line, sizeof line, "%d %.6f %lld\n", sent ? 1 : 0, elapsed, PeakResidentBytes());
            ssize_t ignored = write(report[1], line, static_cast<size_t>(length));
            (void)ignored;
            _exit(0);
        }
        close(report[1]);
        char line[128] = {0};
        ssize_t got = read(report[0], line, sizeof line - 1);
        close(report[0]);
        waitpid(child, nullptr, 0);
        int sent = 0;
        double elapsed = 0;
        long long peak = 0;
        if (got <= 0 || std::sscanf(line, "%d %lf %lld", &sent, &elapsed, &peak) != 3 || sent != 1) {
            state.SkipWithError("the attachment was not delivered");
            return;
        }
        state.SetIterationTime(elapsed);
        state.counters["ms_per_MB"] = elapsed * 1000 / static_cast<double>(state.range(0));
        state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
        state.counters["peak_per_encoded"] = static_cast<double>(peak) / encoded;
    }
    std::remove(file.c_str());
}
BENCHMARK(BM_Attachment)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace
