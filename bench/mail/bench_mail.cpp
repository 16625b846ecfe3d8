// Mails one 50 MB attachment to aiosmtpd on the loopback with TSmtpMimeClient, then
// uploads a message of the same size with curl's SMTP client to the same server, and
// prints our time over curl's and the growth of our peak resident memory while mailing.
//
//   bench_mail [MEGABYTES] [ROUNDS]      (default 50 MB, 2 rounds; best round counts)

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mail/smtp_client.h"
#include "platform/event_loop.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long statusKb(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t n = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, n, key) == 0) {
            return std::atol(line.c_str() + n);
        }
    }
    return -1;
}

void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

pid_t startServer(const fs::path &dir, int &port) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        std::string d = dir.string();
        ::execl("/usr/bin/python3", "/usr/bin/python3", QUILLON_MAIL_SERVER_SCRIPT, d.c_str(),
                "--discard", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The whole first line: the server must not meet a closed pipe while printing it.
    std::string line;
    char c = 0;
    while (line.size() < 16 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    ::close(fds[0]);
    port = std::atoi(line.c_str());
    return pid;
}

double mailWithClient(int port, const fs::path &file, bool &ok) {
    auto &loop = quillon::platform::EventLoop::current();
    quillon::mail::TSmtpMimeClient client(loop);
    client.Host = "127.0.0.1";
    client.Port = std::to_string(port);
    client.SignOn = "bench.quillon";
    client.FromName = "fax@bench.quillon";
    client.HdrFrom = "fax@bench.quillon";
    client.HdrTo = "office@bench.quillon";
    client.HdrSubject = "{Quillon}";
    client.SetRcptName({"office@bench.quillon"});
    client.SetEmailFiles({file.string()});
    client.OnGetData = [](quillon::mail::TSmtpClientBase *, int lineNum, char *line, int,
                          bool &more) {
        if (lineNum > 2) {
            more = false;
            return;
        }
        std::strcpy(line, lineNum == 1 ? "{FaxSender}=bench" : "{FaxDate}=bench");
    };
    int mailError = -1;
    bool finished = false;
    client.OnRequestDone = [&](quillon::mail::TSmtpClientBase *, quillon::mail::TSmtpRequest rq,
                               uint16_t error) {
        if (rq == quillon::mail::srOpen && error == 0) {
            client.Mail();
        } else if (rq == quillon::mail::srOpen) {
            mailError = error;
            finished = true;
        } else if (rq == quillon::mail::srMail) {
            mailError = error;
            client.Quit();
        } else {
            finished = true;
        }
    };
    auto t0 = Clock::now();
    client.Open();
    loop.runUntil([&] { return finished; }, std::chrono::minutes(5));
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    ok = finished && mailError == 0;
    if (!ok) {
        std::fprintf(stderr, "bench_mail: not sent (error %d): %s\n", mailError,
                     client.ErrorMessage().c_str());
    }
    return s;
}

// The same message for curl: header, text part and the file as 60-character base64 lines.
void writeMessage(const fs::path &file, const fs::path &out) {
    std::FILE *in = std::fopen(file.c_str(), "rb");
    std::ofstream o(out, std::ios::binary);
    std::string b = "= Multipart Boundary 1209260100";
    o << "From: fax@bench.quillon\r\nTo: office@bench.quillon\r\nSubject: {Quillon}\r\n"
         "Mime-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\""
      << b << "\"\r\n\r\nThis is a multipart MIME message.\r\n\r\n--" << b
      << "\r\nContent-Type: text/plain; charset=\"iso-8859-1\"\r\n\r\n{FaxSender}=bench\r\n"
         "{FaxDate}=bench\r\n\r\n--"
      << b
      << "\r\nContent-Type: application/octet-stream;\r\n\tname=\"big.APF\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n";
    std::string line;
    bool eof = false;
    uint64_t count = 0;
    while (!eof && quillon::mail::TSmtpMimeClient::EncodeLine(in, line, eof, count)) {
        o << line << "\r\n";
    }
    o << "\r\n--" << b << "--\r\n";
    std::fclose(in);
}

double mailWithCurl(int port, const fs::path &message, bool &ok) {
    std::string cmd = "curl -s -S --url smtp://127.0.0.1:" + std::to_string(port) +
                      " --mail-from fax@bench.quillon --mail-rcpt office@bench.quillon"
                      " --upload-file '" +
                      message.string() + "'";
    auto t0 = Clock::now();
    int rc = std::system(cmd.c_str());
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    ok = rc == 0;
    return s;
}

} // namespace

int main(int argc, char **argv) {
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    fs::path dir = fs::temp_directory_path() / ("quillon-bench-mail-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path file = dir / "big.APF";
    {
        std::mt19937_64 gen(42);
        std::ofstream o(file, std::ios::binary);
        std::vector<uint64_t> block(1 << 16);
        for (size_t done = 0; done < megabytes * 1024 * 1024; done += block.size() * 8) {
            for (auto &v : block) {
                v = gen();
            }
            o.write(reinterpret_cast<const char *>(block.data()),
                    static_cast<std::streamsize>(block.size() * 8));
        }
    }
    fs::path message = dir / "message.eml";
    writeMessage(file, message);
    int port = 0;
    pid_t server = startServer(dir, port);
    if (port <= 0) {
        std::fprintf(stderr, "bench_mail: aiosmtpd did not start\n");
        return 1;
    }
    double best = 1e9;
    double bestCurl = 1e9;
    double bestCpu = 1e9;
    long growthKb = 0;
    bool allOk = true;
    for (int r = 0; r < rounds; ++r) {
        long before = statusKb("VmRSS:");
        resetPeakRss();
        bool ok = false;
        double cpu0 = cpuSeconds();
        double t = mailWithClient(port, file, ok);
        bestCpu = std::min(bestCpu, cpuSeconds() - cpu0);
        long peak = statusKb("VmHWM:");
        growthKb = std::max(growthKb, peak - before);
        allOk = allOk && ok;
        best = std::min(best, t);
        bool cok = false;
        double c = mailWithCurl(port, message, cok);
        allOk = allOk && cok;
        bestCurl = std::min(bestCurl, c);
        std::printf("round %d: quillon %.3f s, curl %.3f s\n", r + 1, t, c);
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    fs::remove_all(dir);
    std::printf("attachment %zu MB, message %.1f MB\n", megabytes,
                static_cast<double>(megabytes) * 4 / 3);
    std::printf("time quillon/curl: %.3f (%.3f s / %.3f s)\n", best / bestCurl, best, bestCurl);
    std::printf("our CPU time while mailing: %.3f s\n", bestCpu);
    std::printf("peak RSS growth while mailing: %.1f MB\n", static_cast<double>(growthKb) / 1024);
    if (!allOk) {
        std::printf("WARNING: a transfer failed\n");
        return 1;
    }
    return 0;
}
