// The three logs: their record layouts and descriptions, listing into the grid, Remove
// with its question and information texts, and the server's adding procedure.

#include <gtest/gtest.h>

#include "platform/ui_hooks.h"
#include "records/call_logs.h"
#include "test_util.h"

namespace quillon::records {
namespace {

using test::TempDir;

struct Boxes {
    std::vector<std::string> texts;
    int answer = platform::kIdYes;
    platform::MessageBoxHook previous;
    Boxes() {
        previous =
            platform::SetMessageBoxHook([this](const std::string &text, const std::string &,
                                               platform::MessageKind, platform::MessageButtons) {
                texts.push_back(text);
                return answer;
            });
    }
    ~Boxes() { platform::SetMessageBoxHook(previous); }
};

TIncomingCall call(int n) {
    char name[32];
    std::snprintf(name, sizeof name, "faxes\\1209%04d.APF", n);
    return {"12/09/2026 01:15 AM", false, "", name, true};
}

TEST(CallLogs, IncomingRecordsAndDescriptions) {
    TempDir dir;
    {
        TCallLog log(TLogKind::Incoming);
        log.Open(dir.path());
        EXPECT_EQ(log.View().FileName(), dir.file("vIn.qdb"));
        log.AddIncoming(call(1));
        EXPECT_EQ(log.View().ReadAdminString("QF.0003"),
                  std::string("\x06.edtICFaxFilename.TEdit"));
        EXPECT_EQ(log.View().ReadAdminString("QF.0001"), std::string("\x01.cbICError.TCheckBox"));
        std::vector<uint8_t> item;
        ASSERT_TRUE(log.View().FindKey("FAXES\\12090001.apf"));
        log.View().Get(item);
        std::vector<uint8_t> want;
        auto edit = [&](const std::string &s) {
            test::put32(want, static_cast<uint32_t>(s.size() + 1));
            want.insert(want.end(), s.begin(), s.end());
            want.push_back(0);
        };
        auto check = [&](uint32_t state) {
            test::put32(want, 4);
            test::put32(want, state);
        };
        edit("12/09/2026 01:15 AM");
        check(0);
        edit("");
        edit("faxes\\12090001.APF");
        check(1);
        EXPECT_EQ(item, want);
    }
    // The same file opens again under the same panel, and not under another log's.
    TCallLog again(TLogKind::Incoming);
    again.Open(dir.path());
    EXPECT_EQ(again.View().Count(), 1);
    again.Close();
    TCallLog wrong(TLogKind::SendQueue);
    EXPECT_THROW(wrong.OpenFile(dir.file("vIn.qdb"), false), ERecViewError);
}

TEST(CallLogs, ListingGrowsTheGridAndEmptyLogsListNothing) {
    TempDir dir;
    TCallLog log(TLogKind::Incoming);
    log.Open(dir.path());
    Boxes boxes;
    EXPECT_EQ(log.Refresh(), 0);
    EXPECT_EQ(log.Grid().RowCount(), 12);
    EXPECT_EQ(log.Grid().Cell(0, 0), "Date/Time");
    EXPECT_EQ(log.Grid().Cell(4, 0), "Fax Filename");
    EXPECT_EQ(log.Grid().Cell(0, 1), "");
    EXPECT_TRUE(boxes.texts.empty());

    for (int i = 12; i >= 1; --i) {
        log.AddIncoming(call(i));
    }
    EXPECT_TRUE(log.GridStale());
    EXPECT_EQ(log.Refresh(), 12);
    EXPECT_EQ(log.Grid().RowCount(), 13);
    EXPECT_EQ(log.Grid().Cell(4, 1), "faxes\\12090001.APF");
    EXPECT_EQ(log.Grid().Cell(4, 12), "faxes\\12090012.APF");
    EXPECT_EQ(log.Grid().Cell(1, 12), "No");
    EXPECT_EQ(log.Grid().Cell(3, 12), "Yes");

    TCallLog out(TLogKind::Outgoing);
    out.Open(dir.path());
    out.AddSentMail({"12/09/2026 01:20 AM", "", false, "S", "12/09/2026 01:20 AM", "faxes\\a"});
    out.Refresh();
    EXPECT_EQ(out.Grid().RowCount(), 14);
    std::vector<std::string> row;
    for (int c = 0; c < out.Grid().ColCount(); ++c) {
        row.push_back(out.Grid().Cell(c, 1));
    }
    EXPECT_EQ(row, (std::vector<std::string>{"12/09/2026 01:20 AM", "S", "12/09/2026 01:20 AM",
                                             "faxes\\a", "No", ""}));
    EXPECT_EQ(out.Grid().ColWidths(), (std::vector<int>{128, 33, 138, 113, 39, 138}));
}

TEST(CallLogs, RemoveAsksAndReports) {
    TempDir dir;
    TCallLog q(TLogKind::SendQueue);
    q.Open(dir.path());
    q.AddQueued({"faxes\\x.APF", "Q", "12/09/2026 01:15 AM"});
    q.AddQueued({"faxes\\y.APF", "Q", "12/09/2026 01:16 AM"});
    q.Refresh();
    Boxes boxes;

    q.Grid().Row = 5; // an empty row
    q.Remove();
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "Could not delete .");

    q.Grid().Row = 1;
    boxes.answer = platform::kIdNo;
    q.Remove();
    ASSERT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(boxes.texts[1], "You are about to delete the selected entry faxes\\x.APF.\r"
                              "Do you wish to continue deletion?");
    EXPECT_EQ(q.View().Count(), 2);
    EXPECT_EQ(q.Grid().Cell(2, 1), "faxes\\x.APF"); // still listed after the refresh

    boxes.answer = platform::kIdYes;
    q.Remove();
    EXPECT_EQ(q.View().Count(), 1);
    EXPECT_EQ(q.Grid().Cell(2, 1), "faxes\\y.APF");
    EXPECT_EQ(q.Grid().Cell(2, 2), "");
    EXPECT_EQ(q.Grid().RowCount(), 12);
}

TEST(CallLogs, SameFaxNameTwiceKeepsTheSecondReception) {
    TempDir dir;
    TCallLog in(TLogKind::Incoming);
    TCallLog q(TLogKind::SendQueue);
    in.Open(dir.path());
    q.Open(dir.path());
    TIncomingCall first = call(7);
    in.AddIncoming(first);
    q.AddQueued({first.faxFilename, "Q", "12/09/2026 01:00 AM"});
    TIncomingCall second = first;
    second.dateTime = "12/10/2026 02:00 PM";
    in.AddIncoming(second);
    q.AddQueued({first.faxFilename, "Q", "12/10/2026 02:00 PM"});
    in.Refresh();
    q.Refresh();
    EXPECT_EQ(in.View().Count(), 1);
    EXPECT_EQ(q.View().Count(), 1);
    EXPECT_EQ(in.Grid().Cell(0, 1), "12/10/2026 02:00 PM");
    EXPECT_EQ(q.Grid().Cell(1, 1), "12/10/2026 02:00 PM");
}

TEST(CallLogs, ReadOnlyLogRefusesTheServersRecord) {
    TempDir dir;
    {
        TCallLog in(TLogKind::Incoming);
        in.Open(dir.path());
    }
    TCallLog in(TLogKind::Incoming);
    in.Open(dir.path(), true);
    EXPECT_THROW(in.AddIncoming(call(1)), ERecReadOnly);
    EXPECT_EQ(in.Refresh(), 0);
}

TEST(CallLogs, TimeStampPattern) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 9;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_isdst = -1;
    EXPECT_EQ(FormatLogTime(std::mktime(&t)), "12/09/2026 01:05 PM");
}

} // namespace
} // namespace quillon::records
