// Real Class 1 sessions: the receive-fax component on the pseudo-terminal of the line
// simulator, whose calling fax machine and T.31 modem are spandsp's. Every received page is
// decoded by libtiff and compared with the page the caller sent; the simulator's RESULT line
// says what the caller saw. Each test is its own CTest test so they run in parallel.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fax/apf_file.h"
#include "fax_test_support.h"

namespace quillon::fax::test {
namespace {

using namespace std::chrono_literals;

struct Call {
    std::string tiff;
    std::vector<std::string> simArgs;
    uint16_t desiredBps = 9600;
    uint16_t answerOnRing = 1;
    bool exitOnError = true;
};

struct CallOutcome {
    std::unique_ptr<Receiver> rx;
    std::string result;
    std::string dir;
    std::string simLog;
};

CallOutcome RunCall(const std::string &name, const Call &call) {
    CallOutcome out;
    out.dir = TempDir(name);
    out.simLog = out.dir + "/linesim.log";
    std::vector<std::string> args = call.simArgs;
    args.push_back(FaxDataPath(call.tiff));
    LineSim sim(args, out.simLog);
    out.rx = std::make_unique<Receiver>(sim.Slave());
    TReceiveFax &fax = *out.rx->fax;
    fax.SetDestinationDir(out.dir + "/faxes");
    fax.NamingMode = 2;
    fax.SetOneFax(true);
    fax.SetExitOnError(call.exitOnError);
    fax.SetDesiredBPS(call.desiredBps);
    fax.SetAnswerOnRing(call.answerOnRing);
    fax.SetStationID("+49 30 1234");
    fax.BeginReceive();
    out.rx->WaitFinish(200s);
    out.result = sim.WaitResult(40s);
    return out;
}

std::string ReceivedFile(const Receiver &rx) {
    for (const Event &e : rx.events) {
        if (e.kind == "log" && e.code == lfaxReceiveStart) {
            return e.faxFile;
        }
    }
    return {};
}

uint16_t PageCount(const std::string &file) {
    TApfFileHeader h;
    return ReadFileHeader(file, h) == 0 ? h.pageCount : 0xFFFF;
}

uint16_t PageFlags(const std::string &file, int page) {
    TApfPageHeader ph;
    return ReadPageHeader(file, static_cast<uint32_t>(page), ph) == 0 ? ph.flags : 0xFFFF;
}

std::string SimLog(const CallOutcome &o) {
    std::ifstream in(o.simLog);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void ExpectPagesMatch(const std::string &file, const std::string &tiff, int pages) {
    for (int p = 1; p <= pages; ++p) {
        EXPECT_EQ(ComparePage(file, p, FaxDataPath(tiff), p), "") << "page " << p;
    }
}

// A one-page fine fax; also the event order and where events run.
TEST(Class1Session, OnePageFineWithEventOrder) {
    CallOutcome o = RunCall("fine1", {"text_fine_1p.tif", {}});
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace();
    EXPECT_EQ(rx.Of("finish")[0].code, 0);
    EXPECT_NE(o.result.find("pages_sent=1 status=0"), std::string::npos) << o.result;

    // OnFaxAccept, then OnFaxLog(4), the pages, OnFaxLog(5); nothing failed.
    std::vector<std::string> order;
    for (const Event &e : rx.events) {
        if (e.kind == "accept" || e.kind == "log") {
            order.push_back(e.kind + std::to_string(e.code));
        }
        EXPECT_TRUE(e.onLoopThread) << e.kind;
    }
    EXPECT_EQ(order, (std::vector<std::string>{"accept0", "log4", "log5"}));
    EXPECT_EQ(rx.Count("error"), 0u) << rx.Trace();

    // FaxFile holds the name inside OnFaxLog(5) and is empty afterwards.
    std::string file = ReceivedFile(rx);
    auto logs = rx.Of("log");
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[1].faxFile, file);
    EXPECT_EQ(rx.fax->FaxFile(), "");
    // Date names in the destination folder.
    EXPECT_EQ(std::filesystem::path(file).filename().string().substr(4), "0001.APF");
    EXPECT_EQ(logs[0].remoteId, "         +1 555 0100");

    // One status First at the answer, one Last at the end.
    auto statuses = rx.Of("status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(), [](auto &e) { return e.first; }), 1);
    EXPECT_TRUE(statuses.back().last);

    EXPECT_EQ(PageCount(file), 1);
    EXPECT_EQ(PageFlags(file, 1), kApfFine);
    ExpectPagesMatch(file, "text_fine_1p.tif", 1);
    EXPECT_EQ(rx.fax->ConnectBPS(), 9600);
}

TEST(Class1Session, ThreePagesWithMpsMpsEop) {
    CallOutcome o = RunCall("fine3", {"text_fine_3p.tif", {}});
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 0u);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 3);
    ExpectPagesMatch(file, "text_fine_3p.tif", 3);
    EXPECT_NE(o.result.find("pages_sent=3 status=0"), std::string::npos) << o.result;
}

TEST(Class1Session, StandardResolution) {
    CallOutcome o = RunCall("std1", {"text_std_1p.tif", {}});
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace();
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageFlags(file, 1), 0);
    EXPECT_FALSE(rx.fax->FineResolution());
    ExpectPagesMatch(file, "text_std_1p.tif", 1);
    EXPECT_NE(o.result.find("status=0"), std::string::npos) << o.result;
}

class Class1Rate : public ::testing::TestWithParam<uint16_t> {};

TEST_P(Class1Rate, NegotiatesDesiredRate) {
    Call call{"text_std_1p.tif", {}};
    call.desiredBps = GetParam();
    CallOutcome o = RunCall("rate" + std::to_string(GetParam()), call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << "\n" << SimLog(o);
    EXPECT_EQ(rx.fax->ConnectBPS(), GetParam());
    ExpectPagesMatch(ReceivedFile(rx), "text_std_1p.tif", 1);
    EXPECT_NE(o.result.find("status=0"), std::string::npos) << o.result;
}

INSTANTIATE_TEST_SUITE_P(Rates, Class1Rate, ::testing::Values(9600, 14400));

TEST(Class1Session, CallerDropsInPageTwo) {
    Call call{"text_fine_3p.tif", {"--drop-in-page", "2:1500"}};
    CallOutcome o = RunCall("drop2", call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 0u);
    std::string file = ReceivedFile(rx);
    // Page 1 is intact; the partial page 2 is kept and counted.
    EXPECT_EQ(PageCount(file), 2);
    ExpectPagesMatch(file, "text_fine_3p.tif", 1);
}

TEST(Class1Session, NoDcnStillCompletes) {
    Call call{"text_std_1p.tif", {"--no-dcn"}};
    CallOutcome o = RunCall("nodcn", call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace();
    EXPECT_EQ(rx.Of("finish")[0].code, 0);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    ExpectPagesMatch(ReceivedFile(rx), "text_std_1p.tif", 1);
}

TEST(Class1Session, AnswersOnSecondRing) {
    Call call{"text_std_1p.tif", {"--ring-interval-ms", "3000"}};
    call.answerOnRing = 2;
    CallOutcome o = RunCall("ring2", call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace();
    EXPECT_NE(SimLog(o).find("answered after 2 rings"), std::string::npos) << SimLog(o);
    ExpectPagesMatch(ReceivedFile(rx), "text_std_1p.tif", 1);
}

} // namespace
} // namespace quillon::fax::test
