// Real sessions (Class 1, 2 and 2.0): the receive-fax component on the pseudo-terminal of the line
// simulator, whose calling fax machine and T.31 modem are spandsp's. Every received page is
// decoded by libtiff and compared with the page the caller sent; the simulator's RESULT line
// says what the caller saw. Each test is its own CTest test so they run in parallel.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "comm/error_codes.h"
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
    TFaxClass faxClass = fcDetect;
    bool refuse = false; // OnFaxAccept declines the call
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
    fax.SetFaxClass(call.faxClass);
    if (call.refuse) {
        // The recording handler stays; this one declines after it.
        auto record = fax.OnFaxAccept;
        fax.OnFaxAccept = [record](TCustomAbstractFax &cp, bool &accept) {
            if (record) {
                record(cp, accept);
            }
            accept = false;
        };
    }
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

uint32_t PageBytesOf(const std::string &file, int page) {
    TApfPageHeader ph;
    return ReadPageHeader(file, static_cast<uint32_t>(page), ph) == 0 ? ph.imageLength : 0;
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

class Class1ThreePages : public ::testing::TestWithParam<uint16_t> {};

// MPS, MPS, EOP; at 14400 bps the later pages come with V.17 short training.
TEST_P(Class1ThreePages, WithMpsMpsEop) {
    Call call{"text_fine_3p.tif", {}};
    call.desiredBps = GetParam();
    CallOutcome o = RunCall("fine3-" + std::to_string(GetParam()), call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 0u);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 3);
    ExpectPagesMatch(file, "text_fine_3p.tif", 3);
    EXPECT_NE(o.result.find("pages_sent=3 status=0"), std::string::npos) << o.result;
    EXPECT_EQ(rx.fax->ConnectBPS(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rates, Class1ThreePages, ::testing::Values(9600, 14400));

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

// Copy quality: a page destroyed by 5 s of noise at 0 dBm0 is answered with RTN and not
// reported received; 100 ms at -20 dBm0 damages a row or two and the page is confirmed with
// its damaged-row count.
TEST(Class1Session, PageDestroyedByNoiseIsRefused) {
    CallOutcome o = RunCall("noisy", {"text_fine_1p.tif", {"--noise", "1:1000:5000:0"}});
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 0u) << rx.Trace();
    EXPECT_EQ(rx.fax->PagesRejected(), 1);
    EXPECT_EQ(PageCount(ReceivedFile(rx)), 0);
    EXPECT_NE(o.result.find("pages_sent=0"), std::string::npos) << o.result;
}

TEST(Class1Session, PageWithAFewDamagedRowsIsConfirmed) {
    CallOutcome o = RunCall("click", {"text_fine_1p.tif", {"--noise", "1:1000:100:-20"}});
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    EXPECT_GE(rx.fax->DamagedRows(), 1u);
    EXPECT_LE(rx.fax->DamagedRows(), kMaxConsecutiveDamagedRows);
    EXPECT_EQ(rx.fax->PagesRejected(), 0);
    EXPECT_EQ(PageCount(ReceivedFile(rx)), 1);
    EXPECT_NE(o.result.find("pages_sent=1 status=0"), std::string::npos) << o.result;
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

// The receiver's side of a phone line that several simulator runs (one per call) take in
// turn: a pseudo-terminal of our own whose bytes are relayed to the simulator of the current
// call. Bytes the receiver sends between two calls wait for the next simulator, as they
// would wait in a modem.
class LineRelay {
  public:
    explicit LineRelay(std::string classSelect = "AT+FCLASS=1\r")
        : classSelect_(std::move(classSelect)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        thread_ = std::thread([this] { Run(); });
    }
    ~LineRelay() {
        stop_ = true;
        thread_.join();
        Attach({});
        close(master_);
    }
    [[nodiscard]] const std::string &Slave() const { return slave_; }
    void Attach(const std::string &simSlave) {
        std::lock_guard g(mutex_);
        if (peer_ >= 0) {
            close(peer_);
            peer_ = -1;
        }
        if (!simSlave.empty()) {
            peer_ = open(simSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios t{};
            tcgetattr(peer_, &t);
            cfmakeraw(&t);
            tcsetattr(peer_, TCSANOW, &t);
            // A real modem keeps its class between calls; each simulator run starts a fresh
            // one, so the class is selected on it before the receiver's bytes go through.
            (void)!write(peer_, classSelect_.data(), classSelect_.size());
            std::string reply;
            auto deadline = std::chrono::steady_clock::now() + 5s;
            while (reply.find("OK") == std::string::npos &&
                   std::chrono::steady_clock::now() < deadline) {
                pollfd p{peer_, POLLIN, 0};
                char buf[256];
                if (poll(&p, 1, 50) > 0) {
                    ssize_t n = read(peer_, buf, sizeof buf);
                    if (n > 0) {
                        reply.append(buf, static_cast<size_t>(n));
                    }
                }
            }
            if (!pending_.empty()) {
                (void)!write(peer_, pending_.data(), pending_.size());
                pending_.clear();
            }
        }
    }

  private:
    void Run() {
        char buf[4096];
        while (!stop_) {
            std::unique_lock g(mutex_);
            pollfd p[2] = {{master_, POLLIN, 0}, {peer_, POLLIN, 0}};
            g.unlock();
            poll(p, peer_ >= 0 ? 2 : 1, 10);
            g.lock();
            if (p[0].revents & POLLIN) {
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0 && peer_ >= 0 && write(peer_, buf, static_cast<size_t>(n)) == n) {
                } else if (n > 0) {
                    pending_.append(buf, static_cast<size_t>(n));
                }
            }
            if (peer_ >= 0 && (p[1].revents & POLLIN)) {
                ssize_t n = read(peer_, buf, sizeof buf);
                if (n > 0) {
                    (void)!write(master_, buf, static_cast<size_t>(n));
                }
            }
            if (peer_ >= 0 && (p[1].revents & (POLLHUP | POLLERR))) {
                close(peer_);
                peer_ = -1; // the simulator of this call has gone
            }
        }
    }
    std::string classSelect_;
    int master_ = -1;
    int peer_ = -1;
    std::string slave_;
    std::string pending_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(Class1Session, TwoCallsInARowOnOneSession) {
    std::string dir = TempDir("twocalls");
    LineRelay relay;
    Receiver rx(relay.Slave());
    rx.fax->SetDestinationDir(dir);
    rx.fax->NamingMode = 1;
    const char *tiffs[2] = {"text_std_1p.tif", "text_fine_1p.tif"};
    std::vector<std::string> results;
    uint16_t rates[2] = {0, 0};
    for (int call = 0; call < 2; ++call) {
        // The first caller can do no more than 4800; the second is offered the probed rate
        // again, not the first caller's.
        std::vector<std::string> args = {"--ring-at-start", FaxDataPath(tiffs[call])};
        if (call == 0) {
            args.insert(args.begin(), {"--modems", "v27ter"});
        }
        LineSim sim(args, dir + "/linesim" + std::to_string(call) + ".log");
        relay.Attach(sim.Slave());
        if (call == 0) {
            rx.fax->BeginReceive();
        }
        ASSERT_TRUE(
            rx.WaitFor([&] { return rx.Count("log", lfaxReceiveOK) == size_t(call + 1); }, 150s))
            << rx.Trace();
        // Pump until the simulator has seen the hang-up and reported.
        std::string result;
        rx.WaitFor(
            [&] {
                result = sim.WaitResult(std::chrono::seconds(0));
                return !result.empty();
            },
            60s);
        results.push_back(result);
        rates[call] = rx.fax->ConnectBPS();
        relay.Attach({});
    }
    EXPECT_EQ(rx.Count("finish"), 0u); // the session goes on waiting
    // No error in either call (up to the second call's Last status; what the line does
    // after the last simulator has gone does not count).
    size_t errors = 0;
    int lasts = 0;
    for (const Event &e : rx.events) {
        lasts += e.kind == "status" && e.last ? 1 : 0;
        errors += e.kind == "error" && lasts < 2 ? 1 : 0;
    }
    EXPECT_EQ(lasts, 2);
    EXPECT_EQ(errors, 0u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveStart), 2u);
    EXPECT_EQ(ComparePage(dir + "/FAX0001.APF", 1, FaxDataPath(tiffs[0]), 1), "");
    EXPECT_EQ(ComparePage(dir + "/FAX0002.APF", 1, FaxDataPath(tiffs[1]), 1), "");
    for (const std::string &r : results) {
        EXPECT_NE(r.find("status=0"), std::string::npos) << r;
    }
    EXPECT_EQ(rates[0], 4800);
    EXPECT_EQ(rates[1], 9600);
    rx.fax->AbortSession();
    EXPECT_TRUE(rx.WaitFinish(20s));
}

// A received fax never replaces a file: when the name it is given is taken, the file stays
// as it was and the fax is kept beside it, under the name the events report.
TEST(Class1Session, TakenNameKeepsTheOldFileAndTheFaxBesideIt) {
    std::string dir = TempDir("taken");
    std::string taken = dir + "/fixed.APF";
    std::ofstream(taken) << "an older fax";
    std::ofstream(dir + "/fixed-1.APF") << "another one";
    LineSim sim({FaxDataPath("text_std_1p.tif")}, dir + "/linesim.log");
    Receiver rx(sim.Slave());
    rx.fax->OnFaxName = [&](TCustomAbstractFax &, std::string &name) { name = taken; };
    rx.fax->SetOneFax(true);
    rx.fax->BeginReceive();
    ASSERT_TRUE(rx.WaitFinish(200s)) << rx.Trace();
    EXPECT_EQ(rx.Of("finish")[0].code, 0) << rx.Trace();
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(file, dir + "/fixed-2.APF");
    std::ifstream old(taken);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "an older fax");
    ExpectPagesMatch(file, "text_std_1p.tif", 1);
}

// ---- Class 2 and 2.0: the simulator's T.32 modem runs T.30; the engine reads its reports.

struct Class2Case {
    const char *simClass;
    TFaxClass faxClass;
};

class Class2Session : public ::testing::TestWithParam<Class2Case> {
  protected:
    Call C2(const std::string &tiff, std::vector<std::string> extra = {}) {
        Call call{tiff, {"--class", GetParam().simClass}};
        call.simArgs.insert(call.simArgs.end(), extra.begin(), extra.end());
        return call;
    }
    std::string Name(const std::string &what) {
        return what + (GetParam().faxClass == fcClass2_0 ? "-c20" : "-c2");
    }
};

// Detection finds the class (the modem lists only its own); FaxClass stays fcDetect.
TEST_P(Class2Session, OnePageFine) {
    CallOutcome o = RunCall(Name("fine1"), C2("text_fine_1p.tif"));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.fax->FaxClass(), fcDetect);
    EXPECT_EQ(rx.fax->Session().ActiveClass(), GetParam().faxClass);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    EXPECT_EQ(rx.Count("error"), 0u) << rx.Trace();
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 1);
    EXPECT_EQ(PageFlags(file, 1), kApfFine);
    ExpectPagesMatch(file, "text_fine_1p.tif", 1);
    EXPECT_EQ(rx.Of("log")[0].remoteId, "+1 555 0100");
    EXPECT_EQ(rx.fax->HangupCode(), 0);
    EXPECT_NE(o.result.find("pages_sent=1 status=0"), std::string::npos) << o.result;
}

TEST_P(Class2Session, ThreePagesMpsMpsEop) {
    Call call = C2("text_fine_3p.tif");
    call.faxClass = GetParam().faxClass;
    call.desiredBps = 14400;
    CallOutcome o = RunCall(Name("fine3"), call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 3);
    ExpectPagesMatch(file, "text_fine_3p.tif", 3);
    EXPECT_EQ(rx.fax->ConnectBPS(), 14400);
    EXPECT_NE(o.result.find("pages_sent=3 status=0"), std::string::npos) << o.result;
}

TEST_P(Class2Session, StandardResolution) {
    CallOutcome o = RunCall(Name("std1"), C2("text_std_1p.tif"));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageFlags(file, 1), 0);
    EXPECT_FALSE(rx.fax->FineResolution());
    ExpectPagesMatch(file, "text_std_1p.tif", 1);
}

// The modem reports page 1 bad (+FPTS:2 / +FPS:2); the engine cuts it off, the caller
// retrains and sends it again, and the file holds each page once.
TEST_P(Class2Session, BadPageReceivedAgain) {
    CallOutcome o = RunCall(Name("resend"),
                            C2("text_fine_1p.tif", {"--noise", "1:1000:2000:0", "--resend-bad"}));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    EXPECT_NE(SimLog(o).find("caller sends page 1 again"), std::string::npos) << SimLog(o);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 1);
    ExpectPagesMatch(file, "text_fine_1p.tif", 1);
    EXPECT_EQ(std::filesystem::file_size(file),
              kApfFileHeaderSize + kApfPageHeaderSize + PageBytesOf(file, 1));
    EXPECT_NE(o.result.find("pages_sent=1 status=0"), std::string::npos) << o.result;
}

// A bad page the caller does not send again is not kept, and the fax is not reported
// complete with it.
TEST_P(Class2Session, BadLastPageIsNotKept) {
    CallOutcome o = RunCall(Name("badlast"), C2("text_fine_1p.tif", {"--noise", "1"}));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 0u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 1u) << rx.Trace();
    EXPECT_EQ(PageCount(ReceivedFile(rx)), 0);
}

// EOM after page 1: the second document's pages follow in the same file.
TEST_P(Class2Session, EomTwoDocumentsOneFile) {
    CallOutcome o = RunCall(Name("eom"), C2("text_fine_3p.tif", {"--eom-after", "1"}));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish", 0), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Count("log", lfaxReceiveStart), 1u);
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 1u);
    std::string file = ReceivedFile(rx);
    EXPECT_EQ(PageCount(file), 3);
    ExpectPagesMatch(file, "text_fine_3p.tif", 3);
}

TEST_P(Class2Session, CallerDropsInPageTwo) {
    CallOutcome o = RunCall(Name("drop2"), C2("text_fine_3p.tif", {"--drop-in-page", "2:1500"}));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Of("finish")[0].code, kErrFaxSessionError);
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveOK), 0u);
    // The modem's hang-up report: receive phase D (Class 2 writes it in decimal).
    EXPECT_EQ(rx.fax->HangupCode(), GetParam().faxClass == fcClass2_0 ? 0xA0 : 100);
    std::string file = ReceivedFile(rx);
    ASSERT_GE(PageCount(file), 1);
    ExpectPagesMatch(file, "text_fine_3p.tif", 1);
}

// A modem that goes away is a line error, not a cancel: during a page the pages so far are
// kept and the fax reported failed; while waiting the session ends with the same code.
TEST_P(Class2Session, VanishedModemIsALineError) {
    CallOutcome o = RunCall(Name("vanish"), C2("text_fine_1p.tif", {"--vanish", "page:1:3000"}));
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Of("finish")[0].code, kErrDeviceRead) << rx.Trace();
    EXPECT_EQ(rx.Count("error", kErrDeviceRead), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveFail), 1u) << rx.Trace();
    EXPECT_TRUE(std::filesystem::exists(ReceivedFile(rx)));

    CallOutcome w = RunCall(Name("vanishwait"), C2("text_fine_1p.tif", {"--vanish", "ring:1"}));
    ASSERT_EQ(w.rx->Count("finish"), 1u) << w.rx->Trace() << SimLog(w);
    EXPECT_EQ(w.rx->Of("finish")[0].code, kErrDeviceRead) << w.rx->Trace();
    EXPECT_EQ(w.rx->Count("log"), 0u) << w.rx->Trace();
}

TEST_P(Class2Session, RefusedThroughOnFaxAccept) {
    Call call = C2("text_fine_1p.tif");
    call.refuse = true;
    CallOutcome o = RunCall(Name("refuse"), call);
    Receiver &rx = *o.rx;
    ASSERT_EQ(rx.Count("finish"), 1u) << rx.Trace() << SimLog(o);
    EXPECT_EQ(rx.Of("finish")[0].code, kErrFileRejected);
    EXPECT_EQ(rx.Count("log", lfaxReceiveSkip), 1u) << rx.Trace();
    EXPECT_EQ(rx.Count("log", lfaxReceiveStart), 0u);
    EXPECT_FALSE(std::filesystem::exists(o.dir + "/faxes") &&
                 !std::filesystem::is_empty(o.dir + "/faxes"));
    EXPECT_NE(SimLog(o).find("dte terminates the session"), std::string::npos) << SimLog(o);
}

TEST_P(Class2Session, TwoCallsInARowOnOneSession) {
    std::string dir = TempDir(Name("twocalls"));
    LineRelay relay(GetParam().faxClass == fcClass2_0 ? "AT+FCLASS=2.0\r" : "AT+FCLASS=2\r");
    Receiver rx(relay.Slave());
    rx.fax->SetDestinationDir(dir);
    rx.fax->NamingMode = 1;
    rx.fax->SetFaxClass(GetParam().faxClass);
    const char *tiffs[2] = {"text_std_1p.tif", "text_fine_1p.tif"};
    for (int call = 0; call < 2; ++call) {
        LineSim sim({"--class", GetParam().simClass, "--ring-at-start", FaxDataPath(tiffs[call])},
                    dir + "/linesim" + std::to_string(call) + ".log");
        relay.Attach(sim.Slave());
        if (call == 0) {
            rx.fax->BeginReceive();
        }
        ASSERT_TRUE(
            rx.WaitFor([&] { return rx.Count("log", lfaxReceiveOK) == size_t(call + 1); }, 150s))
            << rx.Trace();
        std::string result;
        rx.WaitFor(
            [&] {
                result = sim.WaitResult(std::chrono::seconds(0));
                return !result.empty();
            },
            60s);
        EXPECT_NE(result.find("status=0"), std::string::npos) << result;
        relay.Attach({});
    }
    EXPECT_EQ(rx.Count("finish"), 0u);
    EXPECT_EQ(ComparePage(dir + "/FAX0001.APF", 1, FaxDataPath(tiffs[0]), 1), "");
    EXPECT_EQ(ComparePage(dir + "/FAX0002.APF", 1, FaxDataPath(tiffs[1]), 1), "");
    rx.fax->AbortSession();
    EXPECT_TRUE(rx.WaitFinish(20s));
}

INSTANTIATE_TEST_SUITE_P(Classes, Class2Session,
                         ::testing::Values(Class2Case{"2", fcClass2},
                                           Class2Case{"2.0", fcClass2_0}),
                         [](const auto &info) {
                             return std::string(info.param.faxClass == fcClass2_0 ? "Class2_0"
                                                                                  : "Class2");
                         });

} // namespace
} // namespace quillon::fax::test
