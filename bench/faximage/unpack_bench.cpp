// Decoding speed of the unpacker against libtiff on the same G3 pages, in the same run.
//
// The page set (tests/faximage/data/make_pageset.sh) is encoded by libtiff as G3 1D with
// EOLs into one multi-page TIFF; the same strips are stored in an APF file. For each group
// of pages (text: fine and standard text pages; dense: halftone, Floyd-Steinberg photo and
// noise pages) the benchmark measures pages per second of
//   - libtiff: TIFFSetDirectory + TIFFReadEncodedStrip into a buffer,
//   - the unpack engine: UnpackPageToBitmap (file opened, page found, decoded, bitmap built;
//     no automatic scaling, yield on as in the product),
//   - memset of the output bitmap's size,
// five repetitions each, and prints the medians and the ratios. Run it pinned to one core:
//   taskset -c 1 nice build/bench/faximage/faximage_unpack_bench build/bench/faximage/pageset
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "faximage/unpack_engine.h"
#include "support/fax_pages.h"

using namespace quillon::faximage;
using namespace quillon::faximage::testing;
using Clock = std::chrono::steady_clock;

namespace {

struct Page {
    std::string name;
    bool fine;
    bool dense;
    uint32_t height = 0;
    size_t compressed = 0;
};

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PAGESET_DIR [seconds per measurement]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    double budget = argc > 2 ? std::atof(argv[2]) : 0.4;
    // A third argument "quillon" measures only the unpacker (for profiling).
    const bool onlyOurs = argc > 3 && std::string(argv[3]) == "quillon";
    std::vector<Page> pages = {{"text_fine", true, false}, {"text_std", false, false},
                               {"halftone", true, true},   {"photo_fs", true, true},
                               {"noise", true, true},      {"white", false, false}};
    std::vector<G3Page> g3;
    for (Page &p : pages) {
        g3.push_back({ReadPbm(dir + "/" + p.name + ".pbm"), p.fine});
        p.height = g3.back().image.height;
    }
    std::string work =
        (std::filesystem::temp_directory_path() / ("faximage_bench_" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(work);
    std::string tiffPath = work + "/set.tif";
    std::string apfPath = work + "/SET.APF";
    WriteG3Tiff(tiffPath, g3, false);
    auto strips = ReadRawStrips(tiffPath);
    std::vector<ApfPage> apfPages;
    for (size_t i = 0; i < pages.size(); ++i) {
        pages[i].compressed = strips[i].size();
        apfPages.push_back({static_cast<uint16_t>(pages[i].fine ? 1 : 0), strips[i]});
    }
    WriteApf(apfPath, apfPages, "BENCH");

    TIFF *tif = TIFFOpen(tiffPath.c_str(), "r");
    if (tif == nullptr) {
        return 1;
    }
    std::vector<uint8_t> out(256 * 4096);
    std::vector<uint8_t> sink(256 * 4096);
    TUnpackEngine engine;
    engine.ClearOptions(0xFFFF);
    engine.SetOptions(ufYield);

    auto groupRun = [&](const std::vector<size_t> &group, int which) {
        for (size_t i : group) {
            if (which == 0) {
                TIFFSetDirectory(tif, static_cast<tdir_t>(i));
                if (TIFFReadEncodedStrip(tif, 0, out.data(), static_cast<tmsize_t>(out.size())) <
                    0) {
                    std::abort();
                }
            } else if (which == 1) {
                TUnpackResult result;
                if (engine.UnpackPageToBitmap(apfPath, static_cast<uint32_t>(i + 1), true,
                                              result) != 0) {
                    std::abort();
                }
            } else {
                std::memset(sink.data(), static_cast<int>(i), size_t{216} * pages[i].height);
                asm volatile("" : : "r"(sink.data()) : "memory");
            }
        }
    };

    struct Group {
        const char *name;
        std::vector<size_t> pages;
    };
    std::vector<Group> groups = {{"text", {0, 1}}, {"dense", {2, 3, 4}}, {"white", {5}}};
    std::printf("page set: ");
    for (const Page &p : pages) {
        std::printf("%s %zu B  ", p.name.c_str(), p.compressed);
    }
    std::printf("\nmedian of 5 repetitions of %.2f s, libtiff and quillon timed in alternation\n",
                budget);
    std::printf("%-6s %14s %14s %14s %9s %14s %12s\n", "group", "libtiff p/s", "quillon p/s",
                "memset p/s", "q/libtiff", "libtiff MB/s", "memset/q");
    for (const Group &g : groups) {
        if (argc > 4 && std::string(argv[4]) != g.name) {
            continue;
        }
        std::vector<double> lib, ours, mem;
        for (int rep = 0; rep < 5; ++rep) {
            // The three are timed in alternation, pass by pass, so that they share whatever
            // else the machine is doing during the repetition.
            double t[3] = {0, 0, 0};
            size_t passes = 0;
            for (int which = 0; which < 2; ++which) {
                groupRun(g.pages, which); // warm
            }
            auto start = Clock::now();
            do {
                for (int which = 0; which < 2; ++which) {
                    if (onlyOurs && which != 1) {
                        continue;
                    }
                    auto a = Clock::now();
                    groupRun(g.pages, which);
                    t[which] += seconds(a, Clock::now());
                }
                ++passes;
            } while (seconds(start, Clock::now()) < budget);
            double pagesDone = static_cast<double>(passes * g.pages.size());
            // memset of the output, in a loop of its own (its buffer stays in the cache).
            size_t memPasses = 0;
            auto memStart = Clock::now();
            do {
                groupRun(g.pages, 2);
                ++memPasses;
            } while (!onlyOurs && seconds(memStart, Clock::now()) < budget / 4);
            t[2] = seconds(memStart, Clock::now());
            lib.push_back(onlyOurs ? 1 : pagesDone / t[0]);
            ours.push_back(pagesDone / t[1]);
            mem.push_back(onlyOurs ? 1 : static_cast<double>(memPasses * g.pages.size()) / t[2]);
        }
        double l = median(lib), q = median(ours), m = median(mem);
        double bytes = 0;
        for (size_t i : g.pages) {
            bytes += static_cast<double>(pages[i].compressed);
        }
        double mbs = l * bytes / static_cast<double>(g.pages.size()) / 1e6;
        std::printf("%-6s %14.0f %14.0f %14.0f %9.2f %14.1f %12.1f\n", g.name, l, q, m, q / l, mbs,
                    m / q);
    }
    TIFFClose(tif);
    std::filesystem::remove_all(work);
    return 0;
}
