#include "caller.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <tiffio.h>
#include <spandsp.h>
}

namespace quillon::linesim {

struct CallerCallbacks {
    static void frame(t30_state_t *, void *user, int direction, const uint8_t msg[], int len) {
        CallingFax::onFrame(user, direction, msg, len);
    }
    static void phaseE(t30_state_t *, void *user, int status) { CallingFax::onPhaseE(user, status); }
};

std::string completionText(int status) {
    const char *t = t30_completion_code_to_str(status);
    return t ? t : "unknown";
}

CallingFax::CallingFax(const Options &opt) : opt_(opt) {
    fax_ = fax_init(nullptr, TRUE);
    fax_set_transmit_on_idle(fax_, TRUE);
    t30_state_t *t30 = fax_get_t30_state(fax_);
    t30_set_tx_file(t30, opt.file.c_str(), -1, -1);
    t30_set_tx_ident(t30, opt.stationId.c_str());
    int modems = (opt.v27ter ? T30_SUPPORT_V27TER : 0) | (opt.v29 ? T30_SUPPORT_V29 : 0) |
                 (opt.v17 ? T30_SUPPORT_V17 : 0);
    t30_set_supported_modems(t30, modems);
    t30_set_ecm_capability(t30, FALSE);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION);
    t30_set_real_time_frame_handler(t30, CallerCallbacks::frame, this);
    t30_set_phase_e_handler(t30, CallerCallbacks::phaseE, this);
    if (opt.spandspLog) {
        int level = SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW;
        span_log_set_level(fax_get_logging_state(fax_), level);
        span_log_set_tag(fax_get_logging_state(fax_), "caller");
        span_log_set_level(t30_get_logging_state(t30), level);
        span_log_set_tag(t30_get_logging_state(t30), "caller");
    }
    if (opt.noise) {
        noise_ = awgn_init_dbm0(nullptr, 1234567, static_cast<float>(opt.noise->levelDbm0));
    }
}

CallingFax::~CallingFax() {
    if (noise_) {
        awgn_free(noise_);
    }
    if (fax_) {
        fax_free(fax_);
    }
}

void CallingFax::tx(int16_t *amp, int len) {
    int n = fax_tx(fax_, amp, len);
    if (n < len) {
        std::memset(amp + n, 0, sizeof(int16_t) * static_cast<size_t>(len - n));
    }
    if (inPage_) {
        pageSamples_ += len;
    }
    if (muted_) {
        std::memset(amp, 0, sizeof(int16_t) * static_cast<size_t>(len));
        return;
    }
    if (opt_.dropInPage && inPage_ && page_ == opt_.dropInPage->page &&
        pageSamples_ >= int64_t(opt_.dropInPage->ms) * 8) {
        if (opt_.verbose) {
            std::fprintf(stderr, "linesim: caller drops the line %d ms into page %d\n",
                         opt_.dropInPage->ms, page_);
        }
        std::memset(amp, 0, sizeof(int16_t) * static_cast<size_t>(len));
        lineGone();
        return;
    }
    if (noise_ && inPage_ && page_ == opt_.noise->page) {
        int64_t from = int64_t(opt_.noise->ms) * 8;
        int64_t to = from + int64_t(opt_.noise->lengthMs) * 8;
        int64_t first = pageSamples_ - len;
        for (int i = 0; i < len; ++i) {
            int64_t at = first + i;
            if (at >= from && at < to) {
                int v = amp[i] + awgn(noise_);
                amp[i] = static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
            }
        }
    }
}

void CallingFax::rx(int16_t *amp, int len) {
    if (dropped_) {
        return;
    }
    fax_rx(fax_, amp, len);
}

void CallingFax::lineGone() {
    muted_ = true;
    if (dropped_) {
        return;
    }
    dropped_ = true;
    inPage_ = false;
    if (!finished_) {
        t30_terminate(fax_get_t30_state(fax_));
    }
}

int CallingFax::pagesSent() const {
    if (finished_) {
        return pagesAtEnd_;
    }
    t30_stats_t st;
    t30_get_transfer_statistics(fax_get_t30_state(fax_), &st);
    return st.pages_tx;
}

std::string CallingFax::statusText() const { return completionText(status_); }

void CallingFax::onFrame(void *self, int direction, const uint8_t *msg, int len) {
    auto *c = static_cast<CallingFax *>(self);
    if (len < 3) {
        return;
    }
    const uint8_t fcf = msg[2] & 0xFE;
    if (c->opt_.verbose) {
        std::fprintf(stderr, "linesim: caller %s %s\n", direction ? "<-" : "->",
                     t30_frametype(msg[2]));
    }
    if (!direction) {
        // Outgoing frames.
        if (fcf == T30_MPS || fcf == T30_EOP || fcf == T30_EOM) {
            c->lastPostPage_ = fcf;
            c->inPage_ = false;
        } else if (fcf == T30_DCS) {
            c->inPage_ = false; // a new phase B: the CFR that follows starts the page
        }
        return;
    }
    // Incoming frames. T.30 5.3: phase C begins after CFR, and after MCF/RTP to MPS.
    if (fcf == T30_CFR) {
        c->page_ = c->confirmed_ + 1;
        c->inPage_ = true;
        c->pageSamples_ = 0;
    } else if (fcf == T30_MCF || fcf == T30_RTP || fcf == T30_PIP) {
        if (c->lastPostPage_ == T30_MPS || c->lastPostPage_ == T30_EOP ||
            c->lastPostPage_ == T30_EOM) {
            ++c->confirmed_;
        }
        if (c->lastPostPage_ == T30_MPS) {
            c->page_ = c->confirmed_ + 1;
            c->inPage_ = true;
            c->pageSamples_ = 0;
        } else if (c->lastPostPage_ == T30_EOP && c->opt_.noDcn) {
            if (c->opt_.verbose) {
                std::fprintf(stderr, "linesim: caller leaves without DCN\n");
            }
            c->muted_ = true;
        }
        c->lastPostPage_ = 0;
    }
}

void CallingFax::onPhaseE(void *self, int status) {
    auto *c = static_cast<CallingFax *>(self);
    if (c->finished_) {
        return;
    }
    t30_stats_t st;
    t30_get_transfer_statistics(fax_get_t30_state(c->fax_), &st);
    c->pagesAtEnd_ = st.pages_tx;
    c->status_ = status;
    c->finished_ = true;
    c->inPage_ = false;
    if (c->opt_.verbose) {
        std::fprintf(stderr, "linesim: caller phase E: %d (%s), %d pages\n", status,
                     completionText(status).c_str(), st.pages_tx);
    }
}

} // namespace quillon::linesim
