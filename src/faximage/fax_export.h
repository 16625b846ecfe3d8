#pragma once

// Export of a received fax (an APF file) to the formats a mail recipient can open:
// - PDF through cairo: one page per fax page at the page's physical size (204 dpi across,
//   98 or 196 lines per inch down: 1728 pixels are 215 mm, standard pages 3.85 lines/mm,
//   fine pages 7.7 lines/mm), the decoded bitmap embedded losslessly as a 1-bit image mask.
// - TIFF Class F through libtiff: one directory per page, G3 one-dimensional coding with
//   byte-aligned EOLs (or G4 on request), 204 x 98/196 dpi, PageNumber set.
// Each page is decoded without automatic scaling and padded with white to its full width
// (1728 or 2048 pixels); a page without lines becomes one white row.
//
// Plain functions for the server (attachments) and quillon-convert; they run on the
// caller's thread and return 0 or a negative code: the unpacker's codes for the APF file
// (-2, -8001, ...), -1002 for an unknown output type, -160 when the output cannot be
// written, -8 when memory runs out. Damaged rows are reported, not an error: the TIFF
// export marks such a page unclean with its BadFaxLines count.

#include <cstdint>
#include <string>
#include <vector>

#include "faximage/fax_bitmap.h"

namespace quillon::faximage {

struct TFaxPageImage {
    TFaxBitmap bitmap; // inverted (1 = white), full width
    bool fine = false;
    uint32_t damagedRows = 0; // rows the decoder dropped or found invalid codes in
    [[nodiscard]] double XDpi() const { return 204.0; }
    [[nodiscard]] double YDpi() const { return fine ? 196.0 : 98.0; }
};

// What an export found on its way: per page, in order, the damaged rows.
struct TExportReport {
    std::vector<uint32_t> damagedRows;
};

// Decodes every page of the file (all pages in memory: for small files and tests; the
// exports below hold one page at a time).
[[nodiscard]] int32_t LoadFaxPages(const std::string &apfPath, std::vector<TFaxPageImage> &pages);

[[nodiscard]] int32_t WritePdf(const std::vector<TFaxPageImage> &pages, const std::string &pdfPath);
// How the TIFF's pages are coded: G3 one-dimensional with byte-aligned EOLs (Class F proper),
// or G4 (two-dimensional, about half the size, read by every TIFF reader that reads faxes).
enum class TiffCoding { G3, G4 };

[[nodiscard]] int32_t WriteTiffClassF(const std::vector<TFaxPageImage> &pages,
                                      const std::string &tiffPath,
                                      TiffCoding coding = TiffCoding::G3);

// Page by page: one decoded page in memory at a time, the page chain walked once. The
// output is written under "<out>.part" and renamed over `out` only when complete.
[[nodiscard]] int32_t ExportFaxToPdf(const std::string &apfPath, const std::string &pdfPath,
                                     TExportReport *report = nullptr);
[[nodiscard]] int32_t ExportFaxToTiff(const std::string &apfPath, const std::string &tiffPath,
                                      TiffCoding coding = TiffCoding::G3,
                                      TExportReport *report = nullptr);
// By the output's extension: .pdf, or .tif/.tiff (any case); `coding` applies to TIFF.
[[nodiscard]] int32_t ExportFax(const std::string &apfPath, const std::string &outPath,
                                TiffCoding coding = TiffCoding::G3,
                                TExportReport *report = nullptr);

} // namespace quillon::faximage
