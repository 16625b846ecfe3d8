// Prints, for a one-page and a three-page fax, the call duration the line simulator's caller
// measured with our receiver (TReceiveFax on the simulator's pseudo-terminal) and with the
// simulator's reference receiver (spandsp's fax machine), and their ratio. Both receivers
// offer 14400 bps. Not a test: the numbers go in the notes.
//
//   bench_fax_session [runs]      (default 1 run per fax)

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "comm/comm_port.h"
#include "fax/receive_fax.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

using namespace quillon;
using namespace std::chrono_literals;

namespace {

struct Child {
    int pid = -1;
    int out = -1;
    std::string buffer;

    explicit Child(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::exit(1);
        }
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(fds[0]);
            std::vector<char *> argv;
            for (auto &a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
    }
    ~Child() {
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        close(out);
    }
    // The rest of the line after `key`, waiting at most `timeout`.
    std::string Find(const std::string &key, std::chrono::seconds timeout,
                     platform::EventLoop *loop = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            size_t p = buffer.find(key);
            size_t e = p == std::string::npos ? p : buffer.find('\n', p);
            if (e != std::string::npos) {
                return buffer.substr(p + key.size(), e - p - key.size());
            }
            pollfd pf{out, POLLIN, 0};
            if (loop != nullptr) {
                loop->waitAndPump(20ms);
            }
            if (poll(&pf, 1, loop != nullptr ? 0 : 100) > 0) {
                char buf[512];
                ssize_t n = read(out, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                buffer.append(buf, static_cast<size_t>(n));
            }
        }
        return {};
    }
};

double Duration(const std::string &result) {
    size_t p = result.find("duration_s=");
    return p == std::string::npos ? -1.0 : std::atof(result.c_str() + p + 11);
}

double Reference(const std::string &tiff) {
    Child sim({QUILLON_LINESIM_PATH, "--reference-receiver", "--rx-file",
               "/tmp/quillon-bench-ref.tif", tiff});
    return Duration(sim.Find("RESULT ", 600s));
}

double Ours(const std::string &tiff, const std::string &dir, uint16_t &bps) {
    Child sim({QUILLON_LINESIM_PATH, tiff});
    std::string slave = sim.Find("SLAVE ", 10s);
    platform::EventLoop &loop = platform::EventLoop::current();
    platform::SerialDevice line;
    if (slave.empty() || line.open(slave) != 0) {
        return -1;
    }
    comm::TComPort port;
    port.SetTapiMode(comm::tmOn);
    port.SetTapiDescriptor(line.fd());
    port.SetAutoOpen(false);
    fax::TReceiveFax rx(&port);
    rx.SetFaxClass(fax::fcClass1);
    rx.SetDesiredBPS(14400);
    rx.SetOneFax(true);
    rx.SetExitOnError(true);
    rx.SetDestinationDir(dir);
    bool finished = false;
    rx.OnFaxFinish = [&](fax::TCustomAbstractFax &, int32_t) { finished = true; };
    port.SetOpen(true);
    rx.BeginReceive();
    std::string result = sim.Find("RESULT ", 600s, &loop);
    loop.runUntil([&] { return finished; }, 30s);
    bps = rx.ConnectBPS();
    return result.find("status=0") == std::string::npos ? -1 : Duration(result);
}

} // namespace

int main(int argc, char **argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::string data = std::string(QUILLON_SOURCE_DIR) + "/tests/data/faxes/";
    std::printf("%-18s %10s %10s %8s %6s\n", "fax", "ours_s", "ref_s", "ratio", "bps");
    for (const char *name : {"text_fine_1p.tif", "text_fine_3p.tif"}) {
        for (int r = 0; r < runs; ++r) {
            uint16_t bps = 0;
            double ours = Ours(data + name, "/tmp/quillon-bench-faxes", bps);
            double ref = Reference(data + name);
            std::printf("%-18s %10.2f %10.2f %8.3f %6u\n", name, ours, ref,
                        ours > 0 && ref > 0 ? ours / ref : -1.0, bps);
        }
    }
    return 0;
}
