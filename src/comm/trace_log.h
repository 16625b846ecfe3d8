#pragma once

// The comm dispatcher's two diagnostic recorders: the byte trace (every byte the application
// read from or wrote to the line, written as "FAXCOMM.TRC") and the dispatch log (time-stamped
// entries for device reads and writes, trigger and handler changes and the fax engine's
// states, written as "FAXCOMM.LOG").
//
// Both are plain objects owned by one dispatcher, which guards them with its state lock; they
// do no locking of their own. File writers return 0 or the negated errno of the failure and
// free the ring in every case.

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::comm {

inline constexpr uint32_t kMaxTraceEntries = 4000000;
inline constexpr uint32_t kMaxLogBytes = 16000000;

// Dispatch-log entry types (the name is error-string 15001 + type).
enum TLogType : uint8_t {
    ltNoEvent = 0,
    ltDispatch = 1,
    ltTrigger = 2,
    ltError = 3,
    ltThread = 4,
    ltTrigAllc = 5,
    ltTrigDisp = 6,
    ltTrgHdAlc = 7,
    ltTrgHdDsp = 8,
    ltTrDatChg = 9,
    ltTelnet = 10,
    ltFax = 11,
};

// Subtypes (the name is error-string 15100 + subtype; none for 0).
enum TLogSubType : uint8_t {
    lsNone = 0,
    lsReadCom = 1,
    lsWriteCom = 2,
    lsLineStatus = 3,
    lsModemStatus = 4,
    lsAvail = 5,
    lsTimer = 6,
    lsData = 7,
    lsStatus = 8,
    lsAllocTimer = 14,
    lsAllocStatus = 15,
    lsChangeAvail = 16,
    lsWindow = 17,
    lsProcedure = 18,
    // The fax receiver's states: state s is subtype 79 + s, so the SubType column shows its
    // name ("rfNone" is 15179).
    lsFaxReceiveStates = 79,
};

// The trace: a ring of (kind, byte) pairs, kind 'R' for a byte read and 'T' for a byte
// written by the application.
class TTraceRing {
  public:
    // More than kMaxTraceEntries -> -1002. An existing ring is only cleared.
    int Start(uint32_t entries);
    void Stop();
    void Clear();
    void Pause() { on_ = false; }
    void Resume() { on_ = !ring_.empty(); }
    [[nodiscard]] bool On() const { return on_; }
    [[nodiscard]] bool Exists() const { return !ring_.empty(); }
    [[nodiscard]] uint32_t Capacity() const { return capacity_; }
    void Add(char kind, uint8_t byte) {
        ring_[2 * next_] = static_cast<uint8_t>(kind);
        ring_[2 * next_ + 1] = byte;
        if (++next_ == capacity_) {
            next_ = 0;
            wrapped_ = true;
        }
    }
    // Writes the trace (oldest entry first) to `file`, appended when `append` is set and
    // the file exists; `hex` writes unprintable bytes as [0D], else as [13]. Tracing stops
    // and the ring is freed.
    int Write(const std::string &file, bool append, bool hex);
    // The text the file would get (for Write and the tests).
    [[nodiscard]] std::string Render(bool hex) const;

  private:
    std::vector<uint8_t> ring_;
    uint32_t capacity_ = 0;
    uint32_t next_ = 0;
    bool wrapped_ = false;
    bool on_ = false;
};

// The dispatch log: a byte ring of entries, each a 16-byte header (type, subtype, two
// reserved bytes, time in ms since the device opened, other-data, data length) and its data.
class TLogRing {
  public:
    int Start(uint32_t bytes);
    void Stop();
    void Clear();
    void Pause() { on_ = false; }
    void Resume() { on_ = !ring_.empty(); }
    [[nodiscard]] bool On() const { return on_; }
    [[nodiscard]] bool Exists() const { return !ring_.empty(); }
    [[nodiscard]] uint32_t Size() const { return static_cast<uint32_t>(ring_.size()); }
    // Drops the oldest entries, whole, until the new one fits; an entry larger than the
    // ring is dropped.
    void Add(uint8_t type, uint8_t subtype, uint32_t timeMs, uint32_t otherData, const void *data,
             uint32_t length);
    int Write(const std::string &file, bool append, bool hex);
    [[nodiscard]] std::string Render(bool hex) const;

    struct Entry {
        uint8_t type = 0;
        uint8_t subtype = 0;
        uint32_t time = 0;
        uint32_t otherData = 0;
        std::vector<uint8_t> data;
    };
    [[nodiscard]] std::vector<Entry> Entries() const;

  private:
    void copyIn(uint32_t pos, const uint8_t *src, uint32_t n);
    void copyOut(uint32_t pos, uint8_t *dst, uint32_t n) const;
    std::vector<uint8_t> ring_;
    uint32_t head_ = 0; // next byte to fill
    uint32_t tail_ = 0; // oldest entry
    uint32_t free_ = 0;
    bool on_ = false;
};

// "0012.345" for 12345 ms: at least seven digits, a point before the last three.
std::string FormatLogTime(uint32_t ms);

} // namespace quillon::comm
