#pragma once

#include "options.h"

#include <cstdint>
#include <string>

struct fax_state_s;
struct awgn_state_s;

namespace quillon::linesim {

// The calling fax machine: spandsp's T.30 terminal in calling mode sending a TIFF file,
// joined to the line by 8 kHz audio blocks. Besides the T.30 procedure it tracks where the
// call is (which page is on the line and since when) so that the simulator can strike a
// fault at a given moment, and applies the line faults to its own transmitted audio: a
// drop (silence, then the terminal is told the call is gone), no DCN (silence after the
// last MCF) and a noise burst inside a page.
//
// Owned by the simulator's thread; the spandsp callbacks run inside tx()/rx() on the same
// thread.
class CallingFax {
  public:
    explicit CallingFax(const Options &opt);
    ~CallingFax();
    CallingFax(const CallingFax &) = delete;
    CallingFax &operator=(const CallingFax &) = delete;

    // Fills `amp` with the next block of the caller's audio as the line carries it.
    void tx(int16_t *amp, int len);
    // Delivers a block of line audio to the caller.
    void rx(int16_t *amp, int len);

    // The line is gone (the caller hung up, the modem vanished or the far end cleared):
    // the terminal finishes with its own verdict for that moment.
    void lineGone();

    bool finished() const { return finished_; }
    int status() const { return status_; }
    int pagesSent() const;
    std::string statusText() const;

    // The page whose phase C is on the line (1-based; 0 before the first page) and the
    // samples since its phase C began.
    int currentPage() const { return page_; }
    int64_t pageSamples() const { return pageSamples_; }
    bool inPage() const { return inPage_; }
    bool dropped() const { return dropped_; }

  private:
    static void onFrame(void *self, int direction, const uint8_t *msg, int len);
    static void onPhaseE(void *self, int status);

    const Options &opt_;
    fax_state_s *fax_ = nullptr;
    awgn_state_s *noise_ = nullptr;
    bool finished_ = false;
    int status_ = 0;
    int pagesAtEnd_ = 0;
    int page_ = 0;
    int confirmed_ = 0;
    bool inPage_ = false;
    int64_t pageSamples_ = 0;
    uint8_t lastPostPage_ = 0; // last MPS/EOP/EOM sent
    bool muted_ = false;
    bool dropped_ = false;

    friend struct CallerCallbacks;
};

// spandsp's text for a T.30 completion code.
std::string completionText(int status);

} // namespace quillon::linesim
