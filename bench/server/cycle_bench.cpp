// The time from the calling fax machine's last frame to the message in the mailbox, over
// several calls: quillon-linesim calls the controller ("Direct connection", a loopback
// aiosmtpd as the mail host), and the DCN's end in the simulator's log (wall clock) is
// compared with the time the mail host stored the message. As the reference, the same fax
// file is mailed by the SMTP client alone in the same run.
//
//   bench_server_cycle [CALLS]        (default 3)

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "linesim_process.h"
#include "mail_test_support.h"
#include "platform/settings_store.h"
#include "server/telv_main.h"

namespace fs = std::filesystem;
using namespace quillon;

namespace {

constexpr const char *kConfig = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config";
constexpr const char *kLines = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Lines";

// Seconds within the hour of a wall-clock time.
double hourSeconds(const timespec &ts) {
    return static_cast<double>(ts.tv_sec % 3600) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The end of the caller's last frame: the last "reception data ended" before the receiver
// hung up, as "mm:ss.mmm" within the hour.
bool lastFrameTime(const std::string &log, double &at) {
    std::istringstream in(log);
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        int mm = 0;
        int ss = 0;
        int ms = 0;
        if (line.find("reception data ended") != std::string::npos &&
            std::sscanf(line.c_str(), "linesim: %d:%d.%d", &mm, &ss, &ms) == 3) {
            at = mm * 60 + ss + ms / 1000.0;
            found = true;
        }
        if (line.find("the receiver hung up") != std::string::npos) {
            break;
        }
    }
    return found;
}

double storedAt(const fs::path &msg) {
    struct stat st {};
    ::stat(msg.c_str(), &st);
    return hourSeconds(st.st_mtim);
}

double since(double from, double to) {
    double d = to - from;
    return d < -1800 ? d + 3600 : d;
}

} // namespace

int main(int argc, char **argv) {
    int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char tmpl[] = "/tmp/quillon-cycle-bench-XXXXXX";
    fs::path work = ::mkdtemp(tmpl);
    fs::create_directories(work / "config");
    ::setenv("QUILLON_CONFIG_DIR", (work / "config").c_str(), 1);
    std::string link = (work / "modem").string();

    mail::test::SmtpServer smtp;
    if (!smtp.ok()) {
        std::fprintf(stderr, "aiosmtpd did not start\n");
        return 1;
    }
    platform::SettingsStore store = platform::SettingsStore::User();
    store.SetValue(kConfig, "rgSMTP", platform::RegValue::String("127.0.0.1:" + smtp.portText()));
    store.SetValue(kConfig, "rgEmailAddress", platform::RegValue::String("office@localhost"));
    store.SetValue(kConfig, "rgPhoneNumber", platform::RegValue::String("Direct connection"));
    store.SetValue(kConfig, "rgModem", platform::RegValue::String("Fax Modem"));
    store.SetValue(kConfig, "rgFaxClass", platform::RegValue::Dword(2));
    store.SetValue(kLines, "Fax Modem", platform::RegValue::String(link));

    platform::EventLoop &loop = platform::EventLoop::current();
    std::vector<double> latencies;
    {
        server::TForm1 form({work});
        size_t mailed = 0;
        form.OnEvent = [&](const std::string &line) {
            if (line.rfind("mailed", 0) == 0) {
                ++mailed;
            }
        };
        form.FormCreate();
        form.BitBtnBegFaxClick();
        for (int i = 0; i < calls; ++i) {
            linesim::testing::LinesimProcess sim;
            if (!sim.start({"--verbose", "--link", link, "--first-ring-ms", "200",
                            std::string(QUILLON_TEST_FAXES_DIR) + "/text_std_1p.tif"})) {
                std::fprintf(stderr, "linesim did not start\n");
                return 1;
            }
            if (!loop.runUntil([&] { return mailed > static_cast<size_t>(i); },
                               std::chrono::minutes(4))) {
                std::fprintf(stderr, "call %d: no mail\n%s", i + 1, sim.logText().c_str());
                return 1;
            }
            sim.waitResult(60000);
            double frame = 0;
            if (!lastFrameTime(sim.logText(), frame)) {
                std::fprintf(stderr, "call %d: no frame time in the simulator's log\n", i + 1);
                return 1;
            }
            double d = since(frame, storedAt(smtp.messages().back()));
            latencies.push_back(d);
            std::printf("call %d: last frame to mailbox %.3f s\n", i + 1, d);
        }
    }

    // The reference: the same file mailed by the SMTP client alone.
    fs::path fax = *fs::directory_iterator(work / "faxes");
    mail::TSmtpMimeClient client(loop);
    client.Host = "127.0.0.1";
    client.Port = smtp.portText();
    client.SetRcptName({"office@localhost"});
    client.HdrFrom = client.HdrTo = "office@localhost";
    client.SetEmailFiles({fax.string()});
    int stage = 0;
    client.OnRequestDone = [&](mail::TSmtpClientBase *, mail::TSmtpRequest rq, uint16_t) {
        if (rq == mail::srOpen) {
            client.Mail();
        } else if (rq == mail::srMail) {
            stage = 1;
        }
    };
    client.OnGetData = [](mail::TSmtpClientBase *, int, char *, int, bool &more) { more = false; };
    size_t before = smtp.messages().size();
    timespec start{};
    clock_gettime(CLOCK_REALTIME, &start);
    client.Open();
    loop.runUntil([&] { return stage == 1 && smtp.messages().size() > before; },
                  std::chrono::seconds(60));
    double reference = since(hourSeconds(start), storedAt(smtp.messages().back()));

    double sum = 0;
    double worst = 0;
    for (double d : latencies) {
        sum += d;
        worst = std::max(worst, d);
    }
    double mean = sum / static_cast<double>(latencies.size());
    std::printf("calls %d: mean %.3f s, worst %.3f s (target under 2 s)\n", calls, mean, worst);
    std::printf("reference, the SMTP client alone: %.3f s; cycle / reference = %.1f\n", reference,
                reference > 0 ? mean / reference : 0.0);
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}
