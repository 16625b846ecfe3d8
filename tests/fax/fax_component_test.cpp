// The receive-fax component without a call: property storage, start checks, file naming,
// the fax log's lines and the status display's texts and meter arithmetic.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "comm/error_codes.h"
#include "fax/fax_status.h"
#include "fax/receive_fax.h"

namespace quillon::fax {
namespace {

namespace fs = std::filesystem;

std::string TempFolder(const std::string &name) {
    fs::path p = fs::temp_directory_path() / ("quillon-faxunit-" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p.string() + "/";
}

std::string Today() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d%02d", t.tm_mon + 1, t.tm_mday);
    return buf;
}

TEST(ReceiveFaxProperties, DefaultsAndStoredForms) {
    TReceiveFax fax;
    EXPECT_EQ(fax.FaxClass(), fcDetect);
    EXPECT_EQ(fax.DesiredBPS(), 9600);
    EXPECT_EQ(fax.StatusInterval(), 1);
    EXPECT_EQ(fax.AnswerOnRing(), 1);
    EXPECT_EQ(fax.FaxFileExt(), "APF");
    EXPECT_EQ(fax.NamingMode, 1);
    EXPECT_FALSE(fax.ExitOnError());
    fax.SetModemInit("&f");
    EXPECT_EQ(fax.ModemInit(), "AT&F");
    fax.SetModemInit("atz" + std::string(60, 'x'));
    EXPECT_EQ(fax.ModemInit().size(), 40u);
    EXPECT_EQ(fax.ModemInit().substr(0, 3), "ATZ");
    fax.SetDestinationDir("faxes");
    EXPECT_EQ(fax.DestinationDir(), "faxes/");
    fax.SetDestinationDir("faxes\\");
    EXPECT_EQ(fax.DestinationDir(), "faxes/");
    fax.SetDestinationDir("C:");
    EXPECT_EQ(fax.DestinationDir(), "C:");
    fax.SetStationID("123456789012345678901234");
    EXPECT_EQ(fax.StationID(), "12345678901234567890");
    fax.SetExitOnError(true);
    fax.SetSoftwareFlow(true);
    EXPECT_EQ(fax.Session().Settings().options, kOptExitOnError | kOptSoftwareFlow);
    fax.SetExitOnError(false);
    EXPECT_EQ(fax.Session().Settings().options, kOptSoftwareFlow);
    fax.SetStatusInterval(7);
    fax.Loaded(true);
    EXPECT_EQ(fax.StatusInterval(), 7);
    fax.Loaded(false);
    EXPECT_EQ(fax.StatusInterval(), 1);
}

TEST(ReceiveFaxProperties, StartChecksRaise) {
    comm::TComPort port; // a port outlives the components linked to it
    TReceiveFax fax;
    try {
        fax.BeginReceive();
        FAIL() << "no exception";
    } catch (const comm::EPortNotAssigned &e) {
        EXPECT_EQ(e.code(), -1005);
        EXPECT_STREQ(e.what(), "ComPort component not assigned");
    }
    EXPECT_THROW(fax.PrepareModemForReceive(), comm::EPortNotAssigned);
    fax.SetComPort(&port);
    // The port is configured for fax.
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_EQ(port.OutSize(), 8192);
    EXPECT_EQ(port.InSize(), 8192);
    EXPECT_TRUE(port.HWFlowOptions().Contains(comm::hwfRequireCTS));
    port.SetOutSize(4096);
    try {
        fax.BeginReceive();
        FAIL() << "no exception";
    } catch (const comm::EOutputBufferTooSmall &e) {
        EXPECT_EQ(e.code(), -3006);
    }
    // A closed port without AutoOpen has no dispatcher.
    port.SetOutSize(8192);
    port.SetAutoOpen(false);
    EXPECT_THROW(fax.BeginReceive(), comm::ECommException);
    // AbortSession with no session is harmless.
    fax.AbortSession();
}

TEST(FileNaming, CounterAndDateNames) {
    std::string dir = TempFolder("naming");
    EXPECT_EQ(GenerateFaxName(1, dir, "APF"), dir + "FAX0001.APF");
    std::ofstream(dir + "FAX0001.APF") << "x";
    std::ofstream(dir + "FAX0003.APF") << "x";
    EXPECT_EQ(GenerateFaxName(1, dir, "APF"), dir + "FAX0002.APF");
    std::string today = Today();
    EXPECT_EQ(GenerateFaxName(2, dir, "APF"), dir + today + "0001.APF");
    std::ofstream(dir + today + "0001.APF") << "x";
    EXPECT_EQ(GenerateFaxName(2, dir, "APF"), dir + today + "0002.APF");
    // A deleted file's number is used again.
    fs::remove(dir + today + "0001.APF");
    EXPECT_EQ(GenerateFaxName(2, dir, "APF"), dir + today + "0001.APF");
    EXPECT_EQ(GenerateFaxName(3, dir, "APF"), "noname.apf");
    EXPECT_EQ(GenerateFaxName(0, dir, "APF"), "noname.apf");
    EXPECT_EQ(GenerateFaxName(1, "", "TIF"), "FAX0001.TIF");
}

TEST(FileNaming, AllNumbersTakenGoOnInTheSameFolder) {
    // Once 0001 to 9999 of a day are taken the next fax still gets a free name of its
    // own in the destination folder, never a shared one elsewhere.
    std::string dir = TempFolder("full");
    std::string today = Today();
    for (int n = 1; n <= 9999; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "FAX%04d.APF", n);
        std::ofstream(dir + name).put('x');
        std::snprintf(name, sizeof name, "%s%04d.APF", today.c_str(), n);
        std::ofstream(dir + name).put('x');
    }
    EXPECT_EQ(GenerateFaxName(1, dir, "APF"), dir + "FAX10000.APF");
    EXPECT_EQ(GenerateFaxName(2, dir, "APF"), dir + today + "10000.APF");
    std::ofstream(dir + today + "10000.APF").put('x');
    EXPECT_EQ(GenerateFaxName(2, dir, "APF"), dir + today + "10001.APF");
}

TEST(FaxLog, HistoryLines) {
    std::string dir = TempFolder("log");
    TReceiveFax fax;
    TFaxLog log;
    fax.SetFaxLog(&log);
    EXPECT_EQ(log.Fax(), &fax);
    log.FaxHistoryName = dir + "FAXLOG.HIS";
    fax.SetFaxFileName("faxes/12090001.APF");
    log.UpdateLog(lfaxReceiveStart);
    log.UpdateLog(lfaxReceiveOK);
    log.UpdateLog(lfaxReceiveSkip);
    log.UpdateLog(lfaxReceiveFail);
    log.UpdateLog(lfaxTransmitStart); // sending codes write nothing
    std::ifstream in(log.FaxHistoryName);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t p; (p = text.find('\n', start)) != std::string::npos; start = p + 1) {
        lines.push_back(text.substr(start, p - start));
    }
    ASSERT_EQ(lines.size(), 9u) << text;
    EXPECT_EQ(lines[0].rfind("Receive faxes/12090001.APF from  started at ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Receive finished OK at ", 0), 0u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3].rfind("Receive skipped at ", 0), 0u);
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5].rfind("Receive failed at ", 0), 0u);
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "  (" + comm::ErrorMessage(0) + ")"); // no error recorded yet
    EXPECT_EQ(lines[8], "");
    // An unwritable history file raises the input/output exception.
    log.FaxHistoryName = dir + "missing/dir/FAXLOG.HIS";
    EXPECT_THROW(log.UpdateLog(lfaxReceiveOK), comm::EInOutError);
    log.FaxHistoryName.clear();
    EXPECT_NO_THROW(log.UpdateLog(lfaxReceiveOK));
}

TEST(StatusTexts, ByProgressCode) {
    EXPECT_EQ(StatusMessage(20), "Waiting for incoming call");
    EXPECT_EQ(StatusMessage(28), "Got Class 2 FHNG code");
    EXPECT_EQ(StatusMessage(43), "Finished");
    EXPECT_EQ(StatusMessage(0), "");
    EXPECT_EQ(StatusMessage(10), ""); // no text
    EXPECT_EQ(StatusMessage(44), "");
}

TEST(StatusDisplay, ValuesOfAReceiver) {
    TReceiveFax fax;
    TFaxStatus status;
    fax.SetStatusDisplay(&status);
    EXPECT_EQ(status.Fax(), &fax);
    TStandardFaxDisplay &d = *status.Display();
    uint64_t now = 1000;
    d.NowMs = [&] { return now; };
    fax.SetFaxFileName("faxes/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123.APF");
    status.UpdateDisplay(true, false);
    EXPECT_TRUE(d.Visible);
    EXPECT_EQ(d.fsFaxFileName, "ABCDEFGHIJKLMNOPQRST...");
    EXPECT_EQ(d.fsElapsedTime, "00:00"); // no parameters yet
    EXPECT_EQ(d.fsCurrentPage, "1");
    EXPECT_EQ(d.fsDialAttempt, "1");
    EXPECT_EQ(d.fsResolution, "standard");
    EXPECT_EQ(d.fsWidth, "1728");
    EXPECT_EQ(d.fsErrorControl, "off");
    EXPECT_EQ(d.fsLabel19, "Page progress: N/A");
    EXPECT_FALSE(d.fsMeter.Visible);
    EXPECT_EQ(d.fsStatusMsg, "");
    EXPECT_EQ(TStandardFaxDisplay::FormatElapsed(125000), "  2:05");
    EXPECT_EQ(TStandardFaxDisplay::FormatElapsed(5000), "  0:05");
    // A Last status hides without refreshing.
    fax.SetFaxFileName("short.APF");
    status.UpdateDisplay(false, true);
    EXPECT_FALSE(d.Visible);
    EXPECT_EQ(d.fsFaxFileName, "ABCDEFGHIJKLMNOPQRST...");
    status.UpdateDisplay(false, false);
    EXPECT_EQ(d.fsFaxFileName, "short.APF");
    // Destroying the display unlinks it.
    {
        TFaxStatus other;
        fax.SetStatusDisplay(&other);
        EXPECT_EQ(status.Fax(), nullptr);
    }
    EXPECT_EQ(fax.StatusDisplay(), nullptr);
}

// Partners destroyed in either order leave no link to freed memory (the AddressSanitizer
// build checks what the expectations cannot).
TEST(Partners, DestructionOrders) {
    // The port first: the component lets go of it.
    auto port = std::make_unique<comm::TComPort>();
    auto fax = std::make_unique<TReceiveFax>(port.get());
    EXPECT_EQ(fax->ComPort(), port.get());
    port.reset();
    EXPECT_EQ(fax->ComPort(), nullptr);
    fax->AbortSession();
    fax.reset();

    // The component first, after its display was switched: neither display keeps it.
    TFaxStatus first;
    TFaxStatus second;
    comm::TComPort other;
    fax = std::make_unique<TReceiveFax>(&other);
    fax->SetStatusDisplay(&first);
    fax->SetStatusDisplay(&second);
    EXPECT_EQ(first.Fax(), nullptr);
    EXPECT_EQ(second.Fax(), fax.get());
    fax.reset();
    EXPECT_EQ(second.Fax(), nullptr);
    second.CancelClick(); // no session to cancel any more
    first.CancelClick();
}

TEST(Meter, BlockArithmetic) {
    TMeter m; // 150 x 16, step 8, 0..100
    int changes = 0;
    m.OnPosChange = [&](TMeter &) { ++changes; };
    m.SetPosition(50);
    EXPECT_EQ(m.Blocks(), 10); // 50 * 18 div 100 + 1
    EXPECT_EQ(m.PartialWidth(), 0);
    EXPECT_EQ(changes, 1);
    m.SetPosition(51); // same block count: no change event
    EXPECT_EQ(changes, 1);
    m.SetPosition(0);
    EXPECT_EQ(m.Blocks(), 0);
    m.SetPosition(100); // 18 + 1 blocks overflow 146 pixels: 18 full and a 2-pixel partial
    EXPECT_EQ(m.Blocks(), 18);
    EXPECT_EQ(m.PartialWidth(), 2);
    TMeter::Rect r = m.BlockRect(1);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.right, 16);
    EXPECT_EQ(r.top, 2);
    EXPECT_EQ(r.bottom, 14);
    uint32_t lt = 0, rb = 0;
    EXPECT_TRUE(m.BevelColors(lt, rb));
    EXPECT_EQ(lt, m.BevelColor2);
    m.BevelStyle = bsNone;
    EXPECT_FALSE(m.BevelColors(lt, rb));
    // The status window's meter: 406 wide, step 10.
    TStandardFaxDisplay d;
    d.fsMeter.SetPosition(50);
    EXPECT_EQ(d.fsMeter.Blocks(), 50 * 40 / 100 + 1);
}

} // namespace
} // namespace quillon::fax
