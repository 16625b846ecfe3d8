#include "server/dialup_session.h"

#include <strings.h>

#include <functional>

#include "platform/settings_store.h"

namespace quillon::server {

namespace {

using platform::ProcessOutcome;
using platform::ProcessRequest;
using platform::ProcessResult;
using platform::RegType;
using platform::SettingsStore;

bool sameName(const std::string &a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string entryKey(const std::string &entry) {
    return std::string(kPhonebookKey) + "\\" + entry;
}

std::string stringValue(const SettingsStore &store, const std::string &key, const char *name) {
    auto v = store.GetValue(key, name);
    return v && v->type == RegType::String ? v->text : std::string();
}

} // namespace

std::string DialErrorText(int32_t error) {
    switch (error) {
    case 0:
        return {};
    case kDialErrValueTooLong:
        return "A dial-up value is longer than its field (256 characters).";
    case kDialErrEntryNotFound:
        return "The phonebook entry was not found.";
    case kDialErrCancelled:
        return "The dial was cancelled.";
    case kDialErrTimedOut:
        return "The dial command did not finish within its time-out.";
    case kDialErrCommandFailed:
        return "The dial command reported a failure.";
    case kDialErrCannotStart:
        return "The dial command could not be started.";
    case kDialErrNoDialCommand:
        return "The phonebook entry has no Dial command.";
    default:
        return "Dial-up error " + std::to_string(error) + ".";
    }
}

struct TDialupSession::EntryCommands {
    std::string name; // as the phonebook spells it
    std::string dial;
    std::string hangUp;
    std::string check;
    std::chrono::milliseconds timeout{0};
};

struct TDialupSession::Worker {
    std::thread thread;
    std::atomic<bool> done{false};
    std::shared_ptr<platform::CancelFlag> cancel;
};

TDialupSession::TDialupSession() = default;

TDialupSession::~TDialupSession() {
    // A dial still running is given up; a hang-up is let finish, so the line is not left up.
    if (dialCancel_) {
        dialCancel_->raise();
    }
    for (auto &w : workers_) {
        if (w->thread.joinable()) {
            w->thread.join();
        }
    }
}

std::vector<std::string> TDialupSession::EntryNames() const {
    std::vector<std::string> names{std::string(kDirectConnection)};
    for (const std::string &sub : SettingsStore::User().SubKeys(kPhonebookKey)) {
        if (!sameName(sub, kDirectConnection)) {
            names.push_back(sub);
        }
    }
    return names;
}

bool TDialupSession::readEntry(const std::string &entry, EntryCommands &out) const {
    SettingsStore store = SettingsStore::User();
    for (const std::string &sub : store.SubKeys(kPhonebookKey)) {
        if (!sameName(sub, entry)) {
            continue;
        }
        std::string key = entryKey(sub);
        out.name = sub;
        out.dial = stringValue(store, key, "Dial");
        out.hangUp = stringValue(store, key, "HangUp");
        out.check = stringValue(store, key, "Check");
        auto t = store.GetValue(key, "Timeout");
        out.timeout = t && t->type == RegType::Dword && t->dword > 0
                          ? std::chrono::milliseconds(std::chrono::seconds(t->dword))
                          : DialTimeout;
        return true;
    }
    return false;
}

ConnectionHandle TDialupSession::FindOpenConnection(const std::string &entry) const {
    if (sameName(entry, kDirectConnection)) {
        return 1;
    }
    std::vector<std::string> names = EntryNames();
    ConnectionHandle handle = 0;
    for (size_t i = 1; i < names.size(); ++i) {
        if (sameName(entry, names[i])) {
            handle = i + 1;
            break;
        }
    }
    if (handle == 0) {
        return 0;
    }
    EntryCommands cmds;
    if (!readEntry(entry, cmds)) {
        return 0;
    }
    if (!cmds.check.empty()) {
        ProcessRequest rq;
        rq.commandLine = cmds.check;
        rq.environment = {{kEnvEntry, cmds.name}};
        rq.timeout = kCheckTimeout;
        return platform::RunProcess(rq).succeeded() ? handle : 0;
    }
    // Without a Check command, a connection is open while this session holds it.
    return handle_ == handle && sameName(handleEntry_, entry) ? handle : 0;
}

void TDialupSession::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done.load()) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<platform::CancelFlag>
TDialupSession::startWorker(std::function<void(int cancelFd)> job) {
    reapFinished();
    auto w = std::make_unique<Worker>();
    w->cancel = std::make_shared<platform::CancelFlag>();
    Worker *raw = w.get();
    // The thread keeps its own reference, so the descriptor outlives its use there.
    w->thread = std::thread([raw, job = std::move(job), cancel = w->cancel] {
        job(cancel->fd());
        raw->done.store(true);
    });
    std::shared_ptr<platform::CancelFlag> flag = w->cancel;
    workers_.push_back(std::move(w));
    return flag;
}

TDialupSession::DialStart TDialupSession::DialConnection(const std::string &entry,
                                                         const std::string &user,
                                                         const std::string &password,
                                                         const platform::TargetHandle &notify) {
    lastErrorText_.clear();
    auto refuse = [&](int32_t error) {
        lastErrorText_ = DialErrorText(error);
        notify.post(WM_RASNOTIFY, RASCS_Disconnected, error);
        return DialStart::Refused;
    };
    // Values that do not fit the dial parameters are refused rather than cut: a cut
    // password would fail later with a far less helpful error.
    if (entry.size() > kEntryNameMax || user.size() > kUserNameMax ||
        password.size() > kPasswordMax) {
        return refuse(kDialErrValueTooLong);
    }
    handle_ = FindOpenConnection(entry);
    if (handle_ != 0) {
        handleEntry_ = entry;
        return DialStart::AlreadyOpen;
    }
    EntryCommands cmds;
    if (!readEntry(entry, cmds)) {
        return refuse(kDialErrEntryNotFound);
    }
    if (cmds.dial.empty()) {
        return refuse(kDialErrNoDialCommand);
    }
    std::vector<std::string> names = EntryNames();
    for (size_t i = 1; i < names.size(); ++i) {
        if (sameName(entry, names[i])) {
            handle_ = i + 1;
        }
    }
    handleEntry_ = cmds.name;
    ProcessRequest rq;
    rq.commandLine = cmds.dial;
    rq.environment = {{kEnvEntry, cmds.name}, {kEnvUser, user}, {kEnvPassword, password}};
    rq.timeout = cmds.timeout;
    dialCancel_ = startWorker([rq, notify](int cancelFd) mutable {
        rq.cancelFd = cancelFd;
        ProcessResult r = platform::RunProcess(rq);
        int32_t error = 0;
        switch (r.outcome) {
        case ProcessOutcome::Exited:
            error = r.exitCode == 0 ? 0 : kDialErrCommandFailed;
            break;
        case ProcessOutcome::Signalled:
            error = kDialErrCommandFailed;
            break;
        case ProcessOutcome::TimedOut:
            error = kDialErrTimedOut;
            break;
        case ProcessOutcome::Cancelled:
            error = kDialErrCancelled;
            break;
        case ProcessOutcome::StartFailed:
            error = kDialErrCannotStart;
            break;
        }
        notify.post(WM_RASNOTIFY, error == 0 ? RASCS_Connected : RASCS_Disconnected, error);
    });
    return DialStart::Dialing;
}

void TDialupSession::HangUp() {
    if (handle_ == 0) {
        return;
    }
    if (dialCancel_) {
        dialCancel_->raise();
        dialCancel_.reset();
    }
    EntryCommands cmds;
    bool haveEntry = !sameName(handleEntry_, kDirectConnection) && readEntry(handleEntry_, cmds);
    handle_ = 0;
    if (!haveEntry || cmds.hangUp.empty()) {
        return;
    }
    ProcessRequest rq;
    rq.commandLine = cmds.hangUp;
    rq.environment = {{kEnvEntry, cmds.name}};
    rq.timeout = kHangUpTimeout;
    // A hang-up is never cancelled: the session's destructor lets it finish.
    (void)startWorker([rq](int) { (void)platform::RunProcess(rq); });
}

} // namespace quillon::server
