// Loading a record file whose index holds N administrative entries, for N = 100,000 and
// 200,000, with the entries stored ascending, descending (the order the store writes) and
// shuffled. Prints milliseconds per open (read-only, the index parsed and ordered), the
// nanoseconds per entry, and the ratio of the 200,000 time to the 100,000 time (2.0 is
// linear, 4.0 quadratic). The reference in the same run is std::sort of the same keys.
// Usage: bench_admin_load [DIR [N...]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "records/record_file.h"

using namespace quillon::records;
using Clock = std::chrono::steady_clock;

namespace {

void put32(std::string &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<char>(v >> (8 * i)));
    }
}

std::vector<std::string> keys(size_t n) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "Admin%09zu", i);
        out.emplace_back(key);
    }
    return out;
}

// A container written directly: one data byte that every entry points at.
void writeContainer(const std::string &path, const std::vector<std::string> &order) {
    std::string index;
    put32(index, static_cast<uint32_t>(order.size()));
    for (const std::string &k : order) {
        index += k;
        index.push_back('\0');
        put32(index, 0);
        put32(index, 1);
        put32(index, kFlagAdmin);
    }
    index.push_back('\0');
    std::string file("QDB\0", 4);
    put32(file, 1);
    file.push_back('x');
    file.append("QIX\0", 4);
    put32(file, static_cast<uint32_t>(index.size()));
    file += index;
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(file.data(), file.size());
}

double openMs(const std::string &path) {
    double best = 1e18;
    for (int rep = 0; rep < 3; ++rep) {
        auto t0 = Clock::now();
        TRecordFile f;
        f.SetReadOnly(true);
        f.SetFileName(path);
        if (f.AdminEntries().empty()) {
            std::fprintf(stderr, "open failed\n");
            std::exit(1);
        }
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

double sortMs(std::vector<std::string> k) {
    auto t0 = Clock::now();
    std::sort(k.begin(), k.end());
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv) {
    std::filesystem::path dir =
        argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "quillon_admin_bench";
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    }
    if (sizes.empty()) {
        sizes = {100000, 200000};
    }
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "admin.qdb").string();
    const char *names[] = {"ascending", "descending", "shuffled", "std::sort"};
    std::vector<std::vector<double>> ms(4);
    for (size_t n : sizes) {
        std::vector<std::string> k = keys(n);
        std::vector<std::string> orders[3] = {k, {k.rbegin(), k.rend()}, k};
        std::shuffle(orders[2].begin(), orders[2].end(), std::mt19937(1));
        for (int o = 0; o < 3; ++o) {
            writeContainer(path, orders[o]);
            ms[static_cast<size_t>(o)].push_back(openMs(path));
        }
        ms[3].push_back(sortMs(orders[2]));
    }
    std::printf("%-11s", "order");
    for (size_t n : sizes) {
        std::printf(" %10zu ms  ns/entry", n);
    }
    std::printf("  last/first\n");
    for (int o = 0; o < 4; ++o) {
        std::printf("%-11s", names[o]);
        for (size_t i = 0; i < sizes.size(); ++i) {
            std::printf(" %13.1f %9.0f", ms[static_cast<size_t>(o)][i],
                        ms[static_cast<size_t>(o)][i] * 1e6 / static_cast<double>(sizes[i]));
        }
        std::printf("  %9.2f\n", ms[static_cast<size_t>(o)].back() / ms[static_cast<size_t>(o)][0]);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
