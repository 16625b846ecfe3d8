// The byte trace and the dispatch log: their file formats, taken from a dispatcher on a real
// pty, and the ring rules.

#include "comm/trace_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "comm/dispatcher.h"
#include "pty_pair.h"

namespace quillon::comm {
namespace {

using namespace std::chrono_literals;
using quillon::testing::PtyPair;
using quillon::testing::waitFor;

std::string readFile(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        out.push_back(line);
    }
    return out;
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char tmpl[] = "/tmp/quillon-comm-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

void readAll(uint32_t msg, uint32_t w, int32_t, void *ctx) {
    auto *d = static_cast<TBaseDispatcher *>(ctx);
    if (msg == MsgTriggerAvail) {
        for (uint32_t i = 0; i < w; ++i) {
            [[maybe_unused]] int b = d->ReadByte();
        }
    }
}

TEST(Trace, DumpOfACommandAndItsReply) {
    PtyPair pty;
    TSerialDispatcher disp;
    ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 19200, 0, 8, 1));
    EXPECT_EQ(-1002, disp.StartTrace(4000001));
    ASSERT_EQ(0, disp.StartTrace(4000000));
    EXPECT_EQ(4000000u, disp.TraceCapacity());
    disp.StopTrace();
    ASSERT_EQ(0, disp.StartTrace(100));
    ASSERT_EQ(0, disp.AddProcHandler(&readAll, &disp));
    ASSERT_EQ(0, disp.SetAvailThreshold(1));
    ASSERT_EQ(0, disp.WriteText("AT\r"));
    ASSERT_EQ(3u, pty.read(3, 2s).size());
    pty.write("OK\r\n");
    ASSERT_TRUE(
        waitFor([&] { return disp.TraceText(false).find("OK[13][10]") != std::string::npos; }, 2s));
    EXPECT_EQ("Transmit: \nAT[13]\n\nReceive: \nOK[13][10]\n", disp.TraceText(false));
    EXPECT_EQ("Transmit: \nAT[0D]\n\nReceive: \nOK[0D][0A]\n", disp.TraceText(true));

    TempDir dir;
    auto file = dir.path / "FAXCOMM.TRC";
    ASSERT_EQ(0, disp.WriteTrace(file.string(), false, false));
    EXPECT_EQ("Transmit: \nAT[13]\n\nReceive: \nOK[13][10]\n", readFile(file));
    EXPECT_FALSE(disp.TraceOn()); // a dump stops tracing and frees the ring
    EXPECT_EQ(0, disp.WriteTrace(file.string(), true, false)); // nothing to write
    // An empty trace writes nothing; an unwritable file reports its error.
    ASSERT_EQ(0, disp.StartTrace(10));
    EXPECT_EQ(0, disp.WriteTrace((dir.path / "no/such").string(), false, false));
    EXPECT_FALSE(std::filesystem::exists(dir.path / "no"));
    ASSERT_EQ(0, disp.StartTrace(10));
    ASSERT_EQ(0, disp.WriteByte('A'));
    EXPECT_EQ(-2, disp.WriteTrace((dir.path / "no/such").string(), false, false));
    EXPECT_FALSE(disp.TraceOn());
    ASSERT_EQ(0, disp.CloseDevice());
}

TEST(Trace, LongRunsWrapAtColumn78AndTheRingKeepsTheNewest) {
    TTraceRing ring;
    ASSERT_EQ(0, ring.Start(4));
    for (char c : std::string("abcdef")) {
        ring.Add('T', static_cast<uint8_t>(c));
    }
    EXPECT_EQ("Transmit: \ncdef\n", ring.Render(true));
    ring.Stop();
    ASSERT_EQ(0, ring.Start(200));
    for (int i = 0; i < 100; ++i) {
        ring.Add('R', 0x01);
    }
    ring.Add('X', ' ');
    auto out = lines(ring.Render(true));
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ("Receive: ", out[0]);
    // 19 tokens of 4 columns fit in 78; the 20th starts a new line.
    EXPECT_EQ(76u, out[1].size());
    EXPECT_EQ("", out[out.size() - 3]);
    EXPECT_EQ("Special-X: ", out[out.size() - 2]);
    EXPECT_EQ("[20]", out.back()); // a space in hex mode
    auto dec = lines(ring.Render(false));
    EXPECT_EQ(" ", dec.back());
    EXPECT_EQ("[1][1]", dec[1].substr(0, 6));
}

// The last column that still takes a byte: 78 in the trace, 78 after the log's 44-column
// prefix too (its counter starts at 45 and breaks on reaching 79).
TEST(Trace, AndLogBreakExactlyAtTheirLastColumn) {
    TTraceRing trace;
    ASSERT_EQ(0, trace.Start(200));
    for (int i = 0; i < 78; ++i) {
        trace.Add('T', 'a');
    }
    EXPECT_EQ("Transmit: \n" + std::string(78, 'a') + "\n", trace.Render(true));
    trace.Add('T', 'b');
    EXPECT_EQ("Transmit: \n" + std::string(78, 'a') + "\nb\n", trace.Render(true));

    TLogRing log;
    ASSERT_EQ(0, log.Start(1000));
    std::string fits(33, 'x');
    log.Add(ltDispatch, lsWriteCom, 0, 33, fits.data(), 33);
    std::string over(34, 'y');
    log.Add(ltDispatch, lsWriteCom, 0, 34, over.data(), 34);
    auto out = lines(log.Render(true));
    ASSERT_GE(out.size(), 3u);
    const std::string &first = out[out.size() - 3];
    EXPECT_EQ(44u + 33u, first.size());
    EXPECT_EQ(fits, first.substr(44));
    EXPECT_EQ(std::string(33, 'y'), out[out.size() - 2].substr(44));
    EXPECT_EQ(std::string(44, ' ') + "y", out.back());
}

TEST(Log, FileHeaderAndColumns) {
    PtyPair pty;
    TSerialDispatcher disp;
    ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 4096, 4096, true, true, 19200, 0, 8, 1));
    ASSERT_EQ(0, disp.StartLog(10000));
    int t = disp.NewTimerTrigger();
    ASSERT_EQ(0, disp.ArmTimerTrigger(t, 18, true));
    ASSERT_EQ(0, disp.ArmTimerTrigger(t, 0, false));
    int s = disp.NewStatusTrigger(skOutputSent);
    ASSERT_EQ(0, disp.AddProcHandler(&readAll, &disp));
    ASSERT_EQ(0, disp.SetAvailThreshold(1));
    ASSERT_EQ(0, disp.WriteText("AT\r"));
    std::string longBlock(40, '\x7F');
    ASSERT_EQ(0, disp.WriteText(longBlock));
    pty.write("OK\r\n");
    ASSERT_TRUE(waitFor(
        [&] {
            for (const auto &e : disp.LogEntries()) {
                if (e.type == ltDispatch && e.subtype == lsReadCom) {
                    return true;
                }
            }
            return false;
        },
        2s));
    ASSERT_EQ(0, disp.DropTrigger(s));
    TempDir dir;
    auto file = dir.path / "FAXCOMM.LOG";
    ASSERT_EQ(0, disp.WriteLog(file.string(), false, true));
    EXPECT_FALSE(disp.LogOn());
    auto out = lines(readFile(file));
    ASSERT_GT(out.size(), 8u);
    EXPECT_EQ("FaxComm v1.00", out[0]);
    EXPECT_EQ(0u, out[1].find("Compiler : "));
    EXPECT_EQ(0u, out[2].find("Operating System : "));
    EXPECT_EQ("Time      Type      SubType       Data      OtherData", out[3]);
    EXPECT_EQ("--------  --------  ------------  --------  ---------", out[4]);
    std::regex prefix(R"(^\d{4}\.\d{3}  .{8}  .{12}  [0-9a-f]{8}  )");
    std::string all;
    for (size_t i = 5; i < out.size(); ++i) {
        if (out[i].rfind(std::string(44, ' '), 0) == 0) {
            continue; // continuation of a long data part
        }
        EXPECT_TRUE(std::regex_search(out[i], prefix)) << out[i];
        all += out[i].substr(9) + "\n";
    }
    auto hexHandle = [](int h) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", h);
        return std::string(buf);
    };
    EXPECT_NE(std::string::npos, all.find("TrigAllc  Timer         " + hexHandle(t) + "  \n"));
    EXPECT_NE(std::string::npos,
              all.find("TrDatChg  Timer         " + hexHandle(t) + "  [12][00][00][00]\n"));
    EXPECT_NE(std::string::npos,
              all.find("TrDatChg  Timer         " + hexHandle(t) + "  Deactivated\n"));
    EXPECT_NE(std::string::npos,
              all.find("TrigAllc  Status        " + hexHandle(s) + "  (Output sent)\n"));
    EXPECT_NE(std::string::npos,
              all.find("TrigDisp  Status        " + hexHandle(s) + "  (Output sent)\n"));
    EXPECT_NE(std::string::npos, all.find("TrDatChg  Avail         00000001  \n"));
    EXPECT_NE(std::string::npos, all.find("TrgHdAlc  Procedure     00000000  \n"));
    EXPECT_NE(std::string::npos, all.find("Dispatch  WriteCom      00000003  AT[0D]\n"));
    EXPECT_NE(std::string::npos, all.find("Dispatch  ReadCom       00000004  OK[0D][0A]\n"));
    // 40 bytes of [7F]: 8 fit after the 44-column prefix, the rest on indented lines.
    auto longLine = std::find_if(out.begin(), out.end(), [](const std::string &l) {
        return l.find("00000028  [7F]") != std::string::npos;
    });
    ASSERT_NE(out.end(), longLine);
    EXPECT_EQ(44u + 8 * 4, longLine->size());
    EXPECT_EQ(std::string(44, ' ') + "[7F][7F]", (longLine + 1)->substr(0, 52));
    for (const auto &l : out) {
        EXPECT_LE(l.size(), 79u) << l;
    }
    ASSERT_EQ(0, disp.CloseDevice());
}

// Reads that run across the input ring's end are logged a piece at a time, each entry
// counting its own bytes; together they are the bytes the peer sent, in order.
TEST(Log, ReadsAcrossTheRingEndAreLoggedPieceByPiece) {
    PtyPair pty;
    TSerialDispatcher disp;
    ASSERT_EQ(0, disp.OpenDevice(pty.slavePath(), 8192, 8192, true, true, 19200, 0, 8, 1));
    ASSERT_EQ(0, disp.StartLog(1 << 20));
    ASSERT_EQ(0, disp.AddProcHandler(&readAll, &disp));
    ASSERT_EQ(0, disp.SetAvailThreshold(1));
    std::string sent;
    for (int i = 0; i < 9000; ++i) {
        sent.push_back(static_cast<char>(i % 251));
    }
    std::string logged;
    auto loggedSize = [&] {
        logged.clear();
        for (const auto &e : disp.LogEntries()) {
            if (e.type == ltDispatch && e.subtype == lsReadCom) {
                EXPECT_EQ(e.data.size(), e.otherData);
                logged.append(e.data.begin(), e.data.end());
            }
        }
        return logged.size();
    };
    pty.write(sent.substr(0, 8000));
    ASSERT_TRUE(waitFor([&] { return loggedSize() == 8000 && disp.InputCount() == 0; }, 3s));
    pty.write(sent.substr(8000)); // runs across position 8192
    ASSERT_TRUE(waitFor([&] { return loggedSize() == sent.size(); }, 3s));
    EXPECT_TRUE(logged == sent);
    ASSERT_EQ(0, disp.CloseDevice());
}

TEST(Log, RingDropsOldestEntriesWholeAndTimesFormat) {
    EXPECT_EQ("0012.345", FormatLogTime(12345));
    EXPECT_EQ("0000.000", FormatLogTime(0));
    EXPECT_EQ("12345.678", FormatLogTime(12345678));
    TLogRing ring;
    ASSERT_EQ(0, ring.Start(64));
    uint8_t data[20] = {};
    for (uint32_t i = 0; i < 5; ++i) {
        data[0] = static_cast<uint8_t>(i);
        ring.Add(ltDispatch, lsWriteCom, i, i, data, 10); // 26 bytes each
    }
    auto entries = ring.Entries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(3u, entries[0].otherData);
    EXPECT_EQ(4u, entries[1].otherData);
    EXPECT_EQ(4, entries[1].data[0]);
    std::vector<uint8_t> huge(100);
    ring.Add(ltDispatch, lsWriteCom, 9, 9, huge.data(), 100); // larger than the ring: dropped
    EXPECT_EQ(2u, ring.Entries().size());
    EXPECT_EQ(-1002, ring.Start(kMaxLogBytes + 1));
}

} // namespace
} // namespace quillon::comm
