// The record view over core field controls: field list building, the field descriptions
// stored in the file, item layout, Post in insert and edit mode, and panel mismatches.

#include <gtest/gtest.h>

#include "records/record_view.h"
#include "test_util.h"

namespace quillon::records {
namespace {

using test::TempDir;

struct Form {
    TPanel panel{"PTest"};
    TEdit &name = panel.Add<TEdit>("edtName");
    TCheckBox &flag = panel.Add<TCheckBox>("cbFlag");
    TRecordView view;
    Form() {
        view.OnKey = [this](TRecordItem &, std::string &key) { key = name.Text; };
        view.SetPanel(&panel);
    }
};

TEST(RecordView, FieldsFollowTheWalkOrderAndSkipExcludedControls) {
    TPanel panel("P");
    panel.Add<TEdit>("edtA");
    auto &skipped = panel.Add<TEdit>("edtSkip");
    skipped.Tag = -999;
    auto &pages = panel.Add<TPageControl>("pc");
    pages.AddPage("p1").Add<TRadioGroup>("rg");
    pages.AddPage("p2").Add<TRichEdit>("re");
    pages.MovePage(1, 0);     // page order, not creation order
    panel.Add<TImage>("img"); // graphic control: listed before the windowed ones
    panel.Add<TListBox>("lb");
    panel.Add<TComboBox>("cmb");
    panel.Add<TMemo>("memo");
    panel.Add<TLabel>("lbl"); // not a field class
    TRecordView view;
    view.SetPanel(&panel);
    std::vector<std::pair<std::string, int>> got;
    for (const auto &f : view.Fields()) {
        got.emplace_back(f.name, f.kind);
    }
    std::vector<std::pair<std::string, int>> want = {{"img", 9}, {"edtA", 6}, {"re", 8},  {"rg", 1},
                                                     {"lb", 2},  {"cmb", 6},  {"memo", 6}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(view.FieldDescription(6), std::string("\x06.memo.TMemo"));
}

TEST(RecordView, DescriptionsAndItemBytesAreExact) {
    TempDir dir;
    {
        TPanel panel("PSendQue");
        panel.Add<TEdit>("edtSQFilename");
        auto &status = panel.Add<TEdit>("edtSQStatus");
        TRecordView view;
        view.SetPanel(&panel);
        view.SetFileName(dir.file("d.qdb"));
        ASSERT_TRUE(view.AdminExists("QF.0001"));
        std::vector<uint8_t> desc = view.ReadAdmin("QF.0001");
        std::vector<uint8_t> want = {6,   '.', 'e', 'd', 't', 'S', 'Q', 'S', 't', 'a',
                                     't', 'u', 's', '.', 'T', 'E', 'd', 'i', 't', 0};
        EXPECT_EQ(desc, want);
        view.OnKey = [](TRecordItem &, std::string &key) { key = "k"; };
        view.Insert();
        status.Text = "Q";
        view.Post();
        // Empty text is one zero byte (length 1); "Q" is "Q" and a zero byte.
        std::vector<uint8_t> item;
        view.First();
        view.Get(item);
        EXPECT_EQ(item, (std::vector<uint8_t>{1, 0, 0, 0, 0, 2, 0, 0, 0, 'Q', 0}));
    }
}

TEST(RecordView, ControlsLoadStoreAndClear) {
    TCheckBox box("cb");
    box.LoadField({2, 0, 0, 0});
    EXPECT_EQ(box.State, cbGrayed);
    box.LoadField({1, 0}); // short: cleared
    EXPECT_EQ(box.State, cbUnchecked);
    TListBox list("lb");
    list.Items = {"a", "b", "c"};
    list.Selected = {true, false, true};
    std::vector<uint8_t> bytes = list.StoreField();
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    list.ClearField();
    list.LoadField(bytes);
    EXPECT_EQ(list.Selected, (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(list.MultiSelect);
    list.MultiSelect = false;
    list.LoadField({1, 0, 0, 0, 9, 0, 0, 0}); // stops at an index beyond the items
    EXPECT_EQ(list.Selected, (std::vector<bool>{false, true, false}));
    EXPECT_FALSE(list.MultiSelect); // restored: only one item ended up selected
    TImage image("img");
    image.Picture = {"png", {1, 2}};
    EXPECT_THROW((void)image.StoreField(), ERecError);
    image.Picture = {"bmp", {'B', 'M'}};
    bytes = image.StoreField();
    EXPECT_EQ(bytes, (std::vector<uint8_t>{'b', 'm', 'p', 'B', 'M'}));
    image.ClearField();
    image.LoadField(bytes);
    EXPECT_EQ(image.Picture.data, (std::vector<uint8_t>{'B', 'M'}));
    TRichEdit rich("re");
    rich.Lines = {"one", "", "three"};
    rich.LoadField(rich.StoreField());
    EXPECT_EQ(rich.Lines, (std::vector<std::string>{"one", "", "three"}));
}

TEST(RecordView, PostReplacesExistingKeyAndEditMovesToNewKey) {
    TempDir dir;
    Form form;
    form.view.SetFileName(dir.file("v.qdb"));
    form.view.Insert();
    form.name.Text = "alpha";
    form.flag.SetChecked(true);
    form.view.Post();
    EXPECT_FALSE(form.view.Editable());
    EXPECT_EQ(form.name.Color, clSilver);
    form.view.Insert();
    EXPECT_EQ(form.name.Text, ""); // Insert clears the controls
    EXPECT_EQ(form.name.Color, clWindow);
    form.name.Text = "ALPHA"; // same key, case-insensitively: replaces
    form.view.Post();
    EXPECT_EQ(form.view.Count(), 1);
    form.view.First();
    EXPECT_EQ(form.name.Text, "ALPHA");
    EXPECT_FALSE(form.flag.Checked());

    form.view.Edit();
    form.name.Text = "beta";
    form.view.Post();
    EXPECT_EQ(form.view.Count(), 1);
    EXPECT_TRUE(form.view.FindKey("beta"));
    EXPECT_FALSE(form.view.FindKey("alpha"));

    form.view.Edit();
    form.name.Text = "gamma";
    form.view.Cancel();
    EXPECT_EQ(form.name.Text, "beta");

    form.view.Delete();
    EXPECT_EQ(form.view.Count(), 0);
    EXPECT_EQ(form.name.Text, "");

    TRecordView keyless;
    TPanel p("P");
    p.Add<TEdit>("e");
    keyless.SetPanel(&p);
    keyless.SetFileName(dir.file("nokey.qdb"));
    keyless.Insert();
    try {
        keyless.Post();
        FAIL();
    } catch (const ERecKeyError &e) {
        EXPECT_STREQ(e.what(), "Cannot store data unless an OnKey handler is assigned");
    }
}

TEST(RecordView, FileThatDoesNotMatchThePanel) {
    TempDir dir;
    {
        Form form;
        form.view.SetFileName(dir.file("m.qdb"));
        form.view.Insert();
        form.name.Text = "x";
        form.view.Post();
    }
    // A panel with a different second field cannot open the file that has items.
    TPanel other("P");
    other.Add<TEdit>("edtName");
    other.Add<TEdit>("edtOther");
    TRecordView view;
    view.SetPanel(&other);
    try {
        view.SetFileName(dir.file("m.qdb"));
        FAIL();
    } catch (const ERecViewError &e) {
        EXPECT_STREQ(e.what(), "File doesn't match panel");
    }
    EXPECT_FALSE(view.IsOpen());
    EXPECT_EQ(view.FileName(), "");

    // A shorter panel matching the first fields passes: extra descriptions are not read.
    TPanel shorter("P");
    shorter.Add<TEdit>("edtName");
    TRecordView ok;
    ok.SetPanel(&shorter);
    ok.SetFileName(dir.file("m.qdb"));
    EXPECT_TRUE(ok.IsOpen());
    ok.SetFileName({});

    // Assigning a mismatching panel to an open file drops the panel.
    TRecordView byPanel;
    byPanel.SetFileName(dir.file("m.qdb"));
    EXPECT_THROW(byPanel.SetPanel(&other), ERecViewError);
    EXPECT_EQ(byPanel.Panel(), nullptr);
    byPanel.SetFileName({});

    // An empty file with stale descriptions gets the panel's written.
    {
        TRecordView empty;
        empty.SetFileName(dir.file("stale.qdb"));
        empty.WriteAdminString("QF.0000", "stale");
        empty.SetFileName({});
    }
    TRecordView fresh;
    fresh.SetPanel(&other);
    fresh.SetFileName(dir.file("stale.qdb"));
    EXPECT_EQ(fresh.ReadAdminString("QF.0000"), std::string("\x06.edtName.TEdit"));
    EXPECT_EQ(fresh.ReadAdminString("QF.0001"), std::string("\x06.edtOther.TEdit"));
}

} // namespace
} // namespace quillon::records
