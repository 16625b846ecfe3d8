// The controller's handlers and routines where no real peer is needed or can reach: the
// settings loaded and saved, each handler's effect on the form model, recovery in both
// modes, the private message numbers, the mail host field, the station id, the pending
// list's file.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "server_test_support.h"

namespace quillon::server::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(ControllerPieces, MessageNumbers) {
    EXPECT_EQ(WM_FAXLOGGED, 0x401u);
    EXPECT_EQ(WM_RESTARTCAPTURE, 0x402u);
    EXPECT_EQ(WM_RASNOTIFY, 52429u);
    EXPECT_EQ(RASCS_Connected, 8192u);
    EXPECT_EQ(RASCS_Disconnected, 8193u);
}

TEST(ControllerPieces, MailHostField) {
    struct Row {
        const char *text;
        bool ok;
        const char *host;
        const char *port;
    } rows[] = {
        {"mail.example.com", true, "mail.example.com", "smtp"}, // the service stays the default
        {" mail.example.com:2525 ", true, "mail.example.com", "2525"},
        {"[::1]:2525", true, "::1", "2525"},
        {"[::1]", true, "::1", "smtp"},
        {"::1", true, "::1", "smtp"}, // a bare IPv6 address has no port
        {"", false, "", ""},
        {"host:", false, "", ""},
        {"host:25x", false, "", ""},
        {"[::1", false, "", ""},
        {"[::1]x", false, "", ""},
    };
    for (const Row &r : rows) {
        std::string host;
        std::string port;
        ASSERT_EQ(ParseMailHost(r.text, host, port), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(host, r.host) << r.text;
            EXPECT_EQ(port, r.port) << r.text;
        }
    }
}

TEST(ControllerPieces, StationIdIsTrimmedAndPrintable) {
    EXPECT_EQ(CleanStationId("  +1 555 0100        "), "+1 555 0100");
    EXPECT_EQ(CleanStationId("A\r\nB\x01\x7f"
                             "C"),
              "ABC");
    EXPECT_EQ(CleanStationId("                    "), "");
}

TEST(ControllerPieces, TimeStampPatternWhateverTheLocale) {
    EXPECT_TRUE(
        std::regex_match(NowStamp(), std::regex("\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d (AM|PM)")))
        << NowStamp();
    // 13:05 local is 01:05 PM; midnight is 12, not 00.
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 9;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_isdst = -1;
    EXPECT_EQ(records::FormatLogTime(std::mktime(&t)), "12/09/2026 01:05 PM");
    t.tm_hour = 0;
    EXPECT_EQ(records::FormatLogTime(std::mktime(&t)), "12/09/2026 12:05 AM");
}

TEST(ControllerPieces, PendingListFileRoundTripAndDamage) {
    ServerFixture fx;
    TPendingStore store(fx.folder());
    std::vector<std::string> problems;
    EXPECT_TRUE(store.Load(problems).empty());
    std::vector<TPendingEntry> entries = {{"faxes/12090001.APF", "+1 555 0100"},
                                          {"faxes/12090002.APF", ""}};
    ASSERT_EQ(store.Save(entries), 0);
    auto back = store.Load(problems);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].file, "faxes/12090002.APF");
    EXPECT_EQ(back[1].sender, "");
    EXPECT_TRUE(problems.empty());

    // A damaged line is reported, the readable ones are kept, and the file as found is
    // copied aside.
    std::ofstream(store.Path()) << "QUILLON-PENDING 1\r\nfaxes/a.APF\tX\r\nno tab here\n";
    back = store.Load(problems);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].file, "faxes/a.APF");
    EXPECT_EQ(back[0].sender, "X");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_TRUE(fs::exists(fx.folder() / "pending.lst.bad"));
}

class Controller : public ::testing::Test {
  protected:
    ServerFixture fx;
};

TEST_F(Controller, MissingSettingsLeaveDesignValuesAndSaveCreatesThePath) {
    TForm1 &form = fx.start();
    EXPECT_EQ(form.reMessages.Lines,
              (std::array<std::string, 3>{"Not Configured", "Not Ready", "Idle"}));
    EXPECT_EQ(form.Panel10.Caption, "Idle");
    EXPECT_TRUE(form.rbToEmail.Checked);
    EXPECT_EQ(form.edSMTP.Text, "");
    EXPECT_EQ(form.cbModem.Text, "");
    EXPECT_EQ(form.Panel5.Caption, "");
    // "Direct connection" is the only entry, so it is preselected.
    EXPECT_EQ(form.EntryNameComboBox.Items, (std::vector<std::string>{"Direct connection"}));
    EXPECT_EQ(form.EntryNameComboBox.Text, "Direct connection");
    EXPECT_EQ(form.Panel9.Caption, "Direct connection");
    EXPECT_TRUE(form.BitBtnBegFax.Enabled);
    EXPECT_FALSE(form.BitBtnEndFax.Enabled);
    EXPECT_FALSE(fx.store().KeyExists(kConfigKey));

    form.edSMTP.Text = "mail.example.com:2525";
    form.edEMailAddress.Text = "office@example.com";
    form.edUserName.Text = "user";
    form.edPassword.Text = "secret";
    form.cbModem.Text = "Direct to COM2";
    form.rbToEmail.Checked = false;
    form.btnHostConfgSaveClick();
    EXPECT_EQ(form.reMessages.Lines[0], "Configured!");
    EXPECT_EQ(form.Panel5.Caption, "Direct to COM2");
    auto s = fx.store();
    EXPECT_EQ(s.GetValue(kConfigKey, "rgSMTP")->text, "mail.example.com:2525");
    EXPECT_EQ(s.GetValue(kConfigKey, "rgPassword")->text, "secret");
    EXPECT_EQ(s.GetValue(kConfigKey, "rgPhoneNumber")->text, "Direct connection");
    EXPECT_EQ(s.GetValue(kConfigKey, "rgToEmail")->dword, 0u);

    // A second controller loads what was saved.
    fx.drop();
    TForm1 &again = fx.start();
    EXPECT_EQ(again.edSMTP.Text, "mail.example.com:2525");
    EXPECT_EQ(again.SmtpClient.Host, "mail.example.com:2525");
    EXPECT_EQ(again.SmtpClient.HdrTo, "office@example.com");
    EXPECT_EQ(again.edUserName.Text, "user");
    EXPECT_FALSE(again.rbToEmail.Checked);
    EXPECT_EQ(again.reMessages.Lines[0], "Configured!");
    EXPECT_EQ(again.Panel5.Caption, "Direct to COM2");
}

TEST_F(Controller, StoredEntryNameWinsOverTheSingleEntry) {
    fx.store().SetValue(kConfigKey, "rgPhoneNumber", platform::RegValue::String("Office ISP"));
    fx.store().SetValue(kConfigKey, "rgFaxClass", platform::RegValue::Dword(3));
    fx.store().SetValue(kConfigKey, "rgDesiredBPS", platform::RegValue::Dword(14400));
    TForm1 &form = fx.start();
    EXPECT_EQ(form.EntryNameComboBox.Text, "Office ISP");
    EXPECT_EQ(form.Panel9.Caption, "Office ISP");
    EXPECT_EQ(form.ReceiveFax1.FaxClass(), fax::fcClass2);
    EXPECT_EQ(form.ReceiveFax1.DesiredBPS(), 14400);
}

TEST_F(Controller, HandlersOnTheFormModel) {
    TForm1 &form = fx.start();
    bool accept = true;
    form.ReceiveFax1FaxAccept(accept);
    EXPECT_TRUE(accept);
    EXPECT_EQ(form.reMessages.Lines,
              (std::array<std::string, 3>{"Configured.", "Receiving Fax.", "Active."}));
    EXPECT_EQ(form.Panel10.Caption, "Receiving Fax");

    // WM_FAXLOGGED arms the stop; it is posted, so it runs from the loop.
    form.Handle().post(WM_FAXLOGGED);
    EXPECT_FALSE(form.StopRequested());
    ASSERT_TRUE(fx.waitFor([&] { return form.StopRequested(); }, 10s));
    EXPECT_TRUE(form.ReceiveFax1.ConstantStatus());

    form.ResetCaptureControls();
    EXPECT_TRUE(form.BitBtnBegFax.Enabled);
    EXPECT_TRUE(form.BitBtnMainScreen.Enabled);
    EXPECT_TRUE(form.BitBtnTransLog.Enabled);
    EXPECT_TRUE(form.BitBtnConfigure.Enabled);
    EXPECT_FALSE(form.BitBtnEndFax.Enabled);
    EXPECT_EQ(form.reMessages.Lines,
              (std::array<std::string, 3>{"Configured.", "Not Ready.", "Idle."}));

    // The one-shot timer posts WM_RESTARTCAPTURE and disables itself.
    form.Timer1.setEnabled(true);
    form.Timer1Timer();
    EXPECT_FALSE(form.Timer1.enabled());

    // The comment header goes in as its own line after From, in any case.
    std::vector<std::string> lines = {"from: a@b", "To: a@b", "Subject: x"};
    form.SmtpClientProcessHeader(lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"from: a@b", "Comments: This is a test", "To: a@b",
                                               "Subject: x"}));
}

TEST_F(Controller, DirectPortThatCannotOpenIsRetriedThroughRecovery) {
    fx.store().SetValue(kConfigKey, "rgModem", platform::RegValue::String("Direct to COM7"));
    fx.store().SetValue(kPortsKey, "COM7",
                        platform::RegValue::String((fx.folder() / "no-such-tty").string()));
    TForm1 &form = fx.start();
    form.BitBtnBegFaxClick();
    ASSERT_EQ(fx.count("recovering from"), 1u) << fx.trace();
    EXPECT_EQ(form.ComPort1.TapiMode(), comm::tmOff);
    EXPECT_EQ(form.ComPort1.ComNumber(), 7);
    // The controls are as they were; the restart timer tries again.
    EXPECT_TRUE(form.BitBtnBegFax.Enabled);
    EXPECT_TRUE(form.Timer1.enabled());
    ASSERT_TRUE(fx.waitEvent("recovering from", 2, 30s)) << fx.trace();

    // "End Fax Capture" stops the retrying.
    form.BitBtnEndFaxClick();
    EXPECT_FALSE(form.Timer1.enabled());
    EXPECT_FALSE(form.CaptureWanted());
}

TEST_F(Controller, RecoveryWhileCapturingWithFilesPendingLetsTheRunProceed) {
    fx.configure("127.0.0.1:" + std::to_string(UnusedPort()), "/nonexistent");
    std::ofstream(fx.folder() / "faxes.APF") << "fax";
    TPendingStore(fx.folder()).Save({{"faxes.APF", "X"}});
    TForm1 &form = fx.start();
    ASSERT_EQ(form.PendingFiles().size(), 1u);
    form.ForwardRetryFirst = 10min;
    form.RecoverFromException(std::runtime_error("boom"));
    // Mode 0: the forwarding run it starts goes ahead rather than being cancelled.
    EXPECT_EQ(form.ControllerMode(), TForm1::cmForwarding);
    EXPECT_EQ(form.Panel10.Caption, "Forwarding Fax");
    ASSERT_TRUE(fx.waitEvent("forwarding failed", 1, 60s)) << fx.trace();
    EXPECT_EQ(form.PendingFiles().size(), 1u);
    EXPECT_TRUE(form.Timer1.enabled());

    // Mode 1: the run is given up, the files stay pending, the restart and a retry are armed.
    form.RecoverFromException(std::runtime_error("boom again"));
    EXPECT_EQ(form.PendingFiles().size(), 1u);
    EXPECT_EQ(form.FaxSenders(), (std::vector<std::string>{"X"}));
    EXPECT_TRUE(form.Timer1.enabled());
    EXPECT_GT(form.RetryDelay().count(), 0);
}

// The line device path: a device that cannot be taken is swallowed and retried a second
// later, leaving the controls as they were; the modem field's dialog picks a line device.
TEST_F(Controller, LineDeviceThatCannotBeTakenIsRetried) {
    fx.store().SetValue(kLinesKey, "Fax Modem",
                        platform::RegValue::String((fx.folder() / "gone").string()));
    fx.store().SetValue(kConfigKey, "rgModem", platform::RegValue::String("Fax Modem"));
    TForm1 &form = fx.start();
    form.BitBtnBegFaxClick();
    EXPECT_EQ(fx.count("capture: line device not available"), 1u) << fx.trace();
    EXPECT_EQ(fx.count("recovering"), 0u);
    EXPECT_EQ(form.TapiDevice1.SelectedDevice(), "Fax Modem");
    EXPECT_TRUE(form.Timer1.enabled());
    EXPECT_TRUE(form.BitBtnBegFax.Enabled);
    EXPECT_EQ(form.reMessages.Lines[1], "Not Ready");
    ASSERT_TRUE(fx.waitEvent("capture: line device not available", 2, 30s)) << fx.trace();
    form.BitBtnEndFaxClick();
    EXPECT_FALSE(form.Timer1.enabled());

    form.TapiDevice1.SetShowPorts(false);
    auto previous = comm::SetDeviceSelectHook(
        [](const comm::TDeviceSelectionForm &dialog) { return dialog.Entries().empty() ? -1 : 0; });
    form.cbModem.Text.clear();
    form.cbModemClick();
    comm::SetDeviceSelectHook(previous);
    EXPECT_EQ(form.cbModem.Text, "Fax Modem");
}

} // namespace
} // namespace quillon::server::test
