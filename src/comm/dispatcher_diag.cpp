// The comm dispatcher's trace and dispatch-log operations (the recorders are in
// trace_log.cpp).

#include "comm/dispatcher_p.h"

namespace quillon::comm {

// ---- trace and log ----

int TBaseDispatcher::StartTrace(uint32_t entries) {
    std::lock_guard st(stateLock_);
    int rc = trace_.Start(entries);
    traceOn_ = trace_.On();
    return rc;
}

void TBaseDispatcher::StopTrace() {
    std::lock_guard st(stateLock_);
    trace_.Stop();
    traceOn_ = false;
}

void TBaseDispatcher::ClearTrace() {
    std::lock_guard st(stateLock_);
    trace_.Clear();
}

void TBaseDispatcher::PauseTrace() {
    std::lock_guard st(stateLock_);
    trace_.Pause();
    traceOn_ = false;
}

void TBaseDispatcher::ResumeTrace() {
    std::lock_guard st(stateLock_);
    trace_.Resume();
    traceOn_ = trace_.On();
}

int TBaseDispatcher::WriteTrace(const std::string &file, bool append, bool hex) {
    std::lock_guard st(stateLock_);
    traceOn_ = false;
    return trace_.Write(file, append, hex);
}

bool TBaseDispatcher::TraceOn() {
    std::lock_guard st(stateLock_);
    return trace_.On();
}

uint32_t TBaseDispatcher::TraceCapacity() {
    std::lock_guard st(stateLock_);
    return trace_.Capacity();
}

std::string TBaseDispatcher::TraceText(bool hex) {
    std::lock_guard st(stateLock_);
    return trace_.Render(hex);
}

int TBaseDispatcher::StartLog(uint32_t bytes) {
    std::lock_guard st(stateLock_);
    int rc = log_.Start(bytes);
    logOn_ = log_.On();
    return rc;
}

void TBaseDispatcher::StopLog() {
    std::lock_guard st(stateLock_);
    log_.Stop();
    logOn_ = false;
}

void TBaseDispatcher::ClearLog() {
    std::lock_guard st(stateLock_);
    log_.Clear();
}

void TBaseDispatcher::PauseLog() {
    std::lock_guard st(stateLock_);
    log_.Pause();
    logOn_ = false;
}

void TBaseDispatcher::ResumeLog() {
    std::lock_guard st(stateLock_);
    log_.Resume();
    logOn_ = log_.On();
}

int TBaseDispatcher::WriteLog(const std::string &file, bool append, bool hex) {
    std::lock_guard st(stateLock_);
    logOn_ = false;
    return log_.Write(file, append, hex);
}

bool TBaseDispatcher::LogOn() {
    std::lock_guard st(stateLock_);
    return log_.On();
}

std::vector<TLogRing::Entry> TBaseDispatcher::LogEntries() {
    std::lock_guard st(stateLock_);
    return log_.Entries();
}

} // namespace quillon::comm
