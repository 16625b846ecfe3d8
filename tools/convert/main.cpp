// quillon-convert [--g4] IN.APF OUT.pdf|OUT.tif: exports a received fax to PDF or TIFF Class F
// (G3 coded, or G4 with --g4). Exit 0 when every page converted cleanly, 3 when the output
// was written but pages had damaged rows (each such page is named on stderr), 1 on an
// error (the file it concerns is named), 2 on usage.
#include <cstdio>
#include <filesystem>
#include <string>

#include "comm/error_codes.h"
#include "fax/apf_file.h"
#include "faximage/fax_export.h"

namespace {

constexpr int kExitDamaged = 3;

} // namespace

int main(int argc, char **argv) {
    using quillon::faximage::TiffCoding;
    const std::string program = std::filesystem::path(argv[0]).filename().string();
    TiffCoding coding = TiffCoding::G3;
    int first = 1;
    if (argc == 4 && std::string(argv[1]) == "--g4") {
        coding = TiffCoding::G4;
        first = 2;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: %s [--g4] IN.APF OUT.pdf|OUT.tif\n", program.c_str());
        return 2;
    }
    const std::string in = argv[first];
    const std::string out = argv[first + 1];
    quillon::faximage::TExportReport report;
    int32_t rc = quillon::faximage::ExportFax(in, out, coding, &report);
    if (rc != 0) {
        std::string message = quillon::comm::ErrorMessage(rc);
        // Which file the error is about: the output for a bad name or a failed write, the
        // input for everything the unpacker reports.
        std::string file = in;
        if (rc == quillon::fax::kErrBadArgument) {
            message = "the output name must end in .pdf, .tif or .tiff";
            file = out;
        } else if (rc == quillon::fax::kErrDeviceWrite) {
            file = out;
        }
        std::fprintf(stderr, "%s: %s: %s (%d)\n", program.c_str(), file.c_str(), message.c_str(),
                     static_cast<int>(rc));
        return 1;
    }
    bool damaged = false;
    for (size_t i = 0; i < report.damagedRows.size(); ++i) {
        if (report.damagedRows[i] != 0) {
            std::fprintf(stderr, "%s: %s: page %zu: %u damaged rows\n", program.c_str(), in.c_str(),
                         i + 1, report.damagedRows[i]);
            damaged = true;
        }
    }
    return damaged ? kExitDamaged : 0;
}
