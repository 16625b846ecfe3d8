// The Class 2 and 2.0 engine against the scripted modem (a fake: see scripted_modem.h) for
// what a simulated call cannot reach: odd and malformed +F reports, a modem that refuses a
// preparation command, class detection and a forced class.

#include <gtest/gtest.h>

#include <filesystem>

#include "comm/error_codes.h"
#include "fax/apf_file.h"
#include "fax/class2_codec.h"
#include "fax_test_support.h"
#include "scripted_modem.h"

namespace quillon::fax::test {
namespace {

using namespace std::chrono_literals;

struct Class2Rig {
    // The script comes first, so that it outlives the modem's thread, which reads it until
    // the modem is destroyed.
    // Extra report lines the modem puts in front of its own at the answer and after a page.
    std::vector<std::string> answerExtras;
    std::vector<std::string> pageExtras;
    std::string pageStatus = "+FPTS:1,2200,0,0";
    std::string dcs = "+FDCS:1,3,0,0,0,0,0,0";
    std::vector<uint8_t> page = {0x01, 0x80, 0x10, 0x10, 0x22};
    int fdr_ = 0;
    ScriptedModem modem;
    std::unique_ptr<Receiver> rx;
    std::string dir;

    explicit Class2Rig(const std::string &name) {
        modem.classList = "0,1,2";
        rx = std::make_unique<Receiver>(modem.SlavePath());
        dir = TempDir(name);
        rx->fax->SetDestinationDir(dir);
        rx->fax->SetExitOnError(true);
        rx->fax->SetOneFax(true);
        rx->fax->SetFaxClass(fcClass2);
        modem.onCommand = [this](ScriptedModem &m, const std::string &line) {
            if (line == "ATA") {
                for (const std::string &l : answerExtras) {
                    m.Line(l);
                }
                m.Line("+FCON");
                m.Line("+FTSI:\" 0100 \"");
                m.Line(dcs);
                m.Line("OK");
                return true;
            }
            if (line == "AT+FDR") {
                if (fdr_++ == 0) {
                    m.Line("CONNECT");
                    std::vector<uint8_t> data = page;
                    data.insert(data.end(), {0x10, 0x03});
                    m.SendBytes(data);
                    for (const std::string &l : pageExtras) {
                        m.Line(l);
                    }
                    m.Line(pageStatus);
                    m.Line("+FET:2");
                    m.Line("OK");
                } else {
                    m.Line("+FHNG:0");
                    m.Line("OK");
                }
                return true;
            }
            return false;
        };
    }
    TReceiveFax &fax() {
        modem.Start();
        return *rx->fax;
    }
    void Call() {
        fax().BeginReceive();
        ASSERT_TRUE(rx->WaitFor([&] { return fax().SessionProgress() == progWaitingCall; }, 20s))
            << rx->Trace();
        modem.Ring();
        ASSERT_TRUE(rx->WaitFinish(40s)) << rx->Trace();
    }
    std::string File() {
        for (const Event &e : rx->events) {
            if (e.kind == "log" && e.code == lfaxReceiveStart) {
                return e.faxFile;
            }
        }
        return {};
    }
};

uint16_t Pages(const std::string &file) {
    TApfFileHeader h;
    return ReadFileHeader(file, h) == 0 ? h.pageCount : 0xFFFF;
}

// Reports the engine does not know, and malformed values of those it does, are read past:
// the call completes with what could be understood.
TEST(ScriptedClass2, UnknownAndMalformedReports) {
    Class2Rig rig("c2odd");
    rig.answerExtras = {"+FXYZ:1,2", "+F", "+FDCS:", "+FDCS:9,9,9", "+FTSI:"};
    rig.pageExtras = {"+FET", "+FWHAT:1"};
    rig.dcs = "+FDCS: 0 , 1 ,1,0,0,0,0,x";
    rig.Call();
    EXPECT_EQ(rig.rx->Of("finish")[0].code, 0) << rig.rx->Trace();
    EXPECT_EQ(rig.fax().ConnectBPS(), 4800);
    EXPECT_FALSE(rig.fax().FineResolution());
    EXPECT_TRUE(rig.fax().WidePage());
    EXPECT_EQ(rig.fax().RemoteStationID(), "0100");
    std::string file = rig.File();
    EXPECT_EQ(Pages(file), 1);
    // Class 2 data arrives with each byte's bits reversed; DLE DLE is one 10h.
    TApfFileSource src;
    ASSERT_EQ(src.Open(file), 0);
    uint8_t data[4] = {};
    size_t got = 0;
    ASSERT_EQ(src.ReadAt(kApfFileHeaderSize + kApfPageHeaderSize, data, 4, got), 0);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 4), (std::vector<uint8_t>{0x80, 0x01, 0x08, 0x44}));
}

// A page the modem reports bad (+FPTS:2) is not kept, and the fax is not reported complete.
TEST(ScriptedClass2, BadPageStatusIsNotKept) {
    Class2Rig rig("c2bad");
    rig.pageStatus = "+FPTS:2,2200,0,0";
    rig.Call();
    EXPECT_EQ(rig.rx->Count("log", lfaxReceiveOK), 0u) << rig.rx->Trace();
    EXPECT_EQ(rig.rx->Count("log", lfaxReceiveFail), 1u) << rig.rx->Trace();
    EXPECT_EQ(Pages(rig.File()), 0);
    EXPECT_EQ(std::filesystem::file_size(rig.File()), kApfFileHeaderSize);
}

// A modem that answers ERROR to one preparation command: the preparation stops there and
// reports it, whichever command it is.
TEST(ScriptedClass2, ErrorToEachPreparationCommand) {
    const std::vector<std::string> commands = {
        "AT+FCLASS=2", "AT+FCR=1", "AT+FLID=\"\"", "AT+FAA=0", "AT+FDCC=1,3,0,2,0,0,0,0",
        "AT+FCLASS=0"};
    for (const std::string &refused : commands) {
        Class2Rig rig("c2err");
        rig.modem.onCommand = [refused](ScriptedModem &m, const std::string &line) {
            if (line == refused) {
                m.Line("ERROR");
                return true;
            }
            return false;
        };
        // A command not answered with OK records no error: no exception.
        EXPECT_NO_THROW(rig.fax().PrepareModemForReceive()) << refused;
        std::vector<std::string> seen = rig.modem.Commands();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), refused);
    }
}

// Detection picks the best class the modem lists (without writing it into FaxClass); a
// forced class is used as it is, without asking the modem.
TEST(ScriptedClass2, DetectionAndForcedClass) {
    struct Row {
        const char *list;
        TFaxClass chosen;
        const char *select;
    } rows[] = {{"0,1,2,2.0", fcClass2_0, "AT+FCLASS=2.0"},
                {"0,1,2", fcClass2, "AT+FCLASS=2"},
                {"0,1", fcClass1, "AT+FCLASS=1"}};
    for (const Row &r : rows) {
        Class2Rig rig("c2detect");
        rig.modem.classList = r.list;
        rig.rx->fax->SetFaxClass(fcDetect);
        rig.fax().PrepareModemForReceive();
        EXPECT_EQ(rig.fax().Session().ActiveClass(), r.chosen) << r.list;
        EXPECT_EQ(rig.fax().FaxClass(), fcDetect);
        EXPECT_GE(rig.modem.CountCommand(r.select), 1u) << r.list;
        EXPECT_EQ(rig.rx->Count("error"), 0u) << rig.rx->Trace();
    }
    Class2Rig rig("c2forced");
    rig.rx->fax->SetFaxClass(fcClass1);
    rig.fax().PrepareModemForReceive();
    EXPECT_EQ(rig.modem.CountCommand("AT+FCLASS=?"), 0u);
    EXPECT_EQ(rig.modem.CountCommand("AT+FCLASS=2"), 0u);
    EXPECT_EQ(rig.modem.CountCommand("AT+FCLASS=1"), 2u); // the select and the rate probe's
}

// Each hang-up status reads with its text; Class 2 writes the codes in decimal, Class 2.0
// in hexadecimal.
TEST(ScriptedClass2, HangupCodesAndTexts) {
    struct Row {
        const char *line;
        TFaxClass cls;
        uint16_t code;
        const char *text;
    } rows[] = {
        {"+FHNG:0", fcClass2, 0, "Normal end of connection"},
        {"+FHNG: 50", fcClass2, 50, "Transmit phase D: unspecified error"},
        {"+FHNG:100", fcClass2, 100, "Receive phase D: unspecified error"},
        {"+FHNG:73", fcClass2, 73, "Receive phase B: T.30 T2 time-out, expected page not received"},
        {"+FHS:A0", fcClass2_0, 0xA0, "Receive phase D: unspecified error"},
        {"+FHS:02", fcClass2_0, 2, "Call aborted by the receiver (+FKS or CAN)"},
        {"+FHS:91", fcClass2_0, 0x91, "Receive phase C: missing EOL after 5 seconds"},
        {"+FHNG", fcClass2, 0, "Normal end of connection"},
        {"+FHNG:77", fcClass2, 77, "Unknown hang-up status"},
    };
    for (const Row &r : rows) {
        uint16_t code = ParseHangupCode(r.line, r.cls);
        EXPECT_EQ(code, r.code) << r.line;
        EXPECT_EQ(HangupText(code, r.cls), r.text) << r.line;
    }
}

} // namespace
} // namespace quillon::fax::test
