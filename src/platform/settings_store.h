#pragma once

// The per-user settings store: a registry-like tree of keys holding typed values (REG_SZ,
// REG_DWORD, REG_BINARY), kept in one text file in the registry export format:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Brakmo\TelvSrvr\Config]
//   "rgSMTP"="mail.example.com"
//   "rgToEmail"=dword:00000001
//
// Key paths are full ("HKEY_CURRENT_USER\Software\..."), compared without regard to case,
// as are value names. Every operation reads the file afresh; writes take an exclusive lock,
// then replace the file atomically (temporary file, fsync, rename, fsync of the folder) with
// mode 0600. Lines that cannot be parsed are kept verbatim and written back, with a note on
// stderr, so a hand-edited file never loses what this reader does not understand.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

enum class RegType : uint32_t { String = 1, Binary = 3, Dword = 4 };

struct RegValue {
    RegType type = RegType::String;
    std::string text;           // String
    uint32_t dword = 0;         // Dword
    std::vector<uint8_t> bytes; // Binary

    static RegValue String(std::string s) { return {RegType::String, std::move(s), 0, {}}; }
    static RegValue Dword(uint32_t v) { return {RegType::Dword, {}, v, {}}; }
    static RegValue Binary(std::vector<uint8_t> b) {
        return {RegType::Binary, {}, 0, std::move(b)};
    }
    bool operator==(const RegValue &) const = default;
};

class SettingsStore {
  public:
    explicit SettingsStore(std::filesystem::path file);

    // The current user's store: $QUILLON_CONFIG_DIR/user.reg when that variable is set,
    // else $XDG_CONFIG_HOME/quillon/user.reg (default ~/.config/quillon/user.reg). The path
    // is looked up on every call, so tests may change the variable between calls.
    static SettingsStore User();
    static std::filesystem::path UserStorePath();

    [[nodiscard]] const std::filesystem::path &Path() const { return file_; }

    // Parses store text and formats it as a write would store it (unparsable lines kept).
    static std::string Canonical(const std::string &text);
    // The 1-based numbers of the lines of store text that the reader cannot read (they are
    // kept verbatim by writes); empty when every line is understood.
    static std::vector<size_t> UnreadableLines(const std::string &text);

    [[nodiscard]] bool KeyExists(std::string_view key) const;
    [[nodiscard]] std::optional<RegValue> GetValue(std::string_view key,
                                                   std::string_view name) const;
    [[nodiscard]] std::vector<std::string> ValueNames(std::string_view key) const;
    [[nodiscard]] std::vector<std::string> SubKeys(std::string_view key) const;

    // Each returns false when the store could not be written (the reason goes to stderr).
    bool CreateKey(std::string_view key);
    bool SetValue(std::string_view key, std::string_view name, const RegValue &value);
    bool DeleteValue(std::string_view key, std::string_view name);
    bool DeleteKey(std::string_view key);

  private:
    std::filesystem::path file_;
};

} // namespace quillon::platform
