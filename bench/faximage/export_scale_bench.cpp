// Scale of the export: files of 1,000, 4,000 and 16,000 real pages (the page set's standard
// and fine text pages, alternating) converted to PDF and to TIFF, each conversion in a child
// process of its own so that its peak resident memory is its own. Prints milliseconds per
// page and the peak, and each size's time per page against the smallest size's (a flat
// line is 1.0). The reference in the same run is libtiff decoding the same pages, per page.
// Usage: export_scale_bench PAGESET_DIR [WORK_DIR [PAGES...]]
//   nice build/bench/faximage/export_scale_bench build/bench/faximage/pageset
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fax/apf_file.h"
#include "faximage/fax_export.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
using Clock = std::chrono::steady_clock;

namespace {

struct Run {
    double msPerPage = 0;
    double peakMb = 0;
    int rc = 0;
};

// Runs `work` in a child; its wall time per page (fork to exit) and its peak resident set.
template <typename Work> Run inChild(uint32_t pages, Work work) {
    auto t0 = Clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(work());
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Run r;
    r.msPerPage = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / pages;
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return r;
}

// quillon-convert itself, as a user runs it: only its own memory counts.
int convert(const std::string &in, const std::string &out) {
    ::execl(QUILLON_CONVERT, QUILLON_CONVERT, in.c_str(), out.c_str(),
            static_cast<char *>(nullptr));
    return 127;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PAGESET_DIR [WORK_DIR [PAGES...]]\n", argv[0]);
        return 2;
    }
    const std::string pageset = argv[1];
    const std::filesystem::path work =
        argc > 2 ? std::filesystem::path(argv[2])
                 : std::filesystem::temp_directory_path() / "quillon_export_bench";
    std::vector<uint32_t> sizes;
    for (int i = 3; i < argc; ++i) {
        sizes.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    }
    if (sizes.empty()) {
        sizes = {1000, 4000, 16000};
    }
    std::filesystem::create_directories(work);
    std::vector<G3Page> pages = {{ReadPbm(pageset + "/text_std.pbm"), false},
                                 {ReadPbm(pageset + "/text_fine.pbm"), true}};
    const std::string tiffIn = (work / "pages.tif").string();
    WriteG3Tiff(tiffIn, pages, false);
    std::vector<std::vector<uint8_t>> strips = ReadRawStrips(tiffIn);

    std::printf("%8s  %-5s %10s %10s %8s\n", "pages", "what", "ms/page", "peak MB", "vs first");
    double first[3] = {0, 0, 0};
    for (size_t s = 0; s < sizes.size(); ++s) {
        const uint32_t n = sizes[s];
        std::vector<ApfPage> apf;
        for (uint32_t p = 0; p < n; ++p) {
            apf.push_back(
                {static_cast<uint16_t>(p % 2 ? quillon::fax::kApfFine : 0), strips[p % 2]});
        }
        const std::string apfPath = (work / ("fax" + std::to_string(n) + ".apf")).string();
        WriteApf(apfPath, apf);
        std::vector<ApfPage>().swap(apf);
        ::malloc_trim(0); // the children start from this process's memory
        const std::string pdf = (work / "out.pdf").string();
        const std::string tif = (work / "out.tif").string();
        Run runs[3] = {
            inChild(n, [&] { return convert(apfPath, pdf); }),
            inChild(n, [&] { return convert(apfPath, tif); }),
            // The reference: libtiff decoding the same pages (two directories, n times).
            inChild(n,
                    [&] {
                        TIFF *t = TIFFOpen(tiffIn.c_str(), "r");
                        std::vector<uint8_t> buf(4 << 20);
                        for (uint32_t p = 0; p < n; ++p) {
                            TIFFSetDirectory(t, static_cast<uint16_t>(p % 2));
                            TIFFReadEncodedStrip(t, 0, buf.data(),
                                                 static_cast<tmsize_t>(buf.size()));
                        }
                        TIFFClose(t);
                        return 0;
                    }),
        };
        const char *names[3] = {"pdf", "tiff", "libtiff decode"};
        for (int k = 0; k < 3; ++k) {
            if (s == 0) {
                first[k] = runs[k].msPerPage;
            }
            std::printf("%8u  %-5s %10.3f %10.1f %8.2f%s\n", n, names[k], runs[k].msPerPage,
                        runs[k].peakMb, runs[k].msPerPage / first[k],
                        runs[k].rc != 0 ? "  (failed)" : "");
        }
        std::fflush(stdout);
        std::filesystem::remove(apfPath);
    }
    std::filesystem::remove_all(work);
    return 0;
}
