#include "server/registry_variable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/ui_hooks.h"

using namespace quillon::server;
using quillon::platform::RegValue;
using quillon::platform::SettingsStore;

namespace {

constexpr const char *kConfig = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config";

class RegistryVariableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillon-regvar-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("QUILLON_CONFIG_DIR", dir_.c_str(), 1);
        previousHook_ = quillon::platform::SetMessageBoxHook(
            [this](const std::string &text, const std::string &, quillon::platform::MessageKind,
                   quillon::platform::MessageButtons) {
                boxes_.push_back(text);
                return quillon::platform::kIdOk;
            });
    }
    void TearDown() override {
        quillon::platform::SetMessageBoxHook(previousHook_);
        ::unsetenv("QUILLON_CONFIG_DIR");
        std::filesystem::remove_all(dir_);
    }

    // A setting of the server's Config key.
    static std::unique_ptr<TRegistryVariable> setting(const char *name, TVarRegistryTypes type,
                                                      TForm *owner = nullptr) {
        auto v = std::make_unique<TRegistryVariable>(owner, name);
        v->RegCompanyName = "Brakmo";
        v->RegApplicationName = "TelvSrvr";
        v->RegStoreName = "Config";
        v->RegVariableName = name;
        v->RegVariableType = type;
        return v;
    }

    std::filesystem::path dir_;
    std::vector<std::string> boxes_;
    quillon::platform::MessageBoxHook previousHook_;
};

} // namespace

TEST_F(RegistryVariableTest, MissingPathThenSaveCreatesIt) {
    auto smtp = setting("rgSMTP", regString);
    EXPECT_EQ(smtp->KeyPath(), kConfig);
    EXPECT_FALSE(smtp->VariableExists());
    smtp->SetValue(std::string("smtp.example.com"));
    EXPECT_TRUE(smtp->VariableExists());
    EXPECT_EQ(smtp->GetValue(), Variant(std::string("smtp.example.com")));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(RegistryVariableTest, EmptyStringExistsAndReadsBackEmpty) {
    auto user = setting("rgUserName", regString);
    user->SetValue(std::string());
    EXPECT_TRUE(user->VariableExists());
    EXPECT_EQ(user->GetValue(), Variant(std::string()));
}

TEST_F(RegistryVariableTest, BooleanIsADwordAndAnyNonZeroReadsTrue) {
    auto toEmail = setting("rgToEmail", regBool);
    toEmail->SetValue(true);
    EXPECT_EQ(SettingsStore::User().GetValue(kConfig, "rgToEmail"), RegValue::Dword(1));
    toEmail->SetValue(false);
    EXPECT_EQ(SettingsStore::User().GetValue(kConfig, "rgToEmail"), RegValue::Dword(0));
    ASSERT_TRUE(SettingsStore::User().SetValue(kConfig, "rgToEmail", RegValue::Dword(7)));
    EXPECT_EQ(toEmail->GetValue(), Variant(true));
}

TEST_F(RegistryVariableTest, WrongTypeGivesTheReadErrorBoxOrEvent) {
    ASSERT_TRUE(SettingsStore::User().SetValue(kConfig, "rgToEmail", RegValue::String("yes")));
    auto toEmail = setting("rgToEmail", regBool);
    EXPECT_TRUE(toEmail->VariableExists());
    EXPECT_EQ(toEmail->GetValue(), Variant());
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0],
              "Some Error Occurred Retrieving the Data\nfrom the registry.Values are not restored");

    int events = 0;
    toEmail->OnReadError = [&](TRegistryVariable &sender) {
        EXPECT_EQ(&sender, toEmail.get());
        ++events;
    };
    EXPECT_EQ(toEmail->GetValue(), Variant());
    EXPECT_EQ(events, 1);
    EXPECT_EQ(boxes_.size(), 1u) << "the event replaces the box";

    // A binary of the wrong length is a wrong type too.
    ASSERT_TRUE(SettingsStore::User().SetValue(kConfig, "f", RegValue::Binary({1, 2, 3})));
    auto f = setting("f", regFloat);
    EXPECT_EQ(f->GetValue(), Variant());
    EXPECT_EQ(boxes_.size(), 2u);
}

TEST_F(RegistryVariableTest, EveryTypeHasItsBinaryRepresentation) {
    auto cur = setting("cur", regCurrency);
    cur->SetValue(12.5);
    auto raw = SettingsStore::User().GetValue(kConfig, "cur");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->bytes, (std::vector<uint8_t>{0x48, 0xE8, 0x01, 0, 0, 0, 0, 0})); // 125000
    EXPECT_EQ(cur->GetValue(), Variant(Currency{125000}));

    auto date = setting("date", regDate);
    date->SetValue(DateTime{36526.0}); // 1 Jan 2000
    raw = SettingsStore::User().GetValue(kConfig, "date");
    ASSERT_TRUE(raw);
    double d;
    ASSERT_EQ(raw->bytes.size(), 8u);
    std::memcpy(&d, raw->bytes.data(), 8);
    EXPECT_EQ(d, 36526.0);
    EXPECT_EQ(date->GetValue(), Variant(DateTime{36526.0}));

    for (auto type : {regDateTime, regTime}) {
        auto v = setting("t", type);
        v->SetValue(DateTime{0.75});
        EXPECT_EQ(v->GetValue(), Variant(DateTime{0.75}));
    }
    auto fl = setting("fl", regFloat);
    fl->SetValue(std::string("-3.25"));
    EXPECT_EQ(fl->GetValue(), Variant(-3.25));

    auto in = setting("in", regInteger);
    in->SetValue(-5);
    EXPECT_EQ(SettingsStore::User().GetValue(kConfig, "in"), RegValue::Dword(0xFFFFFFFBu));
    EXPECT_EQ(in->GetValue(), Variant(int32_t{-5}));
    in->SetValue(2.5);
    EXPECT_EQ(in->GetValue(), Variant(int32_t{2})) << "rounding half to even";
    in->SetValue(std::string(" 42 "));
    EXPECT_EQ(in->GetValue(), Variant(int32_t{42}));

    auto str = setting("str", regString);
    str->SetValue(true);
    EXPECT_EQ(str->GetValue(), Variant(std::string("True")));
    str->SetValue(int32_t{17});
    EXPECT_EQ(str->GetValue(), Variant(std::string("17")));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(RegistryVariableTest, ConversionFailureGivesTheWriteError) {
    auto in = setting("in", regInteger);
    in->SetValue(std::string("twelve"));
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0],
              "Some Error Occurred Saving the Data\nto the registry.Variable is not Saved");
    EXPECT_FALSE(in->VariableExists()) << "nothing is written on a failed conversion";
    int events = 0;
    in->OnWriteError = [&](TRegistryVariable &) { ++events; };
    in->SetValue(1e12);
    EXPECT_EQ(events, 1);

    // An unwritable store is a write error too.
    ::setenv("QUILLON_CONFIG_DIR", "/proc/quillon-cannot-exist", 1);
    auto s = setting("s", regString);
    s->OnWriteError = [&](TRegistryVariable &) { ++events; };
    s->SetValue(std::string("x"));
    EXPECT_EQ(events, 2);
}

TEST_F(RegistryVariableTest, ClosingTheOwnerRecordsTheLastCreatedNames) {
    TForm form("Form1");
    int keptCalls = 0;
    form.OnClose = [&](TForm &, TCloseAction &action) {
        ++keptCalls;
        EXPECT_EQ(action, TCloseAction::caFree) << "the chain presets free";
    };
    auto first = setting("rgSMTP", regString, &form);
    first->RegStoreName = "First";
    auto second = setting("rgModem", regString, &form);
    second->RegCompanyName = "Acme";
    second->RegApplicationName = "App";
    second->RegStoreName = "Second";
    EXPECT_EQ(form.Close(), TCloseAction::caFree);
    EXPECT_EQ(keptCalls, 1);
    const char *key = "HKEY_CURRENT_USER\\Software\\Ostrand\\RegistryVariable";
    auto store = SettingsStore::User();
    EXPECT_EQ(store.GetValue(key, "RegCompanyNameString"), RegValue::String("Acme"));
    EXPECT_EQ(store.GetValue(key, "RegAppNameString"), RegValue::String("App"));
    EXPECT_EQ(store.GetValue(key, "RegStoreNameString"), RegValue::String("Second"));

    // A variable destroyed before the window closes leaves only the kept handler.
    second.reset();
    ASSERT_TRUE(store.DeleteKey(key));
    form.Close();
    EXPECT_EQ(store.GetValue(key, "RegStoreNameString"), RegValue::String("First"));
    EXPECT_EQ(keptCalls, 2);
}

TEST_F(RegistryVariableTest, ClosingWithActionNoneWritesNothing) {
    TForm form;
    form.OnClose = [](TForm &, TCloseAction &action) { action = TCloseAction::caNone; };
    auto v = setting("rgSMTP", regString, &form);
    EXPECT_EQ(form.Close(), TCloseAction::caNone);
    EXPECT_FALSE(SettingsStore::User().KeyExists("HKEY_CURRENT_USER\\Software\\Ostrand"));
}
