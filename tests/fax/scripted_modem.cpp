#include "scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace quillon::fax::test {

ScriptedModem::ScriptedModem() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = ptsname(master_);
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
}

void ScriptedModem::Start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
    }
}

ScriptedModem::~ScriptedModem() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    close(master_);
}

void ScriptedModem::Send(const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            usleep(1000);
            continue;
        }
        done += static_cast<size_t>(n);
    }
}

void ScriptedModem::SendBytes(const std::vector<uint8_t> &bytes) {
    Send(std::string(bytes.begin(), bytes.end()));
}

std::vector<std::string> ScriptedModem::Commands() {
    std::lock_guard g(mutex_);
    return commands_;
}

std::vector<SentFrame> ScriptedModem::Frames() {
    std::lock_guard g(mutex_);
    return frames_;
}

size_t ScriptedModem::CountCommand(const std::string &c) {
    std::lock_guard g(mutex_);
    return static_cast<size_t>(std::count(commands_.begin(), commands_.end(), c));
}

bool ScriptedModem::WaitCommand(const std::string &c, size_t n, int timeoutMs) {
    std::unique_lock g(mutex_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count(commands_.begin(), commands_.end(), c)) >= n;
    });
}

bool ScriptedModem::WaitFrame(uint8_t fcf, int timeoutMs) {
    std::unique_lock g(mutex_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(frames_.begin(), frames_.end(),
                           [&](const SentFrame &f) { return f.fcf == fcf; });
    });
}

void ScriptedModem::Run() {
    uint8_t buf[4096];
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) {
            continue;
        }
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) {
            usleep(5000);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            uint8_t c = buf[i];
            if (transmit_) {
                if (frameDle_) {
                    frameDle_ = false;
                    if (c == 0x03) {
                        SentFrame f;
                        if (frame_.size() >= 3) {
                            f.final = (frame_[1] & 0x10) != 0;
                            f.fcf = frame_[2];
                            f.info.assign(frame_.begin() + 3, frame_.end());
                        }
                        frame_.clear();
                        {
                            std::lock_guard g(mutex_);
                            frames_.push_back(f);
                        }
                        changed_.notify_all();
                        if (f.final) {
                            transmit_ = false;
                            if (!(stallAfterCsi && f.fcf == 0x80)) {
                                Line("OK");
                            }
                        } else {
                            Line("CONNECT");
                        }
                        continue;
                    }
                    frame_.push_back(c); // 10h 10h: one data byte
                    continue;
                }
                if (c == 0x10) {
                    frameDle_ = true;
                    continue;
                }
                frame_.push_back(c);
                continue;
            }
            if (c == '\r') {
                std::string line = lineBuf_;
                lineBuf_.clear();
                // The hang-up's "+++" arrives in front of the next command.
                line.erase(0, line.find_first_not_of('+') == std::string::npos
                                  ? line.size()
                                  : line.find_first_not_of('+'));
                if (!line.empty()) {
                    HandleLine(line);
                }
            } else if (c >= 0x20) {
                lineBuf_.push_back(static_cast<char>(c));
            }
        }
    }
}

void ScriptedModem::HandleLine(const std::string &line) {
    {
        std::lock_guard g(mutex_);
        commands_.push_back(line);
    }
    changed_.notify_all();
    if (onCommand && onCommand(*this, line)) {
        return;
    }
    DefaultCommand(line);
}

void ScriptedModem::Frame(uint8_t control, uint8_t fcf, const std::vector<uint8_t> &info) {
    std::vector<uint8_t> out{0xFF, control, fcf};
    for (uint8_t b : info) {
        out.push_back(b);
        if (b == 0x10) {
            out.push_back(0x10);
        }
    }
    out.insert(out.end(), {0x5A, 0xA5, 0x10, 0x03}); // a stand-in FCS, then DLE ETX
    SendBytes(out);
}

void ScriptedModem::SendPage(size_t index) {
    std::vector<uint8_t> data = index < pages.size() ? pages[index] : std::vector<uint8_t>{};
    if (stallInPage == static_cast<int>(index + 1)) {
        SendBytes(std::vector<uint8_t>(data.begin(), data.begin() + data.size() / 2));
        return; // the rest never comes
    }
    SendBytes(data);
    Send("\x10\x03");
    Line("NO CARRIER");
}

void ScriptedModem::DefaultCommand(const std::string &line) {
    if (line == "AT+FCLASS=?") {
        Line(classList);
        Line("OK");
    } else if (line == "AT+FRM=?") {
        Line(rateList);
        Line("OK");
    } else if (line == "ATA" || line == "AT+FTH=3") {
        Line("CONNECT");
        transmit_ = true;
        frame_.clear();
    } else if (line == "AT+FRH=3") {
        switch (rx_) {
        case Rx::Tsi:
            Line("CONNECT");
            if (dcnInsteadOfTsi) {
                Frame(0x13, 0xFA, {});
                Line("OK");
                rx_ = Rx::Nothing;
                break;
            }
            Frame(0x03, 0x42, std::vector<uint8_t>(tsi.begin(), tsi.end()));
            Line("OK");
            rx_ = Rx::Dcs;
            break;
        case Rx::Dcs:
            Line("CONNECT");
            Frame(0x13, 0x82, dcs);
            Line("OK");
            nextFrmIsTraining_ = true;
            break;
        case Rx::PostPage:
            Line("CONNECT");
            Frame(0x13, page_ < pages.size() ? 0x4F : 0x2F, {}); // MPS or EOP
            Line("OK");
            rx_ = page_ < pages.size() ? Rx::PostPage : Rx::Dcn;
            break;
        case Rx::Dcn:
            Line("CONNECT");
            Frame(0x13, 0xFB, {});
            Line("OK");
            rx_ = Rx::Nothing;
            break;
        case Rx::Nothing:
            break;
        }
    } else if (line.rfind("AT+FRM=", 0) == 0) {
        Line("CONNECT");
        if (nextFrmIsTraining_) {
            const std::vector<uint8_t> &t = tcf[std::min(trainingAttempt_, tcf.size() - 1)];
            ++trainingAttempt_;
            SendBytes(t);
            Send("\x10\x03");
            Line("NO CARRIER");
            nextFrmIsTraining_ = false;
        } else {
            SendPage(page_);
            ++page_;
            rx_ = Rx::PostPage;
        }
    } else {
        Line("OK");
    }
}

} // namespace quillon::fax::test
