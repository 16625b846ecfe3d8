// quillon-logs: reads the server's logs on a machine without a display.
//   quillon-logs list FILE.qdb   header row, then one tab-separated row per record
//   quillon-logs check FILE.qdb  validates the container, the index, every record
// The log is recognised by the field descriptions in the file. The file is opened
// read-only (changes a running server has journalled are shown, nothing is written).
// Exit 0 on success, 1 with the error text on a malformed or mismatched file, 2 on usage.

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "records/call_logs.h"

using namespace quillon::records;

namespace {

// The log whose panel descriptions the file carries.
std::optional<TLogKind> detectKind(const std::string &path) {
    TRecordFile probe;
    probe.SetReadOnly(true);
    probe.SetFileName(path);
    for (TLogKind kind : {TLogKind::Incoming, TLogKind::Outgoing, TLogKind::SendQueue}) {
        TCallLog log(kind);
        const TRecordView &view = log.View();
        bool all = probe.AdminExists(TRecordView::DescriptionKey(0));
        for (size_t i = 0; all && i < view.Fields().size(); ++i) {
            std::string key = TRecordView::DescriptionKey(i);
            all = probe.AdminExists(key) && probe.ReadAdminString(key) == view.FieldDescription(i);
        }
        if (all) {
            return kind;
        }
    }
    return std::nullopt;
}

int run(const std::string &command, const std::string &path) {
    std::error_code ec;
    std::filesystem::file_status st = std::filesystem::status(path, ec);
    std::string full = std::filesystem::absolute(path).string();
    if (!std::filesystem::exists(st)) {
        std::cerr << FileErrorMessage(-2, full) << "\n";
        return 1;
    }
    if (!std::filesystem::is_regular_file(st)) {
        // Said here, before the store appends its extension to a name without one.
        const char *what =
            std::filesystem::is_directory(st) ? "a folder"
            : std::filesystem::is_fifo(st)    ? "a FIFO"
            : std::filesystem::is_character_file(st) || std::filesystem::is_block_file(st)
                ? "a device"
                : "a special file";
        std::cerr << FormatMessage(kMsgNotAFile, full) << " but " << what << "\n";
        return 1;
    }
    std::optional<TLogKind> kind = detectKind(path);
    if (!kind) {
        std::cerr << kMsgPanelMismatch << "\n";
        return 1;
    }
    TCallLog log(*kind);
    log.OpenFile(path, true);
    if (command == "check") {
        // Every record must read back and split into the panel's fields.
        TRecordView &view = log.View();
        Bytes item;
        for (int i = 0; i < view.Count(); ++i) {
            view.GoTo(i);
            view.Get(item);
        }
        if (!view.IndexDamage().empty()) {
            std::cerr << view.IndexDamage() << "\n";
            return 1;
        }
        int listed = log.Refresh();
        if (listed != view.Count()) {
            std::cerr << FormatMessage(kMsgNotValid, view.FileName()) << "\n";
            return 1;
        }
        std::cout << view.FileName() << ": " << log.Caption() << ", " << view.Count()
                  << " records, OK\n";
        return 0;
    }
    int listed = log.Refresh();
    const TStringGridModel &grid = log.Grid();
    for (int row = 0; row <= listed; ++row) {
        for (int col = 0; col < grid.ColCount(); ++col) {
            std::cout << (col ? "\t" : "") << grid.Cell(col, row);
        }
        std::cout << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::string(argv[1]) != "list" && std::string(argv[1]) != "check")) {
        std::cerr << "usage: quillon-logs list|check FILE.qdb\n";
        return 2;
    }
    try {
        return run(argv[1], argv[2]);
    } catch (const std::exception &e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
