#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using quillon::platform::RegType;
using quillon::platform::RegValue;
using quillon::platform::SettingsStore;

namespace {

constexpr const char *kConfig = "HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config";

class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quillon-settings-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        file_ = dir_ / "user.reg";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void writeFile(const std::string &text) {
        std::ofstream out(file_, std::ios::binary);
        out << text;
    }
    std::string readFile() {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::filesystem::path dir_;
    std::filesystem::path file_;
};

} // namespace

TEST_F(SettingsStoreTest, ValuesRoundTripWithTheirTypes) {
    SettingsStore store(file_);
    EXPECT_FALSE(store.KeyExists(kConfig));
    ASSERT_TRUE(store.SetValue(kConfig, "rgSMTP", RegValue::String("mail \"x\" \\ y")));
    ASSERT_TRUE(store.SetValue(kConfig, "rgToEmail", RegValue::Dword(1)));
    ASSERT_TRUE(store.SetValue(kConfig, "blob", RegValue::Binary({0, 1, 0xfe, 0xff})));
    ASSERT_TRUE(store.SetValue(kConfig, "empty", RegValue::String("")));
    ASSERT_TRUE(store.SetValue(kConfig, "lines", RegValue::String("one\r\ntwo")));

    SettingsStore again(file_);
    EXPECT_EQ(again.GetValue(kConfig, "rgSMTP"), RegValue::String("mail \"x\" \\ y"));
    EXPECT_EQ(again.GetValue(kConfig, "RGTOEMAIL"), RegValue::Dword(1)) << "names ignore case";
    EXPECT_EQ(again.GetValue(kConfig, "blob"), RegValue::Binary({0, 1, 0xfe, 0xff}));
    EXPECT_EQ(again.GetValue(kConfig, "empty"), RegValue::String(""));
    EXPECT_EQ(again.GetValue(kConfig, "lines"), RegValue::String("one\r\ntwo"));
    EXPECT_FALSE(again.GetValue(kConfig, "missing").has_value());
    EXPECT_TRUE(again.KeyExists("hkey_current_user\\software\\brakmo"));
    EXPECT_EQ(again.SubKeys("HKEY_CURRENT_USER\\Software\\Brakmo"),
              std::vector<std::string>{"TelvSrvr"});

    std::string text = readFile();
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config]\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"rgToEmail\"=dword:00000001\n"), std::string::npos);
    EXPECT_NE(text.find("\"blob\"=hex:00,01,fe,ff\n"), std::string::npos);
    EXPECT_NE(text.find("\"rgSMTP\"=\"mail \\\"x\\\" \\\\ y\"\n"), std::string::npos);

    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsStoreTest, HandEditedFileIsReadAsFarAsItIsValidAndNothingIsLost) {
    writeFile("REGEDIT4\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config]\r\n"
              "\"rgSMTP\"=\"smtp.example.com\"\r\n"
              "\"broken\"=dword:xyz\r\n"
              "this line is nonsense\r\n"
              "\"rgModem\"=\"Modem 1\"\r\n"
              "\"wide\"=hex:01,02,\\\r\n"
              "  03,04\r\n"
              "\"unterminated=\"oops\r\n"
              "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
              "\"n\"=hex(7):41,00,00\r\n");
    SettingsStore store(file_);
    EXPECT_EQ(store.GetValue(kConfig, "rgSMTP"), RegValue::String("smtp.example.com"));
    EXPECT_EQ(store.GetValue(kConfig, "rgModem"), RegValue::String("Modem 1"));
    EXPECT_EQ(store.GetValue(kConfig, "wide"), RegValue::Binary({1, 2, 3, 4}));
    EXPECT_FALSE(store.GetValue(kConfig, "broken").has_value());

    ASSERT_TRUE(store.SetValue(kConfig, "rgUserName", RegValue::String("fax")));
    std::string text = readFile();
    // What could not be parsed is written back as it was.
    EXPECT_NE(text.find("\"broken\"=dword:xyz\n"), std::string::npos);
    EXPECT_NE(text.find("this line is nonsense\n"), std::string::npos);
    EXPECT_NE(text.find("\"unterminated=\"oops\n"), std::string::npos);
    EXPECT_NE(text.find("\"n\"=hex(7):41,00,00\n"), std::string::npos);
    EXPECT_EQ(store.GetValue(kConfig, "rgUserName"), RegValue::String("fax"));
    EXPECT_EQ(store.GetValue(kConfig, "rgSMTP"), RegValue::String("smtp.example.com"));
}

// The lines a server refuses to start with are named by their number in the file as the
// user sees it: joined hex continuations count as the lines they span, CR LF ends a line.
TEST(SettingsStoreLines, UnreadableLinesAreNumberedAsInTheFile) {
    const std::string text = "REGEDIT4\r\n"
                             "\r\n"
                             "[HKEY_CURRENT_USER\\Software\\A]\r\n"
                             "\"bin\"=hex:01,02,\\\r\n"
                             "  03,04\r\n"
                             "\"n\"=dwrd:1\r\n"
                             "\"ok\"=\"yes\"\r\n"
                             "stray text\r\n";
    EXPECT_EQ(SettingsStore::UnreadableLines(text), (std::vector<size_t>{6, 8}));
    EXPECT_TRUE(SettingsStore::UnreadableLines("REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n").empty());
    // A value before any key has nowhere to go.
    EXPECT_EQ(SettingsStore::UnreadableLines("REGEDIT4\n\"a\"=\"b\"\n"), std::vector<size_t>{2});
}

TEST_F(SettingsStoreTest, GarbageAndBinaryFilesNeverCrash) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) {
        junk.push_back(static_cast<char>((i * 7919) & 0xFF));
    }
    writeFile(junk + "\n[\n]\n[]\n\"a\"=\n\"\n@=\"x\"\n[k]\n@=\"default\"\n");
    SettingsStore store(file_);
    EXPECT_FALSE(store.GetValue(kConfig, "x").has_value());
    EXPECT_EQ(store.GetValue("k", ""), RegValue::String("default"));
    EXPECT_TRUE(store.SetValue("k", "y", RegValue::Dword(7)));
    EXPECT_EQ(store.GetValue("k", "y"), RegValue::Dword(7));
}

TEST_F(SettingsStoreTest, DeleteAndConcurrentWritersFromTwoProcesses) {
    SettingsStore store(file_);
    ASSERT_TRUE(store.SetValue(kConfig, "a", RegValue::Dword(1)));
    EXPECT_TRUE(store.DeleteValue(kConfig, "A"));
    EXPECT_FALSE(store.GetValue(kConfig, "a").has_value());
    EXPECT_TRUE(store.DeleteKey("HKEY_CURRENT_USER\\Software\\Brakmo"));
    EXPECT_FALSE(store.KeyExists(kConfig));

    // Two processes adding values at once: the lock keeps every value.
    constexpr int kEach = 40;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const char *who = child == 0 ? "child" : "parent";
    for (int i = 0; i < kEach; ++i) {
        SettingsStore(file_).SetValue(kConfig, std::string(who) + std::to_string(i),
                                      RegValue::Dword(static_cast<uint32_t>(i)));
    }
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(SettingsStore(file_).ValueNames(kConfig).size(), 2u * kEach);
}

TEST_F(SettingsStoreTest, UserStoreFollowsTheEnvironment) {
    ::setenv("QUILLON_CONFIG_DIR", dir_.c_str(), 1);
    EXPECT_EQ(SettingsStore::UserStorePath(), dir_ / "user.reg");
    ::unsetenv("QUILLON_CONFIG_DIR");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(SettingsStore::UserStorePath(), std::filesystem::path("/xdg/quillon/user.reg"));
    ::unsetenv("XDG_CONFIG_HOME");
}
