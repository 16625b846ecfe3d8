#include "page_source.h"

extern "C" {
#include <tiffio.h>
#include <spandsp.h>
}

namespace quillon::linesim {

std::string loadT4Pages(const std::string &file, std::vector<T4Page> &pages) {
    pages.clear();
    t4_tx_state_t *t4 = t4_tx_init(nullptr, file.c_str(), -1, -1);
    if (t4 == nullptr) {
        return "cannot read " + file + " as a fax TIFF";
    }
    t4_tx_set_tx_encoding(t4, T4_COMPRESSION_ITU_T4_1D);
    t4_tx_set_min_bits_per_row(t4, 0);
    for (;;) {
        if (t4_tx_start_page(t4) != 0) {
            break;
        }
        T4Page p;
        p.width = t4_tx_get_image_width(t4);
        p.fine = t4_tx_get_y_resolution(t4) >= T4_Y_RESOLUTION_FINE;
        uint8_t buf[1024];
        for (;;) {
            int n = t4_tx_get_chunk(t4, buf, sizeof buf);
            if (n > 0) {
                p.data.insert(p.data.end(), buf, buf + n);
            }
            if (n < static_cast<int>(sizeof buf)) {
                break;
            }
        }
        t4_stats_t st;
        t4_tx_get_transfer_statistics(t4, &st);
        p.rows = st.length;
        t4_tx_end_page(t4);
        pages.push_back(std::move(p));
    }
    t4_tx_free(t4);
    if (pages.empty()) {
        return file + " has no page";
    }
    return {};
}

} // namespace quillon::linesim
