// The telephony line device over the line table, with real pseudo-terminals as the line
// devices: the passthrough call and the hand-over to the comm port, the release, devices that
// are missing, busy or vanish, the choice of a device, the handle record, the features this
// line service does not have, and the destruction orders.

#include "comm/tapi_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

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

// Far above the few milliseconds a hand-over takes, for a loaded machine.
constexpr auto kDeadline = 10s;

class TapiDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillon-tapi-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("QUILLON_CONFIG_DIR", dir_.c_str(), 1);
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        previousHandler_ = SetApplicationExceptionHandler(
            [this](const std::exception &e) { reported_.emplace_back(e.what()); });
    }
    void TearDown() override {
        SetDeviceSelectHook({});
        SetApplicationExceptionHandler(previousHandler_);
        std::filesystem::current_path(oldCwd_);
        ::unsetenv("QUILLON_CONFIG_DIR");
        std::filesystem::remove_all(dir_);
    }
    static platform::SettingsStore store() { return platform::SettingsStore::User(); }
    void mapLine(const std::string &name, const std::string &path) {
        ASSERT_TRUE(store().SetValue(kLinesKey, name, platform::RegValue::String(path)));
    }
    void mapCom(int n, const std::string &path) {
        ASSERT_TRUE(store().SetValue(kPortsKey, "COM" + std::to_string(n),
                                     platform::RegValue::String(path)));
    }
    static bool pump(const std::function<bool()> &done) {
        return platform::EventLoop::current().runUntil(done, kDeadline);
    }
    // Pumps until everything posted before this call has been handled.
    static void drain() {
        bool seen = false;
        platform::MessageTarget sentinel([&](platform::Message &) {
            seen = true;
            return platform::LResult{0};
        });
        sentinel.post(platform::kWmUser);
        ASSERT_TRUE(pump([&] { return seen; }));
    }
    // Records what the device reports.
    struct Recorder {
        std::vector<int> logs;
        int portOpens = 0, portCloses = 0, connects = 0, statuses = 0, fails = 0;
        void attach(TCustomTapiDevice &d) {
            d.OnTapiLog = [this](TCustomTapiDevice &, TTapiLogCode c) { logs.push_back(c); };
            d.OnTapiPortOpen = [this](TCustomTapiDevice &) { ++portOpens; };
            d.OnTapiPortClose = [this](TCustomTapiDevice &) { ++portCloses; };
            d.OnTapiConnect = [this](TCustomTapiDevice &) { ++connects; };
            d.OnTapiFail = [this](TCustomTapiDevice &) { ++fails; };
            d.OnTapiStatus = [this](TCustomTapiDevice &, bool, bool, uint32_t, uint32_t, uint32_t,
                                    uint32_t, uint32_t) { ++statuses; };
        }
    };
    // Whether the device at `path` can be taken exclusively now (nobody holds it).
    static bool freeToTake(const std::string &path) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            return false;
        }
        bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return ok;
    }
    template <class E> static int32_t codeOf(const std::function<void()> &f) {
        try {
            f();
        } catch (const E &e) {
            return e.code();
        }
        return 0;
    }

    std::filesystem::path dir_;
    std::filesystem::path oldCwd_;
    TApplicationExceptionHandler previousHandler_;
    std::vector<std::string> reported_;
};

// The road of one call: the only device is chosen by itself, the hand-over comes from the
// event loop after StartPassthrough returned, the port talks to the modem, and EndCall gives
// the device back.
TEST_F(TapiDeviceTest, PassthroughHandsTheModemToThePortAndEndCallTakesItBack) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    TComponentOwner owner;
    TComPort port("ApdComPort1");
    owner.InsertComponent(port);
    Recorder rec;
    TTapiDevice tapi(&owner, "ApdTapiDevice1");
    ASSERT_EQ(&port, tapi.ComPort());
    EXPECT_EQ(tmOn, port.TapiMode()); // found on the owner in tmAuto: switched, not auto-opened
    EXPECT_FALSE(port.AutoOpen());
    rec.attach(tapi);

    tapi.StartPassthrough();
    EXPECT_EQ("Fax Modem", tapi.SelectedDevice());
    EXPECT_EQ(0, rec.portOpens) << "the hand-over must not run inside the call";
    EXPECT_FALSE(port.Open());
    ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(tapi.Connected());
    EXPECT_EQ(tcsConnected, tapi.CallState());
    EXPECT_EQ(1, rec.connects);
    EXPECT_EQ((std::vector<int>{ltapiCallStart, ltapiDial, ltapiConnect}), rec.logs);
    EXPECT_EQ(0, rec.statuses) << "a passthrough call reports no status";
    // The modem's flow control is read back from the handed-over device.
    EXPECT_TRUE(port.HWFlowOptions().Contains(hwfRequireCTS));
    EXPECT_TRUE(port.HWFlowOptions().Contains(hwfUseRTS));
    EXPECT_FALSE(freeToTake(modem.slavePath())) << "the line is held exclusively";

    // Both directions through the port.
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("AT+FCLASS=1\r"));
    auto sent = modem.read(12, kDeadline);
    EXPECT_EQ("AT+FCLASS=1\r", std::string(sent.begin(), sent.end()));
    modem.write("OK\r\n");
    ASSERT_TRUE(pump([&] { return port.ValidDispatcher().InputCount() >= 4; }));
    uint8_t reply[4];
    ASSERT_EQ(0, port.ValidDispatcher().ReadBlock(reply, 4));
    EXPECT_EQ("OK\r\n", std::string(reply, reply + 4));

    // A second call on a busy line is refused and leaves the first alone.
    EXPECT_EQ(-13928, codeOf<ETapiBusy>([&] { tapi.StartPassthrough(); }));
    EXPECT_TRUE(port.Open());

    rec.logs.clear();
    EXPECT_TRUE(tapi.EndCall());
    EXPECT_EQ(1, rec.portCloses); // before EndCall returned
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(0, port.TapiDescriptor());
    EXPECT_FALSE(tapi.LineOpen());
    EXPECT_FALSE(tapi.Connected());
    EXPECT_EQ((std::vector<int>{ltapiCancel, ltapiDrop}), rec.logs);
    EXPECT_TRUE(freeToTake(modem.slavePath()));

    // And the next call works the same way, at once: the port is open when it is handed over.
    bool openInHandler = false;
    tapi.OnTapiPortOpen = [&](TCustomTapiDevice &) {
        ++rec.portOpens;
        openInHandler = port.Open() && port.Dispatcher() != nullptr;
    };
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return rec.portOpens == 2; }));
    EXPECT_TRUE(openInHandler);
    EXPECT_TRUE(tapi.EndCall());
    EXPECT_EQ(2, rec.portCloses);
    // With the line closed EndCall only logs the cancel.
    rec.logs.clear();
    EXPECT_TRUE(tapi.EndCall());
    EXPECT_EQ((std::vector<int>{ltapiCancel}), rec.logs);
    EXPECT_EQ(2, rec.portCloses);
    EXPECT_TRUE(reported_.empty());
}

TEST_F(TapiDeviceTest, StartChecks) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    TTapiDevice tapi;
    EXPECT_EQ(-1005, codeOf<EPortNotAssigned>([&] { tapi.StartPassthrough(); }));
    TComPort port;
    tapi.SetComPort(&port);
    port.SetTapiMode(tmOff);
    try {
        tapi.StartPassthrough();
        FAIL() << "started on a port that does not take a telephony handle";
    } catch (const ETapiNotSet &e) {
        EXPECT_EQ(-13929, e.code());
        EXPECT_STREQ("TapiMode not set in TComPort", e.what());
    }
    EXPECT_FALSE(tapi.LineOpen());
    EXPECT_TRUE(freeToTake(modem.slavePath()));
    // tmAuto becomes tmOn.
    port.SetTapiMode(tmAuto);
    tapi.StartPassthrough();
    EXPECT_EQ(tmOn, port.TapiMode());
    EXPECT_TRUE(tapi.EndCall());
    // A handler that throws during the start leaves the device free.
    tapi.OnTapiLog = [](TCustomTapiDevice &, TTapiLogCode code) {
        if (code == ltapiDial) {
            throw std::runtime_error("log full");
        }
    };
    EXPECT_THROW(tapi.StartPassthrough(), std::runtime_error);
    EXPECT_FALSE(tapi.LineOpen());
    EXPECT_TRUE(freeToTake(modem.slavePath()));
}

// Each way the line's device can fail gives its own code and leaves nothing open or posted.
TEST_F(TapiDeviceTest, MissingBusyAndForeignDevicesFailWithTheirCodes) {
    struct Row {
        const char *what;
        int32_t code;
        const char *text;
    };
    PtyPair busy;
    mapCom(4, busy.slavePath());
    TComPort holder; // another program's port already holds this device
    holder.SetAutoOpen(false);
    holder.SetTapiMode(tmNone);
    holder.SetComNumber(4);
    holder.SetOpen(true);
    ASSERT_TRUE(holder.Open());
    std::ofstream("plain.txt") << "not a modem";

    mapLine("Missing", "/dev/quillon-no-such-line");
    mapLine("Busy", busy.slavePath());
    mapLine("Plain file", (dir_ / "plain.txt").string());
    const Row rows[] = {
        {"Missing", -13866, "No device"},
        {"Busy", -13815, "Resource in use"},
        {"Plain file", -13802, "Bad device ID"},
    };
    TComPort port;
    Recorder rec;
    TTapiDevice tapi;
    tapi.SetComPort(&port);
    rec.attach(tapi);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        tapi.SetSelectedDevice(row.what);
        try {
            tapi.StartPassthrough();
            ADD_FAILURE() << "the call started";
            tapi.EndCall();
        } catch (const ETapi &e) {
            EXPECT_EQ(row.code, e.code());
            EXPECT_STREQ(row.text, e.what());
        }
        EXPECT_FALSE(tapi.LineOpen());
        EXPECT_EQ(tcsNone, tapi.CallState());
    }
    drain();
    EXPECT_EQ(0, rec.portOpens);
    EXPECT_FALSE(port.Open());
    // Once the other program lets go, the busy device works.
    holder.SetOpen(false);
    tapi.SetSelectedDevice("Busy");
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
    EXPECT_TRUE(tapi.EndCall());
}

// The modem goes away in the middle of a call: the port closes, the call is released from
// the event loop with OnTapiPortClose, and the next call on another device works.
TEST_F(TapiDeviceTest, DeviceThatVanishesDuringTheCallEndsIt) {
    auto modem = std::make_unique<PtyPair>();
    PtyPair spare;
    mapLine("A", modem->slavePath());
    mapLine("B", spare.slavePath());
    TComPort port;
    Recorder rec;
    TTapiDevice tapi;
    tapi.SetComPort(&port);
    port.SetTapiMode(tmOn);
    rec.attach(tapi);
    tapi.SetSelectedDevice("A");
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
    modem.reset();
    ASSERT_TRUE(pump([&] { return rec.portCloses == 1; }));
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(tapi.Connected());
    EXPECT_FALSE(tapi.LineOpen());
    EXPECT_EQ(ltapiDrop, rec.logs.back());

    // Gone between the start and the hand-over: the call ends all the same, whether the
    // port refuses the device or opens and then loses it.
    auto brief = std::make_unique<PtyPair>();
    mapLine("C", brief->slavePath());
    tapi.SetSelectedDevice("C");
    tapi.StartPassthrough();
    brief.reset();
    ASSERT_TRUE(pump([&] { return !tapi.LineOpen(); }));
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(tapi.Connected());
    int opensSoFar = rec.portOpens;
    reported_.clear();

    tapi.SetSelectedDevice("B");
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return rec.portOpens == opensSoFar + 1; }));
    ASSERT_EQ(0, port.ValidDispatcher().WriteText("ATZ\r"));
    EXPECT_EQ(4u, spare.read(4, kDeadline).size());
    EXPECT_TRUE(tapi.EndCall());
    EXPECT_EQ(rec.portOpens, rec.portCloses);
    EXPECT_TRUE(reported_.empty());
}

// A call ended before its connected state arrived never hands the port over.
TEST_F(TapiDeviceTest, EndCallBeforeTheConnectedStateCancelsTheHandOver) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    TComPort port;
    Recorder rec;
    TTapiDevice tapi;
    tapi.SetComPort(&port);
    rec.attach(tapi);
    tapi.StartPassthrough();
    EXPECT_TRUE(tapi.EndCall());
    drain();
    EXPECT_EQ(0, rec.portOpens);
    EXPECT_EQ(0, rec.portCloses); // the port had not been handed anything
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(tapi.Connected());
    EXPECT_TRUE(freeToTake(modem.slavePath()));
}

// Which device a call uses when SelectedDevice names none: the operator's choice through
// the dialog, or -13930 without asking when no dialog may be shown.
TEST_F(TapiDeviceTest, ResolvingTheSelectedDevice) {
    PtyPair a, b;
    mapLine("Modem A", a.slavePath());
    mapLine("Modem B", b.slavePath());
    TComPort port;
    Recorder rec;
    TTapiDevice tapi;
    tapi.SetComPort(&port);
    rec.attach(tapi);
    int asked = 0;
    std::vector<std::string> offered;
    SetDeviceSelectHook([&](const TDeviceSelectionForm &form) {
        ++asked;
        offered = form.Entries();
        return 1;
    });
    tapi.SetSelectedDevice("Modem C");
    tapi.SetShowPorts(false);
    tapi.SetShowTapiDevices(false);
    EXPECT_EQ(-13930, codeOf<ETapiNoSelect>([&] { tapi.StartPassthrough(); }));
    EXPECT_EQ(0, asked);

    // The dialog lists the line devices only, and the choice is kept.
    tapi.SetShowPorts(true);
    tapi.StartPassthrough();
    EXPECT_EQ(1, asked);
    EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B"}), offered);
    EXPECT_EQ("Modem B", tapi.SelectedDevice());
    EXPECT_EQ(b.slavePath(), tapi.CallDevicePath());
    ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
    EXPECT_TRUE(tapi.EndCall());

    // Two devices and none selected: the dialog again; Cancel gives -13930.
    SetDeviceSelectHook([&](const TDeviceSelectionForm &) {
        ++asked;
        return -1;
    });
    tapi.SetSelectedDevice("");
    EXPECT_EQ(-13930, codeOf<ETapiNoSelect>([&] { tapi.StartPassthrough(); }));
    EXPECT_EQ(2, asked);
    EXPECT_FALSE(tapi.LineOpen());
}

// The model behind the selection dialog and what OK does with each kind of entry.
TEST_F(TapiDeviceTest, ChooseDeviceListsLinesAndDirectPorts) {
    PtyPair line, com1, com3;
    mapLine("Modem A", line.slavePath());
    mapLine("Modem B", "/dev/quillon-not-plugged"); // listed all the same: it is in the table
    mapCom(1, com1.slavePath());
    mapCom(2, "/dev/quillon-no-such-tty");
    mapCom(3, com3.slavePath());
    TDeviceSelectionForm both(true, true, 3);
    EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B", "Direct to COM1", "Direct to COM3"}),
              both.Entries());
    EXPECT_EQ((std::vector<std::string>{"Direct to COM1", "Direct to COM3"}),
              TDeviceSelectionForm(false, true, 3).Entries());
    EXPECT_EQ(3, TDeviceSelectionForm::DirectComNumber("Direct to COM3"));
    EXPECT_EQ(0, TDeviceSelectionForm::DirectComNumber("Modem A"));
    EXPECT_EQ(0, TDeviceSelectionForm::DirectComNumber("Direct to COMx"));
    both.Preselect("Nothing like it");
    EXPECT_EQ(0, both.ItemIndex());
    EXPECT_FALSE(both.Execute()) << "without a dialog the answer is Cancel";

    TComPort port;
    TTapiDevice tapi;
    tapi.SetComPort(&port);
    std::string want;
    std::string preselected;
    SetDeviceSelectHook([&](const TDeviceSelectionForm &form) {
        preselected = form.SelectedEntry();
        const auto &e = form.Entries();
        auto it = std::find(e.begin(), e.end(), want);
        return it == e.end() ? -1 : static_cast<int>(it - e.begin());
    });
    want = "Direct to COM3";
    ASSERT_TRUE(tapi.ChooseDevice());
    EXPECT_EQ(tmOff, port.TapiMode());
    EXPECT_EQ(3, port.ComNumber());
    want = "Modem B";
    ASSERT_TRUE(tapi.ChooseDevice());
    EXPECT_EQ("Direct to COM3", preselected); // the port's own number while in tmOff
    EXPECT_EQ(tmAuto, port.TapiMode());
    EXPECT_EQ("Modem B", tapi.SelectedDevice());
    want = "not offered";
    EXPECT_FALSE(tapi.ChooseDevice()); // Cancel changes nothing
    EXPECT_EQ("Modem B", preselected);
    EXPECT_EQ(tmAuto, port.TapiMode());
    EXPECT_EQ("Modem B", tapi.SelectedDevice());

    // A direct port needs a port to set.
    tapi.SetComPort(nullptr);
    want = "Direct to COM1";
    EXPECT_EQ(-1005, codeOf<EPortNotAssigned>([&] { tapi.ChooseDevice(); }));
}

// The per-process record: written at initialisation, removed at destruction; records of
// processes that ended are removed, those of running processes kept.
TEST_F(TapiDeviceTest, HandleRecordPerProcess) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    ASSERT_TRUE(store().SetValue(kTapiRecordKey, "$7FFFFFF0", platform::RegValue::Dword(77)));
    ASSERT_TRUE(store().SetValue(kTapiRecordKey, "$00000001", platform::RegValue::Dword(78)));
    char own[16];
    std::snprintf(own, sizeof own, "$%08X", static_cast<unsigned>(::getpid()));
    {
        TComPort port;
        TTapiDevice tapi;
        tapi.SetComPort(&port);
        EXPECT_FALSE(tapi.Initialized());
        tapi.StartPassthrough();
        ASSERT_TRUE(tapi.Initialized());
        auto mine = store().GetValue(kTapiRecordKey, own);
        ASSERT_TRUE(mine.has_value());
        EXPECT_EQ(platform::RegType::Dword, mine->type);
        EXPECT_EQ(tapi.LineApplication(), mine->dword);
        EXPECT_FALSE(store().GetValue(kTapiRecordKey, "$7FFFFFF0").has_value());
        EXPECT_TRUE(store().GetValue(kTapiRecordKey, "$00000001").has_value()) << "init runs";
        EXPECT_TRUE(tapi.EndCall());
    }
    EXPECT_FALSE(store().GetValue(kTapiRecordKey, own).has_value());
}

// Voice, wave files and the answering path are not there: each says so.
TEST_F(TapiDeviceTest, MissingFeaturesFailClearly) {
    TTapiDevice tapi;
    try {
        tapi.SetEnableVoice(true);
        FAIL() << "voice switched on";
    } catch (const ETapiVoiceNotSupported &e) {
        EXPECT_EQ(-13935, e.code());
        EXPECT_STREQ("TAPI device does not support voice extensions", e.what());
    }
    EXPECT_FALSE(tapi.EnableVoice());
    EXPECT_EQ(-13935, codeOf<ETapiVoiceNotSupported>([&] { tapi.PlayWaveFile("hello.wav"); }));
    EXPECT_EQ(-13935, codeOf<ETapiVoiceNotSupported>([&] { tapi.StartWaveRecord(); }));
    try {
        tapi.AutoAnswer();
        FAIL() << "answering offered";
    } catch (const ETapiOperationUnavail &e) {
        EXPECT_EQ(-13873, e.code());
        EXPECT_STREQ("Operation unavailable", e.what());
    }
    // While loading, the result check returns instead of raising.
    tapi.SetLoading(true);
    tapi.SetEnableVoice(true);
    EXPECT_FALSE(tapi.EnableVoice());
}

// Partners on one owner find each other in any order and let go in any order.
TEST_F(TapiDeviceTest, PartnersOnTheOwner) {
    struct Display : TAbstractTapiStatus {
        using TAbstractTapiStatus::TAbstractTapiStatus;
        int updates = 0;
        void UpdateDisplay(bool, bool, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
            ++updates;
        }
    };
    TComponentOwner owner;
    auto tapi = std::make_unique<TTapiDevice>(&owner);
    EXPECT_EQ(nullptr, tapi->ComPort());
    auto port = std::make_unique<TComPort>();
    port->SetAutoOpen(true);
    owner.InsertComponent(*port); // a port that joins later becomes the device's port
    EXPECT_EQ(port.get(), tapi->ComPort());
    EXPECT_EQ(tmOn, port->TapiMode());
    EXPECT_FALSE(port->AutoOpen());
    TComPort second;
    owner.InsertComponent(second);
    EXPECT_EQ(port.get(), tapi->ComPort()) << "the first port stays";
    auto display = std::make_unique<Display>(&owner);
    TTapiLog log(&owner);
    EXPECT_EQ(display.get(), tapi->StatusDisplay());
    EXPECT_EQ(tapi.get(), display->TapiDevice());
    EXPECT_EQ(&log, tapi->TapiLog());
    port.reset();
    EXPECT_EQ(nullptr, tapi->ComPort());
    display.reset();
    EXPECT_EQ(nullptr, tapi->StatusDisplay());
    tapi.reset();
    EXPECT_EQ(nullptr, log.TapiDevice());
    EXPECT_EQ(2u, owner.Components().size()); // the second port and the log
}

// Either may be destroyed first, in the middle of a call (AddressSanitizer watches).
TEST_F(TapiDeviceTest, DestructionOrdersDuringACall) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    {
        TComponentOwner owner;
        auto port = std::make_unique<TComPort>();
        owner.InsertComponent(*port);
        Recorder rec;
        TTapiDevice tapi(&owner);
        rec.attach(tapi);
        tapi.StartPassthrough();
        ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
        port.reset(); // the port first
        EXPECT_EQ(nullptr, tapi.ComPort());
        EXPECT_TRUE(tapi.EndCall());
        EXPECT_FALSE(tapi.LineOpen());
        EXPECT_TRUE(freeToTake(modem.slavePath()));
    }
    {
        TComponentOwner owner;
        TComPort port;
        owner.InsertComponent(port);
        int closes = 0;
        Recorder rec;
        {
            TTapiDevice tapi(&owner);
            rec.attach(tapi);
            tapi.OnTapiPortClose = [&](TCustomTapiDevice &) { ++closes; };
            tapi.StartPassthrough();
            ASSERT_TRUE(pump([&] { return rec.portOpens == 1; }));
        } // the device first: the call is released and the port given back
        EXPECT_EQ(1, closes);
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(0, port.TapiDescriptor());
        EXPECT_EQ(1u, owner.Components().size());
        EXPECT_TRUE(freeToTake(modem.slavePath()));
        // The port's close listeners no longer reach the device.
        port.SetTapiMode(tmNone);
        mapCom(1, modem.slavePath());
        port.SetComNumber(1);
        port.SetOpen(true);
        port.SetOpen(false);
    }
    {
        // A connected state still queued when the device goes away is dropped.
        TComPort port;
        {
            TTapiDevice tapi;
            tapi.SetComPort(&port);
            tapi.StartPassthrough();
        }
        drain();
        EXPECT_FALSE(port.Open());
    }
    EXPECT_TRUE(reported_.empty());
}

// The history file gets one line per log code, each with its time stamp.
TEST_F(TapiDeviceTest, HistoryFileRecordsTheCall) {
    PtyPair modem;
    mapLine("Fax Modem", modem.slavePath());
    TComponentOwner owner;
    TComPort port;
    owner.InsertComponent(port);
    TTapiLog log(&owner);
    TTapiDevice tapi(&owner);
    ASSERT_EQ(&log, tapi.TapiLog());
    int opens = 0;
    tapi.OnTapiPortOpen = [&](TCustomTapiDevice &) { ++opens; };
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return opens == 1; }));
    EXPECT_TRUE(tapi.EndCall());
    std::ifstream in(dir_ / "TAPILOG.HIS");
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
        auto sep = line.find(" : ");
        ASSERT_NE(std::string::npos, sep) << line;
        EXPECT_EQ('/', line[2]) << line; // mm/dd/yyyy ...
        texts.push_back(line.substr(sep + 3));
    }
    EXPECT_EQ((std::vector<std::string>{"call started", "  dialing ", "  connected", "  cancelled",
                                        "  dropped"}),
              texts);
    // A history file that cannot be written is reported, and the call goes on.
    log.SetTapiHistoryName((dir_ / "no-such-dir" / "TAPILOG.HIS").string());
    tapi.StartPassthrough();
    ASSERT_TRUE(pump([&] { return opens == 2; }));
    EXPECT_TRUE(port.Open());
    EXPECT_FALSE(reported_.empty());
    EXPECT_TRUE(tapi.EndCall());
}

} // namespace
} // namespace quillon::comm
