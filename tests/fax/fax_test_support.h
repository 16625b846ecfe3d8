#pragma once

// Test support for the fax tests: a receive-fax component on a real comm port opened on a
// device path, event recording on the loop's thread, the line simulator as a child process,
// and an independent page check (libtiff decoding the APF page data wrapped as a G3 TIFF,
// compared with the page the caller sent).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm_port.h"
#include "fax/receive_fax.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace quillon::fax::test {

// One event as the component delivered it, with the values read inside the handler.
struct Event {
    std::string kind; // "status", "log", "error", "finish", "accept", "name"
    int code = 0;     // log code, error code, finish code, progress for status
    bool first = false;
    bool last = false;
    std::string faxFile;  // FaxFile() inside the handler
    std::string remoteId; // RemoteStationID() inside the handler
    bool onLoopThread = false;
};

// A receive-fax component on a comm port over `devicePath`, with every event recorded.
class Receiver {
  public:
    explicit Receiver(const std::string &devicePath);
    ~Receiver();

    platform::EventLoop &loop;
    platform::SerialDevice line;
    std::unique_ptr<comm::TComPort> port;
    std::unique_ptr<TReceiveFax> fax;
    std::vector<Event> events;
    std::thread::id loopThread;

    // Pumps until `count` finish events arrived or the time-out passes.
    bool WaitFinish(std::chrono::seconds timeout, size_t count = 1);
    bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout);
    [[nodiscard]] size_t Count(const std::string &kind, int code = -99999) const;
    [[nodiscard]] std::vector<Event> Of(const std::string &kind) const;
    [[nodiscard]] std::string Trace() const; // the event list as text, for failure messages
};

// The line simulator as a child process; its stdout is read by a thread.
class LineSim {
  public:
    // Starts quillon-linesim with `args` (the TIFF file last) and waits for its SLAVE line.
    // With `logFile` set, the simulator's --verbose protocol log goes there.
    explicit LineSim(const std::vector<std::string> &args, const std::string &logFile = {});
    ~LineSim();
    [[nodiscard]] const std::string &Slave() const { return slave_; }
    // Waits for the RESULT line (empty on time-out).
    std::string WaitResult(std::chrono::seconds timeout);

  private:
    int pid_ = -1;
    int outFd_ = -1;
    std::string slave_;
    std::string buffered_;
};

std::string LineSimPath();
std::string FaxDataPath(const std::string &name);
// A fresh empty folder under the test's temporary directory.
std::string TempDir(const std::string &name);

// The rows of page `page` (1-based) of a TIFF file, as packed bits.
struct Bitmap {
    uint32_t width = 0;
    uint32_t rows = 0;
    std::vector<std::vector<uint8_t>> lines;
};
bool ReadTiffPage(const std::string &path, int page, Bitmap &out, std::string &error);
// Decodes APF page `page` with libtiff, `rows` rows of the page's width.
bool DecodeApfPage(const std::string &apfPath, int page, uint32_t rows, Bitmap &out,
                   std::string &error);
// Compares APF page `page` with TIFF page `tiffPage`; empty on success, else what differs.
std::string ComparePage(const std::string &apfPath, int page, const std::string &tiffPath,
                        int tiffPage);

} // namespace quillon::fax::test
