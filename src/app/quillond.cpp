// quillond: the headless fax-to-mail server. It runs the controller with the settings from
// the store, starts capture at once and writes one time-stamped line per event on stderr.
// SIGTERM and SIGINT stop it cleanly (a call in progress is ended as "End Fax Capture" ends
// it; what was received is kept and pending); SIGHUP reads the settings again.

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>

#include "platform/event_loop.h"
#include "platform/process_signals.h"
#include "platform/settings_store.h"
#include "server/telv_main.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon;

// A call that is being ended gets this long to close its file and hang up; the whole stop
// stays within the 10 s a service manager is told to wait.
constexpr std::chrono::milliseconds kStopGrace{8000};
constexpr const char *kLockFileName = "quillond.lock";

void writeLine(const std::string &line) {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
    std::fflush(stderr);
}

// A line repeated at once (a modem that stays away is tried every second) is written the
// first time and then only as a count, so months of waiting do not fill the journal.
void logLine(const std::string &line) {
    static std::string last;
    static size_t repeats = 0;
    if (line == last) {
        ++repeats;
        return;
    }
    if (repeats > 0) {
        writeLine("(the line before repeated " + std::to_string(repeats) + " more time(s))");
    }
    last = line;
    repeats = 0;
    writeLine(line);
}

// Checks that every line of the settings file can be read. On failure `why` names the file
// and the first line; the file itself is never written here.
bool settingsReadable(std::string &why) {
    fs::path path = platform::SettingsStore::UserStorePath();
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        return true; // no settings yet: the design values apply
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot read the settings file " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    std::vector<size_t> bad = platform::SettingsStore::UnreadableLines(all);
    if (bad.empty()) {
        return true;
    }
    std::istringstream lines(all);
    std::string line;
    for (size_t n = 1; n <= bad.front() && std::getline(lines, line); ++n) {
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    why = "the settings file " + path.string() + " cannot be read at line " +
          std::to_string(bad.front()) + ": \"" + line + "\"" +
          (bad.size() > 1 ? " (and " + std::to_string(bad.size() - 1) + " more)" : "") +
          "; correct it (quillon-config show lists the settings)";
    return false;
}

int usage(int code) {
    std::fprintf(code == 0 ? stdout : stderr,
                 "usage: quillond [--workdir DIR]\n"
                 "Answers fax calls on the configured modem, keeps each fax in DIR/faxes,\n"
                 "logs every call in DIR and mails the faxes to the configured address.\n"
                 "DIR defaults to the current folder. SIGTERM/SIGINT stop, SIGHUP reloads.\n");
    return code;
}

} // namespace

int main(int argc, char **argv) {
    fs::path workdir = fs::current_path();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--workdir" && i + 1 < argc) {
            workdir = argv[++i];
        } else if (a.rfind("--workdir=", 0) == 0) {
            workdir = a.substr(10);
        } else if (a == "--help" || a == "-h") {
            return usage(0);
        } else {
            std::fprintf(stderr, "quillond: unknown argument \"%s\"\n", a.c_str());
            return usage(2);
        }
    }
    std::error_code ec;
    fs::create_directories(workdir, ec);
    if (ec || !fs::is_directory(workdir)) {
        std::fprintf(stderr, "quillond: cannot use the work folder %s: %s\n", workdir.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return 2;
    }
    workdir = fs::absolute(workdir);

    // Before any thread exists, so the signals reach only the descriptor.
    platform::SignalDescriptor signals({SIGTERM, SIGINT, SIGHUP});
    // A write to a mail host that has gone away must not end the server.
    ::signal(SIGPIPE, SIG_IGN);
    // A full disk or a file-size limit fails the write (EFBIG) so the call ends with an
    // error, rather than the signal ending the server.
    ::signal(SIGXFSZ, SIG_IGN);

    platform::FolderLock lock(workdir / kLockFileName);
    if (!lock.Held()) {
        std::fprintf(stderr, "quillond: %s\n", lock.Error().c_str());
        return 3;
    }
    std::string why;
    if (!settingsReadable(why)) {
        std::fprintf(stderr, "quillond: %s\n", why.c_str());
        return 4;
    }

    platform::EventLoop &loop = platform::EventLoop::current();
    server::TForm1 form({.workFolder = workdir}, loop);
    form.OnEvent = logLine;
    logLine("quillond: working in " + workdir.string() + ", settings from " +
            platform::SettingsStore::UserStorePath().string());

    int stopSignal = 0;
    bool reloadWanted = false;
    auto reload = [&] {
        std::string problem;
        if (!settingsReadable(problem)) {
            logLine("reload refused: " + problem);
            return;
        }
        form.FormCreate();
        logLine("settings reloaded");
    };
    loop.watchFd(signals.fd(), platform::kFdRead, [&](uint32_t) {
        while (int sig = signals.Read()) {
            if (sig == SIGHUP) {
                reloadWanted = true;
            } else if (stopSignal == 0) {
                stopSignal = sig;
            }
        }
    });

    form.FormCreate();
    if (form.reMessages.Lines[0] != server::kTxtConfiguredSaved) {
        logLine("warning: no mail host is configured (quillon-config set rgSMTP HOST)");
    }
    form.BitBtnBegFaxClick();

    while (stopSignal == 0) {
        loop.runUntil([&] { return stopSignal != 0 || reloadWanted; }, std::chrono::hours(24));
        // Settings change between runs: a forwarding run finishes with what it started with.
        if (reloadWanted && stopSignal == 0 &&
            form.ControllerMode() == server::TForm1::cmCapturing) {
            reloadWanted = false;
            reload();
        }
        if (reloadWanted && form.ControllerMode() == server::TForm1::cmForwarding) {
            loop.runUntil(
                [&] {
                    return stopSignal != 0 || form.ControllerMode() != server::TForm1::cmForwarding;
                },
                std::chrono::hours(1));
        }
    }

    logLine(std::string("stopping on ") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM"));
    if (form.CaptureWanted()) {
        form.BitBtnEndFaxClick();
    }
    // The receiver's end report logs and queues a partial fax and releases the line.
    bool ended = loop.runUntil([&] { return !form.ReceiveFax1.Session().Running(); }, kStopGrace);
    if (!ended) {
        logLine("warning: the fax session did not end in time; stopping anyway");
    }
    loop.pump();
    size_t pending = form.PendingFiles().size();
    logLine("stopped; " + std::to_string(pending) + " fax file(s) pending for the next start");
    return 0;
}
