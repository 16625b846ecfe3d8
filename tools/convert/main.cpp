// quillon-convert [--g4] IN.APF OUT.pdf|OUT.tif: exports a received fax to PDF or TIFF Class F
// (G3 coded, or G4 with --g4).
#include <cstdio>
#include <string>

#include "comm/error_codes.h"
#include "faximage/fax_export.h"

int main(int argc, char **argv) {
    using quillon::faximage::TiffCoding;
    TiffCoding coding = TiffCoding::G3;
    if (argc == 4 && std::string(argv[1]) == "--g4") {
        coding = TiffCoding::G4;
        ++argv;
        --argc;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--g4] IN.APF OUT.pdf|OUT.tif\n", argv[0]);
        return 2;
    }
    int32_t rc = quillon::faximage::ExportFax(argv[1], argv[2], coding);
    if (rc != 0) {
        std::string message = quillon::comm::ErrorMessage(rc);
        if (rc == -1002) {
            message = "the output name must end in .pdf, .tif or .tiff";
        }
        std::fprintf(stderr, "%s: %s: %s (%d)\n", argv[0], argv[1], message.c_str(),
                     static_cast<int>(rc));
        return 1;
    }
    return 0;
}
