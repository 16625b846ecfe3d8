#include "records/call_logs.h"

#include <cstdio>
#include <filesystem>

#include "platform/ui_hooks.h"

namespace quillon::records {

namespace {

struct ControlSpec {
    const char *name;
    bool check; // a check box, otherwise an edit control
};
struct ColumnSpec {
    const char *header;
    const char *control;
};
struct LogSpec {
    const char *caption;
    const char *file;
    const char *panel;
    const char *keyControl;
    std::vector<ControlSpec> controls;
    std::vector<ColumnSpec> columns;
    int rows;
    std::vector<int> widths;
    int fileColumn;
};

const LogSpec &logLayout(TLogKind kind) {
    static const LogSpec incoming{"Quillon Incoming Calls",
                                  "vIn.qdb",
                                  "PIncoming",
                                  "edtICFaxFilename",
                                  {{"edtICDateTime", false},
                                   {"cbICError", true},
                                   {"edtICErrorMessage", false},
                                   {"edtICFaxFilename", false},
                                   {"cbICIsFax", true}},
                                  {{"Date/Time", "edtICDateTime"},
                                   {"Error?", "cbICError"},
                                   {"Error Message", "edtICErrorMessage"},
                                   {"Fax?", "cbICIsFax"},
                                   {"Fax Filename", "edtICFaxFilename"}},
                                  12,
                                  {139, 33, 146, 37, 172},
                                  4};
    static const LogSpec outgoing{"Quillon Outgoing Calls",
                                  "vOut.qdb",
                                  "POutgoing",
                                  "edtOCFilename",
                                  {{"edtOCDateTime", false},
                                   {"edtOCErrorMessage", false},
                                   {"cbOCIsError", true},
                                   {"edtOCStatus", false},
                                   {"edtOCDateTimeSent", false},
                                   {"edtOCFilename", false}},
                                  {{"Date / Time Logged", "edtOCDateTime"},
                                   {"Status", "edtOCStatus"},
                                   {"Date / Time Sent", "edtOCDateTimeSent"},
                                   {"Filename", "edtOCFilename"},
                                   {"Error?", "cbOCIsError"},
                                   {"Error Message", "edtOCErrorMessage"}},
                                  14,
                                  {128, 33, 138, 113, 39, 138},
                                  3};
    static const LogSpec queue{
        "Quillon Send Que",
        "sque.qdb",
        "PSendQue",
        "edtSQFilename",
        {{"edtSQFilename", false}, {"edtSQStatus", false}, {"edtSQAddedDate", false}},
        {{"Status", "edtSQStatus"},
         {"Date/Time Added", "edtSQAddedDate"},
         {"Filename", "edtSQFilename"}},
        12,
        {53, 169, 191},
        2};
    switch (kind) {
    case TLogKind::Incoming:
        return incoming;
    case TLogKind::Outgoing:
        return outgoing;
    default:
        return queue;
    }
}

} // namespace

std::string FormatLogTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    // AM and PM spelled out here: %p follows the process locale, which a Qt program takes
    // from the environment, and the records' pattern is fixed.
    int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[48];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d %s", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, hour, local.tm_min, local.tm_hour < 12 ? "AM" : "PM");
    return text;
}

TCallLog::TCallLog(TLogKind kind)
    : kind_(kind), panel_(logLayout(kind).panel),
      grid_(static_cast<int>(logLayout(kind).columns.size()), logLayout(kind).rows,
            logLayout(kind).widths) {
    buildPanel();
    // The record views of the three logs: no compression, cache of 64 KiB, written back
    // at close, case-insensitive keys.
    view_.SetCacheSize(65536);
    view_.SetCompression(false);
    view_.SetReadOnly(false);
    view_.SetSaveOnClose(true);
    view_.SetExpandedFileNames(true);
    view_.SetAggressiveUpdate(false);
    view_.SetUseGrepMatch(false);
    view_.AutoEdit = false;
    view_.DateTimeFormatStr = "c";
    view_.ExcludeTag = -999;
    view_.ActiveColor = clWindow;
    view_.InactiveColor = clSilver;
    std::string keyControl = logLayout(kind).keyControl;
    view_.OnKey = [this, keyControl](TRecordItem &, std::string &key) {
        key = EditControl(keyControl)->Text.substr(0, kMaxKeyLength);
    };
    // Missing data ends a listing quietly.
    view_.WarnNoData = [this](TRecordFile &) { stop_ = true; };
    view_.WarnOutOfBounds = [this](TRecordFile &) { stop_ = true; };
    if (kind == TLogKind::Incoming) {
        view_.WarnReadOnly = [this](TRecordFile &) { stop_ = true; };
    }
    view_.SetPanel(&panel_);
}

void TCallLog::buildPanel() {
    int tab = 0;
    for (const auto &c : logLayout(kind_).controls) {
        TControl &control = c.check ? static_cast<TControl &>(panel_.Add<TCheckBox>(c.name))
                                    : static_cast<TControl &>(panel_.Add<TEdit>(c.name));
        control.TabOrder = tab++;
    }
}

const char *TCallLog::Caption() const {
    return logLayout(kind_).caption;
}
const char *TCallLog::DefaultFileName(TLogKind kind) {
    return logLayout(kind).file;
}
int TCallLog::FileNameColumn() const {
    return logLayout(kind_).fileColumn;
}

TEdit *TCallLog::EditControl(const std::string &name) {
    for (TControl *c : panel_.Children()) {
        if (c->Name() == name) {
            return dynamic_cast<TEdit *>(c);
        }
    }
    return nullptr;
}

TCheckBox *TCallLog::CheckControl(const std::string &name) {
    for (TControl *c : panel_.Children()) {
        if (c->Name() == name) {
            return dynamic_cast<TCheckBox *>(c);
        }
    }
    return nullptr;
}

void TCallLog::Open(const std::string &folder, bool readOnly) {
    std::string name = DefaultFileName(kind_);
    OpenFile(folder.empty() ? name : (std::filesystem::path(folder) / name).string(), readOnly);
}

void TCallLog::OpenFile(const std::string &path, bool readOnly) {
    view_.SetReadOnly(readOnly);
    view_.SetFileName(path);
    stale_ = true;
}

void TCallLog::putRow(int row) {
    if (grid_.RowCount() < row + 1) {
        grid_.SetRowCount(row + 1);
    }
    const auto &columns = logLayout(kind_).columns;
    for (size_t col = 0; col < columns.size(); ++col) {
        std::string text;
        if (TCheckBox *box = CheckControl(columns[col].control)) {
            text = box->Checked() ? "Yes" : "No";
        } else if (TEdit *edit = EditControl(columns[col].control)) {
            text = edit->Text;
        }
        grid_.SetCell(static_cast<int>(col), row, std::move(text));
    }
}

int TCallLog::Refresh() {
    grid_.ClearCells();
    const auto &columns = logLayout(kind_).columns;
    for (size_t col = 0; col < columns.size(); ++col) {
        grid_.SetCell(static_cast<int>(col), 0, columns[col].header);
    }
    stale_ = false;
    if (!view_.IsOpen()) {
        return 0;
    }
    stop_ = false;
    int listed = 0;
    view_.First();
    if (!stop_) {
        putRow(1);
        listed = 1;
    }
    for (int j = 2; !stop_ && !view_.Eof(); ++j) {
        view_.Next();
        putRow(j);
        ++listed;
    }
    return listed;
}

std::string TCallLog::RowFileName(int row) const {
    return grid_.Cell(FileNameColumn(), row);
}

void TCallLog::Remove() {
    std::string name = RowFileName(grid_.Row);
    if (view_.IsOpen() && view_.FindKey(name)) {
        int answer = platform::ShowMessageBox("You are about to delete the selected entry " + name +
                                                  ".\rDo you wish to continue deletion?",
                                              "Quillon", platform::MessageKind::Warning,
                                              platform::MessageButtons::YesNo);
        if (answer == platform::kIdYes) {
            view_.Delete();
        }
        Refresh();
        return;
    }
    platform::ShowMessageBox("Could not delete " + name + ".", "Quillon",
                             platform::MessageKind::Information, platform::MessageButtons::Ok);
}

void TCallLog::beginAdd() {
    if (!view_.IsOpen()) {
        throw ERecNoFile(kMsgNoFile);
    }
    if (view_.ReadOnly()) {
        // The incoming log's read-only warning only ends listings; a record the server
        // adds must not vanish without an error.
        throw ERecReadOnly(FormatMessage(kMsgReadOnly, view_.FileName()));
    }
    view_.Insert();
}

void TCallLog::endAdd(bool flush) {
    view_.Post();
    if (flush) {
        view_.FlushIndex();
    }
    stale_ = true;
}

void TCallLog::AddIncoming(const TIncomingCall &call) {
    beginAdd();
    EditControl("edtICDateTime")->Text = call.dateTime;
    CheckControl("cbICError")->SetChecked(call.error);
    EditControl("edtICErrorMessage")->Text = call.errorMessage;
    EditControl("edtICFaxFilename")->Text = call.faxFilename;
    CheckControl("cbICIsFax")->SetChecked(call.isFax);
    endAdd(true);
}

void TCallLog::AddSentMail(const TSentMail &mail) {
    beginAdd();
    EditControl("edtOCDateTime")->Text = mail.dateTime;
    EditControl("edtOCErrorMessage")->Text = mail.errorMessage;
    CheckControl("cbOCIsError")->SetChecked(mail.isError);
    EditControl("edtOCStatus")->Text = mail.status;
    EditControl("edtOCDateTimeSent")->Text = mail.dateTimeSent;
    EditControl("edtOCFilename")->Text = mail.filename;
    endAdd(false);
}

void TCallLog::AddQueued(const TQueuedFax &fax) {
    beginAdd();
    EditControl("edtSQFilename")->Text = fax.filename;
    EditControl("edtSQStatus")->Text = fax.status;
    EditControl("edtSQAddedDate")->Text = fax.addedDate;
    endAdd(true);
}

} // namespace quillon::records
