// The receive engine against the scripted modem (a fake: see scripted_modem.h) for the paths
// that the real modem of the line simulator cannot be made to take. They run in every build,
// the sanitizer builds included, and are the engine's ThreadSanitizer coverage: the session
// runs on the dispatcher's threads, the events on this thread.

#include <gtest/gtest.h>

#include "comm/error_codes.h"
#include "fax/apf_file.h"
#include "fax_test_support.h"
#include "scripted_modem.h"

namespace quillon::fax::test {
namespace {

using namespace std::chrono_literals;

struct Rig {
    ScriptedModem modem;
    std::unique_ptr<Receiver> rx;
    std::string dir;
    explicit Rig(const std::string &name) {
        rx = std::make_unique<Receiver>(modem.SlavePath());
        dir = TempDir(name);
        rx->fax->SetDestinationDir(dir);
        rx->fax->SetExitOnError(true);
    }
    // The first use of the receiver starts the modem with the script set so far.
    TReceiveFax &fax() {
        modem.Start();
        return *rx->fax;
    }
    bool WaitProgress(uint16_t p, std::chrono::seconds t = 20s) {
        return rx->WaitFor([&] { return fax().SessionProgress() == p; }, t);
    }
    // Pumps the loop while waiting for the modem to see a command.
    bool WaitCommand(const std::string &c, size_t n = 1, std::chrono::seconds t = 20s) {
        return rx->WaitFor([&] { return modem.CountCommand(c) >= n; }, t);
    }
    std::string File() {
        for (const Event &e : rx->events) {
            if (e.kind == "log" && e.code == lfaxReceiveStart) {
                return e.faxFile;
            }
        }
        return {};
    }
    std::string Log() {
        std::string out = rx->Trace() + "\nmodem saw:";
        for (const std::string &c : modem.Commands()) {
            out += " [" + c + "]";
        }
        return out;
    }
    void Call() {
        fax().BeginReceive();
        ASSERT_TRUE(WaitProgress(progWaitingCall)) << rx->Trace();
        modem.Ring();
    }
};

std::vector<uint8_t> PageData(const std::string &file, int page) {
    TApfFileSource src;
    TApfFileHeader h;
    TApfPageHeader ph;
    uint64_t off = 0;
    std::vector<uint8_t> out;
    if (src.Open(file) != 0 || ReadFileHeader(src, h) != 0 ||
        FindPage(src, h, static_cast<uint32_t>(page), ph, off) != 0) {
        return out;
    }
    out.resize(ph.imageLength);
    size_t got = 0;
    if (src.ReadAt(off, out.data(), out.size(), got) != 0) {
        out.clear();
    }
    out.resize(got);
    return out;
}

// (Detection of Class 1, 2 and 2.0 lists: scripted_class2_test.cpp.)
TEST(ScriptedModem, NoFaxClassFailsTheStart) {
    // A modem with no fax class: the start fails with -8061.
    Rig rig("detect0");
    rig.modem.classList = "0";
    rig.fax().SetFaxClass(fcDetect);
    rig.fax().BeginReceive();
    ASSERT_TRUE(rig.rx->WaitFinish(20s)) << rig.rx->Trace();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrFaxBadModemResult);
    EXPECT_EQ(rig.rx->Count("error", kErrFaxBadModemResult), 1u);
    EXPECT_FALSE(rig.fax().Session().Running());
}

TEST(ScriptedModem, RateProbe) {
    struct Row {
        const char *list;
        uint16_t desired;
        int index;
    } rows[] = {
        {"24,48,72,96", 14400, 4}, {"24,48,72,96,121,145", 9600, 4}, {"24,48,72,96,145", 12000, 5}};
    for (const Row &r : rows) {
        Rig rig("probe");
        rig.modem.rateList = r.list;
        rig.fax().SetDesiredBPS(r.desired);
        rig.fax().PrepareModemForReceive();
        EXPECT_EQ(rig.fax().Session().ModulationIndex(), r.index) << r.list;
        EXPECT_EQ(rig.modem.CountCommand("AT+FRM=?"), 1u);
    }
}

// DCS 4Ch/01h, DLE escapes in page data, and a second page after MPS that starts with the
// page's own bytes (the modem's CONNECT is never stored as image data).
TEST(ScriptedModem, DcsAndPageDataEscapes) {
    Rig rig("dle");
    rig.modem.dcs = {0x00, 0x4C, 0x01};
    rig.modem.pages = {{0x11, 0x10, 0x10, 0x22, 0x10, 0x41, 0x33}, {0x0D, 0x0A, 0x44, 0x10, 0x10}};
    rig.fax().SetOneFax(true);
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, 0) << rig.Log();
    EXPECT_EQ(rig.modem.CountCommand("AT+FRM=72"), 3u); // training and both pages
    EXPECT_EQ(rig.fax().ConnectBPS(), 7200);
    EXPECT_TRUE(rig.fax().FineResolution());
    EXPECT_TRUE(rig.fax().WidePage());
    std::string file = rig.File();
    EXPECT_EQ(PageData(file, 1), (std::vector<uint8_t>{0x11, 0x10, 0x22, 0x41, 0x33}));
    EXPECT_EQ(PageData(file, 2), (std::vector<uint8_t>{0x0D, 0x0A, 0x44, 0x10}));
    TApfPageHeader ph;
    ASSERT_EQ(ReadPageHeader(file, 1, ph), 0);
    EXPECT_EQ(ph.flags, kApfFine | kApfWide);
    // CSI carries our id reversed; DIS offers 9600 (4Eh); CFR and two MCFs followed.
    rig.fax().SetStationID("x");
    auto frames = rig.modem.Frames();
    ASSERT_GE(frames.size(), 5u);
    EXPECT_EQ(frames[0].fcf, kFcfCsi);
    EXPECT_EQ(frames[1].fcf, kFcfDis);
    EXPECT_EQ(frames[1].info[1], 0x4E);
    EXPECT_EQ(frames[2].fcf, kFcfCfr);
    EXPECT_EQ(frames[3].fcf, kFcfMcf);
    EXPECT_EQ(frames[4].fcf, kFcfMcf);
    EXPECT_EQ(rig.rx->Count("log", lfaxReceiveOK), 1u);
    EXPECT_EQ(rig.rx->Of("accept")[0].remoteId, "         +1 555 0100");
    // The file keeps the 20 characters as received; people read them without the fill.
    TApfFileHeader header;
    ASSERT_EQ(ReadFileHeader(file, header), 0);
    EXPECT_EQ(header.StationId(), "         +1 555 0100");
    EXPECT_EQ(rig.fax().RemoteStationName(), "+1 555 0100");
}

TEST(ScriptedModem, AnswersOnSecondRing) {
    Rig rig("ring2");
    rig.fax().SetAnswerOnRing(2);
    rig.fax().BeginReceive();
    ASSERT_TRUE(rig.WaitProgress(progWaitingCall));
    rig.modem.Ring();
    rig.rx->WaitFor([] { return false; }, 1s);
    EXPECT_EQ(rig.modem.CountCommand("ATA"), 0u);
    rig.modem.Ring();
    EXPECT_TRUE(rig.WaitCommand("ATA")) << rig.rx->Trace();
    rig.fax().AbortSession();
    EXPECT_TRUE(rig.rx->WaitFinish(20s));
}

TEST(ScriptedModem, RingGapOverTenSecondsReinitialises) {
    Rig rig("ringgap");
    rig.fax().SetAnswerOnRing(2);
    rig.fax().SetExitOnError(false);
    rig.fax().BeginReceive();
    ASSERT_TRUE(rig.WaitProgress(progWaitingCall));
    size_t initsBefore = rig.modem.CountCommand("AT+FCLASS=1");
    rig.modem.Ring();
    // No second ring within 10 s: the wait times out and the modem is initialised again.
    ASSERT_TRUE(
        rig.rx->WaitFor([&] { return rig.rx->Count("error", kErrFatalTimeout) == 1; }, 20s));
    EXPECT_TRUE(rig.WaitCommand("AT+FCLASS=1", initsBefore + 1));
    ASSERT_TRUE(rig.WaitProgress(progWaitingCall));
    // The ring count started again: one ring is not enough, two are.
    rig.modem.Ring();
    rig.rx->WaitFor([] { return false; }, 1s);
    EXPECT_EQ(rig.modem.CountCommand("ATA"), 0u);
    rig.modem.Ring();
    EXPECT_TRUE(rig.WaitCommand("ATA"));
    EXPECT_EQ(rig.rx->Count("finish"), 0u);
    rig.fax().AbortSession();
    EXPECT_TRUE(rig.rx->WaitFinish(20s));
}

TEST(ScriptedModem, TrainingRatios) {
    std::vector<uint8_t> good(1000, 0);
    for (int i = 0; i < 5; ++i) {
        good[static_cast<size_t>(i * 100)] = 0x01;
    }
    std::vector<uint8_t> bad(1000, 0);
    for (int i = 0; i < 100; ++i) {
        bad[static_cast<size_t>(i * 10)] = 0xFF;
    }
    {
        Rig rig("train-good");
        rig.modem.tcf = {good};
        rig.fax().SetOneFax(true);
        rig.Call();
        ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
        EXPECT_EQ(rig.rx->Of("finish")[0].code, 0);
        auto frames = rig.modem.Frames();
        EXPECT_TRUE(
            std::none_of(frames.begin(), frames.end(), [](auto &f) { return f.fcf == kFcfFtt; }));
    }
    {
        // 100 in 1000: FTT, then the caller trains again with zeros and CFR follows.
        Rig rig("train-bad");
        rig.modem.tcf = {bad, std::vector<uint8_t>(1000, 0)};
        rig.fax().SetOneFax(true);
        rig.Call();
        ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
        EXPECT_EQ(rig.rx->Of("finish")[0].code, 0);
        auto frames = rig.modem.Frames();
        ASSERT_GE(frames.size(), 4u);
        EXPECT_EQ(frames[2].fcf, kFcfFtt);
        EXPECT_EQ(frames[3].fcf, kFcfCfr);
    }
    {
        // A failed training at 2400 bps ends the call.
        Rig rig("train-2400");
        rig.modem.dcs = {0x00, 0x40, 0x00};
        rig.modem.tcf = {bad};
        rig.Call();
        ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
        EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrFaxTrainError);
        EXPECT_TRUE(rig.modem.WaitFrame(kFcfFtt, 10000));
        EXPECT_EQ(rig.modem.CountCommand("AT+FRM=24"), 1u);
    }
}

TEST(ScriptedModem, DcnBeforeTheEndAborts) {
    Rig rig("dcn");
    rig.modem.dcnInsteadOfTsi = true;
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrCancelRequested);
    EXPECT_EQ(rig.rx->Count("error", kErrCancelRequested), 1u);
    EXPECT_EQ(rig.rx->Count("log"), 0u);
}

TEST(ScriptedModem, ErrorLineAborts) {
    Rig rig("errorline");
    rig.fax().BeginReceive();
    ASSERT_TRUE(rig.WaitProgress(progWaitingCall));
    rig.modem.Line("ERROR");
    ASSERT_TRUE(rig.rx->WaitFinish(20s)) << rig.rx->Trace();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrFaxBadModemResult);
    EXPECT_EQ(rig.rx->Count("error", kErrFaxBadModemResult), 1u);
}

// "+FCERROR" to "AT+FRM=" (the modem heard another carrier) is answered by issuing the
// command again, for the training and for a page; the call completes.
TEST(ScriptedModem, FcerrorReissuesTheReceiveCommand) {
    int frm = 0; // outlives the rig, whose modem thread counts in it until it is destroyed
    Rig rig("fcerror");
    rig.modem.onCommand = [&frm](ScriptedModem &m, const std::string &line) {
        if (line.rfind("AT+FRM=", 0) == 0 && line != "AT+FRM=?" && frm++ % 2 == 0) {
            m.Line("+FCERROR");
            return true;
        }
        return false;
    };
    rig.fax().SetOneFax(true);
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFinish(40s)) << rig.Log();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, 0) << rig.Log();
    EXPECT_EQ(rig.modem.CountCommand("AT+FRM=96"), 4u) << rig.Log(); // training and page, twice
    EXPECT_EQ(rig.rx->Count("log", lfaxReceiveOK), 1u);
    EXPECT_EQ(rig.rx->Count("error"), 0u) << rig.Log();
}

// The controller's case: AbortSession from inside OnFaxStatus while the session waits.
TEST(ScriptedModem, CancelFromStatusEventWhileWaiting) {
    Rig rig("cancelwait");
    rig.fax().SetExitOnError(false);
    auto record = rig.fax().OnFaxStatus;
    bool cancelled = false;
    rig.fax().OnFaxStatus = [&](TCustomAbstractFax &cp, bool first, bool last) {
        record(cp, first, last);
        if (!cancelled && !first && !last && cp.SessionProgress() == progWaitingCall) {
            cancelled = true;
            rig.fax().AbortSession();
        }
    };
    rig.fax().BeginReceive();
    ASSERT_TRUE(rig.rx->WaitFinish(30s)) << rig.rx->Trace();
    rig.rx->WaitFor([] { return false; }, 1500ms); // nothing more may follow
    EXPECT_EQ(rig.rx->Count("finish"), 1u);
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrCancelRequested);
    auto statuses = rig.rx->Of("status");
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(), [](auto &e) { return e.last; }), 1);
    EXPECT_EQ(rig.rx->Count("log"), 0u);
    EXPECT_EQ(rig.rx->Count("error"), 0u);
    EXPECT_FALSE(rig.fax().Session().Running());
    // The port and modem stay usable: a new session starts and waits again.
    rig.fax().OnFaxStatus = record;
    rig.fax().BeginReceive();
    EXPECT_TRUE(rig.WaitProgress(progWaitingCall)) << rig.rx->Trace();
    rig.fax().AbortSession();
    EXPECT_TRUE(rig.rx->WaitFinish(20s, 2));
}

TEST(ScriptedModem, CancelDuringPage) {
    Rig rig("cancelpage");
    rig.modem.stallInPage = 1;
    rig.modem.pages = {std::vector<uint8_t>(4000, 0x55)};
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFor([&] { return rig.fax().BytesTransferred() >= 2000; }, 40s))
        << rig.rx->Trace();
    rig.fax().AbortSession();
    ASSERT_TRUE(rig.rx->WaitFinish(20s));
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrCancelRequested);
    // lfaxReceiveFail comes before the finish, and the partial page is kept.
    std::vector<std::string> order;
    for (const Event &e : rig.rx->events) {
        if (e.kind == "log" || e.kind == "finish") {
            order.push_back(e.kind + std::to_string(e.code));
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"log4", "log7", "finish-6005"}));
    std::string file = rig.File();
    TApfFileHeader h;
    ASSERT_EQ(ReadFileHeader(file, h), 0);
    EXPECT_EQ(h.pageCount, 1);
    EXPECT_EQ(PageData(file, 1).size(), 2000u);
}

// Page data that stops: "Fatal time out" after the reply time-out, the partial page kept.
TEST(ScriptedModem, PageDataThatStopsTimesOut) {
    Rig rig("pagestall");
    rig.modem.stallInPage = 1;
    rig.modem.pages = {std::vector<uint8_t>(600, 0x66)};
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFinish(60s)) << rig.Log();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, kErrFatalTimeout);
    EXPECT_EQ(rig.rx->Count("log", lfaxReceiveFail), 1u);
    EXPECT_EQ(PageData(rig.File(), 1).size(), 300u);
}

// ExitOnError off: a fatal time-out hangs up, sends Last and starts over; no finish.
TEST(ScriptedModem, FatalTimeoutWithoutExitOnError) {
    Rig rig("timeout");
    rig.modem.stallAfterCsi = true;
    rig.fax().SetExitOnError(false);
    rig.Call();
    ASSERT_TRUE(rig.rx->WaitFor([&] { return rig.rx->Count("error", kErrFatalTimeout) == 1; }, 40s))
        << rig.rx->Trace();
    // After the hang-up the line is initialised again and waits.
    EXPECT_TRUE(rig.WaitCommand("ATH"));
    ASSERT_TRUE(rig.rx->WaitFor(
        [&] {
            auto s = rig.rx->Of("status");
            return !s.empty() && s.back().code == progWaitingCall && rig.rx->Count("error") == 1 &&
                   rig.fax().Session().State() == rfWaiting;
        },
        30s))
        << rig.rx->Trace();
    auto statuses = rig.rx->Of("status");
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(), [](auto &e) { return e.last; }), 1);
    EXPECT_EQ(rig.rx->Count("finish"), 0u);
    EXPECT_TRUE(rig.fax().Session().Running());
    rig.fax().AbortSession();
    EXPECT_TRUE(rig.rx->WaitFinish(20s));
}

} // namespace
} // namespace quillon::fax::test
