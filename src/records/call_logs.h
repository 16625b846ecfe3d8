#pragma once

// The three logs of the server: incoming calls ("vIn.qdb"), mailed faxes ("vOut.qdb") and
// the send queue ("sque.qdb"). Each TCallLog is the core of one log window: its record
// view on a hidden panel of edit and check-box controls, the key handler (the file-name
// control's text), the grid listing, Remove with its question, and the adding procedure
// the server controller uses. The Qt windows bind to it; it runs on the user-interface
// thread and its record-file errors (ERecError family) propagate to the caller.

#include <ctime>
#include <memory>
#include <string>

#include "records/field_controls.h"
#include "records/grid_model.h"
#include "records/record_view.h"

namespace quillon::records {

enum class TLogKind { Incoming, Outgoing, SendQueue };

// One incoming-call record: what the server writes after a reception.
struct TIncomingCall {
    std::string dateTime; // "mm/dd/yyyy hh:mm AM/PM"
    bool error = false;
    std::string errorMessage;
    std::string faxFilename; // "faxes\" and the generated name, as the receiver gives it
    bool isFax = true;
};

// One sent-mail record.
struct TSentMail {
    std::string dateTime;
    std::string errorMessage;
    bool isError = false;
    std::string status = "S";
    std::string dateTimeSent;
    std::string filename;
};

// One send-queue record.
struct TQueuedFax {
    std::string filename;
    std::string status = "Q";
    std::string addedDate;
};

// Local time in the records' pattern "mm/dd/yyyy hh:mm AM/PM".
std::string FormatLogTime(std::time_t when);

class TCallLog {
  public:
    explicit TCallLog(TLogKind kind);
    TCallLog(const TCallLog &) = delete;
    TCallLog &operator=(const TCallLog &) = delete;

    [[nodiscard]] TLogKind Kind() const { return kind_; }
    [[nodiscard]] const char *Caption() const;
    [[nodiscard]] static const char *DefaultFileName(TLogKind kind);

    // The creation handler: assigns the log's file (made absolute against the working
    // directory, or inside `folder` when given). Read-only opens for inspection tools.
    void Open(const std::string &folder = {}, bool readOnly = false);
    void OpenFile(const std::string &path, bool readOnly);
    void Close() { view_.SetFileName({}); }

    [[nodiscard]] TRecordView &View() { return view_; }
    [[nodiscard]] TPanel &Panel() { return panel_; }
    [[nodiscard]] TStringGridModel &Grid() { return grid_; }
    // The column of the grid that names the fax file of a row.
    [[nodiscard]] int FileNameColumn() const;
    [[nodiscard]] TEdit *EditControl(const std::string &name);
    [[nodiscard]] TCheckBox *CheckControl(const std::string &name);

    // FormShow: clears every cell, writes the headers, lists all records. Returns the
    // number of records listed.
    int Refresh();
    // True when records were added since the last Refresh.
    [[nodiscard]] bool GridStale() const { return stale_; }
    // The Remove button for the selected row (Grid().Row).
    void Remove();
    // The file name of a listed row (what View and Print open).
    [[nodiscard]] std::string RowFileName(int row) const;

    // The adding procedure: Insert, set the controls, Post, and for the incoming log and
    // the queue FlushIndex. Durable when it returns. Raises ERecReadOnly on a read-only
    // file rather than dropping the record.
    void AddIncoming(const TIncomingCall &call);
    void AddSentMail(const TSentMail &mail);
    void AddQueued(const TQueuedFax &fax);

  private:
    void buildPanel();
    void putRow(int row);
    void beginAdd();
    void endAdd(bool flush);

    TLogKind kind_;
    TPanel panel_;
    TRecordView view_;
    TStringGridModel grid_;
    bool stop_ = false;
    bool stale_ = true;
};

} // namespace quillon::records
