// The reference call: the same caller against spandsp's own receiving fax machine, no pty.

#include "caller.h"
#include "session.h"

#include <cstring>
#include <unistd.h>

extern "C" {
#include <tiffio.h>
#include <spandsp.h>
}

namespace quillon::linesim {

namespace {
struct ReceiverState {
    bool finished = false;
    int status = 0;
    int pages = 0;
};

void receiverPhaseE(t30_state_t *t30, void *user, int status) {
    auto *r = static_cast<ReceiverState *>(user);
    t30_stats_t st;
    t30_get_transfer_statistics(t30, &st);
    r->finished = true;
    r->status = status;
    r->pages = st.pages_rx;
}
} // namespace

CallResult runReference(const Options &opt) {
    CallResult result;
    result.modemClass = "reference";
    std::string rxFile = opt.referenceRxFile;
    char tmpl[] = "/tmp/quillon-linesim-ref-XXXXXX.tif";
    if (rxFile.empty()) {
        int fd = mkstemps(tmpl, 4);
        if (fd >= 0) {
            close(fd);
        }
        rxFile = tmpl;
    }
    fax_state_t *rx = fax_init(nullptr, FALSE);
    fax_set_transmit_on_idle(rx, TRUE);
    t30_state_t *t30 = fax_get_t30_state(rx);
    t30_set_rx_file(t30, rxFile.c_str(), -1);
    t30_set_tx_ident(t30, "reference");
    t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_ecm_capability(t30, FALSE);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION);
    ReceiverState rs;
    t30_set_phase_e_handler(t30, receiverPhaseE, &rs);
    if (opt.spandspLog) {
        int level = SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG | SPAN_LOG_FLOW;
        span_log_set_level(t30_get_logging_state(t30), level);
        span_log_set_tag(t30_get_logging_state(t30), "reference");
    }

    CallingFax caller(opt);
    Ticker ticker(!opt.fast);
    int16_t a[kStepSamples], b[kStepSamples];
    int64_t endMs = -1;
    auto none = [](const uint8_t *, size_t) {};
    for (;;) {
        (void)ticker.wait(nullptr, none);
        caller.tx(a, kStepSamples);
        fax_rx(rx, a, kStepSamples);
        int n = fax_tx(rx, b, kStepSamples);
        if (n < kStepSamples) {
            std::memset(b + n, 0, sizeof(int16_t) * static_cast<size_t>(kStepSamples - n));
        }
        caller.rx(b, kStepSamples);
        const int64_t now = ticker.ms();
        if (caller.finished() && endMs < 0) {
            endMs = now;
        }
        // Let the receiver see the DCN (or its absence) through to its own end.
        if (endMs >= 0 && (rs.finished || now - endMs >= opt.lingerMs)) {
            break;
        }
        if (now >= int64_t(opt.maxCallS) * 1000) {
            caller.lineGone();
            endMs = now;
            break;
        }
    }
    logLine(opt, "reference receiver: %d pages, status %d (%s)", rs.pages, rs.status,
            completionText(rs.status).c_str());
    fax_free(rx);
    if (opt.referenceRxFile.empty()) {
        unlink(rxFile.c_str());
    }
    result.pagesSent = caller.pagesSent();
    result.status = caller.status();
    result.statusText = caller.statusText();
    result.durationS = double(endMs) / 1000.0;
    return result;
}

} // namespace quillon::linesim
