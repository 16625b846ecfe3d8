// The comm port component over real pseudo-terminals: defaults, open failures, COM mapping,
// events on the owning thread, trace on close, close and reopen from inside a handler, a
// vanishing device, the handed-over descriptor and the port selection probe.

#include "comm/comm_port.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "comm/port_names.h"
#include "platform/settings_store.h"
#include "pty_pair.h"

namespace quillon::comm {
namespace {

using namespace std::chrono_literals;
using quillon::testing::PtyPair;

class CommPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillon-port-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("QUILLON_CONFIG_DIR", dir_.c_str(), 1);
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        SetComSelectHook({});
        std::filesystem::current_path(oldCwd_);
        ::unsetenv("QUILLON_CONFIG_DIR");
        std::filesystem::remove_all(dir_);
    }
    void mapCom(int n, const std::string &path) {
        ASSERT_TRUE(platform::SettingsStore::User().SetValue(kPortsKey, "COM" + std::to_string(n),
                                                             platform::RegValue::String(path)));
    }
    // ComPort1 as this system sets it up, on COM n.
    static void configure(TComPort &port, uint16_t com) {
        port.SetInSize(8192);
        port.SetOutSize(8192);
        port.SetAutoOpen(false);
        port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
        port.SetComNumber(com);
        port.SetTapiMode(tmNone);
    }
    bool pump(const std::function<bool()> &done, std::chrono::milliseconds timeout = 3000ms) {
        return platform::EventLoop::current().runUntil(done, timeout);
    }
    std::filesystem::path dir_;
    std::filesystem::path oldCwd_;
};

TEST_F(CommPortTest, DefaultsAndFlowControlLevels) {
    TComPort port;
    EXPECT_EQ(dlWin32, port.DeviceLayer());
    EXPECT_EQ(0, port.ComNumber());
    EXPECT_EQ(19200, port.Baud());
    EXPECT_TRUE(port.PromptForPort());
    EXPECT_EQ(pNone, port.Parity());
    EXPECT_EQ(8, port.DataBits());
    EXPECT_EQ(1, port.StopBits());
    EXPECT_EQ(4096, port.InSize());
    EXPECT_EQ(4096, port.OutSize());
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(port.RTS());
    EXPECT_TRUE(port.HWFlowOptions().Empty());
    EXPECT_EQ(swfNone, port.SWFlowOptions());
    EXPECT_EQ(17, port.XOnChar());
    EXPECT_EQ(19, port.XOffChar());
    EXPECT_EQ(tlOff, port.Tracing());
    EXPECT_EQ(10000u, port.TraceSize());
    EXPECT_EQ("FAXCOMM.TRC", port.TraceName());
    EXPECT_EQ("FAXCOMM.LOG", port.LogName());
    EXPECT_TRUE(port.TraceHex());
    EXPECT_EQ(tmAuto, port.TapiMode());
    EXPECT_EQ(10, port.CommNotificationLevel());
    EXPECT_FALSE(port.RS485Mode());

    port.SetInSize(8192);
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
    EXPECT_EQ(7372, port.BufferFull());
    EXPECT_EQ(819, port.BufferResume());
    port.SetBufferFull(9000); // above InSize: 90 % of the value
    EXPECT_EQ(8100, port.BufferFull());
    port.SetRS485Mode(true);
    EXPECT_FALSE(port.HWFlowOptions().Contains(hwfUseRTS));
    EXPECT_FALSE(port.HWFlowOptions().Contains(hwfRequireCTS));
    EXPECT_FALSE(port.RTS());
    port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_FALSE(port.RS485Mode());

    // Closed: only tlOff and tlOn are stored.
    port.SetTracing(tlDump);
    EXPECT_EQ(tlOff, port.Tracing());
    port.SetTracing(tlOn);
    EXPECT_EQ(tlOn, port.Tracing());
    port.SetLogging(tlPause);
    EXPECT_EQ(tlOff, port.Logging());
    port.SetTraceSize(5000000);
    EXPECT_EQ(4000000u, port.TraceSize());

    TBaseComponent other("TapiDevice1");
    EXPECT_EQ(&port, FindComPort({&other, &port}));
    EXPECT_EQ(nullptr, FindComPort({&other}));
}

TEST_F(CommPortTest, OpenFailures) {
    TComPort port;
    port.SetPromptForPort(false);
    try {
        port.SetOpen(true);
        FAIL() << "opened without a port number";
    } catch (const ENoPortSelected &e) {
        EXPECT_EQ(-2011, e.code());
        EXPECT_STREQ("The ComNumber property of the TComPort has not been set", e.what());
    }
    // Asking the user: without a dialog hook the answer is Cancel.
    port.SetPromptForPort(true);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    EXPECT_FALSE(port.Open());

    port.SetTapiMode(tmOn);
    try {
        port.SetOpen(true);
        FAIL() << "opened without a telephony handle";
    } catch (const ENotOpenedByTapi &e) {
        EXPECT_EQ(-2012, e.code());
    }
    EXPECT_FALSE(port.Open());

    port.SetTapiMode(tmNone);
    mapCom(9, "/dev/quillon-no-such-tty");
    port.SetComNumber(9);
    try {
        port.SetOpen(true);
        FAIL();
    } catch (const EBadId &e) {
        EXPECT_EQ(-2001, e.code());
    }
    PtyPair pty;
    mapCom(3, pty.slavePath());
    TComPort a, b;
    configure(a, 3);
    configure(b, 3);
    a.SetOpen(true);
    EXPECT_THROW(b.SetOpen(true), EAlreadyOpen);
    EXPECT_FALSE(b.Open());
    EXPECT_TRUE(a.Open());
    port.SetDeviceLayer(dlFossil); // only dlWin32 is accepted
    EXPECT_EQ(dlWin32, port.DeviceLayer());
    TComPort unopened;
    unopened.SetAutoOpen(false);
    EXPECT_THROW(unopened.ValidDispatcher(), ECommNotOpen);
}

TEST_F(CommPortTest, EventsArriveOnTheOwningThreadAndTraceIsWrittenOnClose) {
    PtyPair pty;
    mapCom(4, pty.slavePath());
    TComPort port;
    configure(port, 4);
    port.SetTracing(tlOn);
    std::string got;
    std::vector<uint16_t> triggerMsgs;
    auto owner = std::this_thread::get_id();
    port.SetOnTrigger(
        [&](TCustomComPort &, uint16_t msg, uint16_t, uint16_t) { triggerMsgs.push_back(msg); });
    port.SetOnTriggerAvail([&](TCustomComPort &cp, uint16_t count) {
        EXPECT_EQ(owner, std::this_thread::get_id());
        for (uint16_t i = 0; i < count; ++i) {
            got.push_back(static_cast<char>(cp.ValidDispatcher().ReadByte()));
        }
    });
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(tlOn, port.Tracing());
    EXPECT_EQ(7372, port.BufferFull());
    auto block = port.ValidDispatcher().DeviceBlock();
    EXPECT_TRUE(block.outxCtsFlow); // CRTSCTS
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("AT\r"));
    ASSERT_EQ(3u, pty.read(3, 2s).size());
    pty.write("OK\r\n");
    ASSERT_TRUE(pump([&] { return got == "OK\r\n"; }));
    EXPECT_EQ(MsgTriggerAvail, triggerMsgs.at(0));

    // Baud changes go to the device.
    port.SetBaud(38400);
    uint32_t baud;
    uint8_t parity, data, stop;
    ASSERT_EQ(0, port.ValidDispatcher().GetLineParams(baud, parity, data, stop));
    EXPECT_EQ(38400u, baud);
    EXPECT_THROW(port.SetBaud(12345), EBaudRate);
    EXPECT_EQ(38400, port.Baud());

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(nullptr, port.Dispatcher());
    std::ifstream in(dir_ / "FAXCOMM.TRC", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ("Transmit: \nAT[0D]\n\nReceive: \nOK[0D][0A]\n", text.str());
    EXPECT_EQ(tlOff, port.Tracing());
}

TEST_F(CommPortTest, CloseAndReopenFromInsideATriggerHandler) {
    PtyPair pty;
    mapCom(5, pty.slavePath());
    TComPort port;
    configure(port, 5);
    int avails = 0;
    bool closingSeen = false;
    port.SetOnTriggerAvail([&](TCustomComPort &cp, uint16_t count) {
        ++avails;
        if (avails == 1) {
            cp.SetOpen(false);
            closingSeen = cp.Closing();
            cp.SetOpen(true); // wished while closing: runs once the close completes
            EXPECT_FALSE(cp.Open());
        } else {
            for (uint16_t i = 0; i < count; ++i) {
                [[maybe_unused]] int b = cp.ValidDispatcher().ReadByte();
            }
        }
    });
    port.SetOpen(true);
    TBaseDispatcher *first = port.Dispatcher();
    int t = port.ValidDispatcher().NewTimerTrigger();
    pty.write("RING\r\n");
    ASSERT_TRUE(pump([&] { return avails == 1 && port.Open(); }));
    EXPECT_TRUE(closingSeen);
    EXPECT_NE(nullptr, port.Dispatcher());
    (void)first;
    // The saved triggers came back with the reopened port.
    EXPECT_EQ(0, port.ValidDispatcher().ArmTimerTrigger(t, 1, false));
    pty.write("RING\r\n");
    ASSERT_TRUE(pump([&] { return avails == 2; }));
}

TEST_F(CommPortTest, VanishedDeviceClosesThePort) {
    auto pty = std::make_unique<PtyPair>();
    mapCom(6, pty->slavePath());
    TComPort port;
    configure(port, 6);
    port.SetOnTriggerAvail([](TCustomComPort &, uint16_t) {});
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    pty->closeMaster();
    ASSERT_TRUE(pump([&] { return !port.Open() && port.Dispatcher() == nullptr; }));
    EXPECT_FALSE(port.Closing());
}

// A partner's fault must not leave the port half open or half closed: listeners and trigger
// handlers that throw, whatever they throw, reach the application handler and the port goes on.
TEST_F(CommPortTest, ThrowingListenersAndHandlersAreReportedAndThePortGoesOn) {
    PtyPair pty;
    mapCom(7, pty.slavePath());
    std::vector<std::string> reported;
    auto previous = SetApplicationExceptionHandler(
        [&](const std::exception &e) { reported.emplace_back(e.what()); });
    {
        TComPort port;
        configure(port, 7);
        int calls = 0;
        bool laterListenerRan = false;
        port.AddPortListener([](TCustomComPort &, bool) { throw std::runtime_error("listener"); });
        port.AddPortListener([&](TCustomComPort &, bool) { laterListenerRan = true; });
        port.SetOnTriggerAvail([&](TCustomComPort &cp, uint16_t count) {
            for (uint16_t i = 0; i < count; ++i) {
                [[maybe_unused]] int b = cp.ValidDispatcher().ReadByte();
            }
            if (++calls == 1) {
                throw 42; // not a std::exception
            }
        });
        port.SetOpen(true);
        ASSERT_TRUE(port.Open());
        EXPECT_TRUE(laterListenerRan);
        ASSERT_EQ(1u, reported.size());
        pty.write("A");
        ASSERT_TRUE(pump([&] { return calls == 1; }));
        pty.write("B");
        ASSERT_TRUE(pump([&] { return calls == 2; }));
        EXPECT_EQ(2u, reported.size());

        laterListenerRan = false;
        port.SetOpen(false);
        EXPECT_TRUE(laterListenerRan);
        EXPECT_FALSE(port.Open());
        EXPECT_FALSE(port.Closing());
        EXPECT_EQ(nullptr, port.Dispatcher());
        EXPECT_EQ(3u, reported.size());
        // The device was released: the port opens on it again.
        port.SetOpen(true);
        EXPECT_TRUE(port.Open());
    }
    SetApplicationExceptionHandler(previous);
}

TEST_F(CommPortTest, HandedOverDescriptorReadsTheLineSettingsBack) {
    PtyPair pty;
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfsetspeed(&t, B38400);
    t.c_cflag |= CSTOPB; // a pty keeps speed and stop bits (it is always 8N)
    ::tcsetattr(fd, TCSANOW, &t);
    TComPort port;
    port.SetAutoOpen(false);
    port.SetTapiMode(tmOn);
    port.SetTapiDescriptor(fd);
    port.SetOpen(true);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(38400, port.Baud());
    EXPECT_EQ(2, port.StopBits());
    EXPECT_EQ(8, port.DataBits());
    EXPECT_EQ(pNone, port.Parity());
    EXPECT_TRUE(port.HWFlowOptions().Empty());
    EXPECT_EQ(swfNone, port.SWFlowOptions());
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("ATA\r"));
    EXPECT_EQ(4u, pty.read(4, 2s).size());
    port.SetOpen(false);
    // Reopening on the same hand-over works: the port used its own copy.
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    port.SetOpen(false);
    EXPECT_EQ(1, ::write(fd, "x", 1));
    ::close(fd);
}

TEST_F(CommPortTest, TraceSizesAndTracingStates) {
    PtyPair pty;
    mapCom(2, pty.slavePath());
    TComPort port;
    configure(port, 2);
    port.SetOpen(true);
    port.SetTraceSize(70000);
    port.SetTracing(tlOn);
    EXPECT_EQ(70000u, port.ValidDispatcher().TraceCapacity());
    port.SetTraceSize(5000000);
    EXPECT_EQ(4000000u, port.TraceSize());
    EXPECT_EQ(4000000u, port.ValidDispatcher().TraceCapacity());
    port.SetTracing(tlPause);
    EXPECT_EQ(tlPause, port.Tracing());
    EXPECT_FALSE(port.ValidDispatcher().TraceOn());
    port.SetTracing(tlOn);
    EXPECT_TRUE(port.ValidDispatcher().TraceOn());
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("A"));
    port.SetTracing(tlAppend);
    EXPECT_EQ(tlOff, port.Tracing());
    EXPECT_TRUE(std::filesystem::exists(dir_ / "FAXCOMM.TRC"));
    port.SetLogging(tlOn);
    EXPECT_TRUE(port.ValidDispatcher().LogOn());
    port.SetLogging(tlDump); // nothing logged yet: no file
    EXPECT_FALSE(std::filesystem::exists(dir_ / "FAXCOMM.LOG"));
    port.SetLogging(tlOn);
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("ATZ\r"));
    port.SetOpen(false);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "FAXCOMM.LOG"));
}

TEST_F(CommPortTest, PortSelectionProbeAndDialogHook) {
    PtyPair pty, busy;
    mapCom(40, pty.slavePath());
    mapCom(41, busy.slavePath());
    mapCom(42, "/dev/quillon-no-such-tty");
    TSerialDispatcher holder;
    ASSERT_EQ(0, holder.OpenDevice(busy.slavePath(), 64, 64, true, true, 0, 5, 9, 3));
    TComSelectForm form;
    auto &e = form.Entries();
    EXPECT_NE(e.end(), std::find(e.begin(), e.end(), "COM40"));
    EXPECT_NE(e.end(), std::find(e.begin(), e.end(), "COM41")); // in use
    EXPECT_EQ(e.end(), std::find(e.begin(), e.end(), "COM42"));
    EXPECT_EQ(0, form.ItemIndex());

    SetComSelectHook([](const TComSelectForm &f) {
        EXPECT_EQ("Select Port", TComSelectForm::kCaption);
        auto it = std::find(f.Entries().begin(), f.Entries().end(), "COM40");
        return it == f.Entries().end() ? -1 : static_cast<int>(it - f.Entries().begin());
    });
    TComPort port;
    port.SetAutoOpen(false);
    port.SetTapiMode(tmNone);
    port.SetOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(40, port.ComNumber());
    ASSERT_EQ(0, holder.CloseDevice());
}

} // namespace
} // namespace quillon::comm
