#pragma once

// A scripted fax modem on a pseudo-terminal, for the engine paths that a real modem (or the
// line simulator) cannot be made to take: odd class lists, chosen rate lists, training data
// with a chosen share of non-zero bytes, page data with particular DLE sequences, a DCN at
// the wrong moment, a modem that stops talking. It is a fake of the T.31 modem and of the
// calling fax machine together, and says so: it follows the engine's commands with canned
// answers, not a real T.30 procedure.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon::fax::test {

// One HDLC frame the engine sent in transmit mode.
struct SentFrame {
    uint8_t fcf = 0;
    bool final = false;
    std::vector<uint8_t> info;
};

class ScriptedModem {
  public:
    ScriptedModem();
    ~ScriptedModem();
    // Starts answering. The script below is set before; the start publishes it to the
    // modem's thread.
    void Start();
    [[nodiscard]] const std::string &SlavePath() const { return slave_; }

    // ---- the caller's script (set before the call) ----
    std::string classList = "0,1";
    std::string rateList = "24,48,72,73,74,96,97,98,121,122,145,146";
    std::string tsi = "0010 555 1+         ";      // as sent: last digit first, 20 bytes
    std::vector<uint8_t> dcs = {0x00, 0x44, 0x00}; // 9600 bps, fine, scan code 5
    // Training attempts: the bytes of each TCF (the last one repeats).
    std::vector<std::vector<uint8_t>> tcf = {std::vector<uint8_t>(1000, 0)};
    // Pages as the modem sends them (DLE escapes included, DLE ETX appended by the modem).
    std::vector<std::vector<uint8_t>> pages = {{0x00, 0x80, 0x01}};
    bool dcnInsteadOfTsi = false; // the caller disconnects before the parameters
    int stallInPage = 0;          // page number whose data stops half-way (no DLE ETX)
    bool stallAfterCsi = false;   // the modem never answers the DIS frame
    // Per-command overrides: return true when handled.
    std::function<bool(ScriptedModem &, const std::string &)> onCommand;

    // ---- what the test does and sees ----
    void Send(const std::string &bytes);
    void SendBytes(const std::vector<uint8_t> &bytes);
    void Line(const std::string &text) { Send("\r\n" + text + "\r\n"); }
    void Ring() { Line("RING"); }
    [[nodiscard]] std::vector<std::string> Commands();
    [[nodiscard]] std::vector<SentFrame> Frames();
    [[nodiscard]] size_t CountCommand(const std::string &c);
    // Waits until the command has been seen `n` times.
    bool WaitCommand(const std::string &c, size_t n, int timeoutMs);
    bool WaitFrame(uint8_t fcf, int timeoutMs);

  private:
    void Run();
    void HandleLine(const std::string &line);
    void DefaultCommand(const std::string &line);
    void Frame(uint8_t control, uint8_t fcf, const std::vector<uint8_t> &info);
    void SendPage(size_t index);

    int master_ = -1;
    std::string slave_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> commands_;
    std::vector<SentFrame> frames_;
    // Modem state (reader thread).
    bool transmit_ = false; // collecting an HDLC frame from the engine
    std::vector<uint8_t> frame_;
    bool frameDle_ = false;
    std::string lineBuf_;
    enum class Rx { Tsi, Dcs, PostPage, Dcn, Nothing } rx_ = Rx::Tsi;
    bool nextFrmIsTraining_ = true;
    size_t trainingAttempt_ = 0;
    size_t page_ = 0;
};

} // namespace quillon::fax::test
