// Scale of the incoming-call log: the cost of adding the N-th record durably, as the
// server does it (Insert, set the controls, Post, FlushIndex), and of a FindKey, for
// N = 100, 10,000 and 100,000; SQLite with the same durable workload (WAL mode,
// synchronous=FULL, one transaction per record) is measured in the same run.
// Prints microseconds per operation and the ratios.
// Usage: bench_records_scale [DIR [N...]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "records/call_logs.h"

using namespace quillon::records;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTimedAdds = 200;
constexpr int kLookups = 20000;

std::string faxName(int i) {
    char name[40];
    std::snprintf(name, sizeof name, "faxes\\%02d%02d%04d.APF", 1 + i % 12, 1 + (i / 12) % 28,
                  i % 10000 + (i / 10000) * 7);
    return name + std::to_string(i);
}

TIncomingCall call(int i) {
    return {"12/09/2026 01:15 AM", false, "", faxName(i), true};
}

double since(Clock::time_point t0, int ops) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / ops;
}

struct Cost {
    double add;  // median microseconds per durable add
    double mean; // mean microseconds per durable add
    double find; // mean microseconds per lookup
};

void check(int rc, sqlite3 *db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

// The SQLite reference: one table keyed like the log (case-insensitive), the same item
// bytes, WAL mode, synchronous=FULL, one transaction per record.
class SqliteLog {
  public:
    explicit SqliteLog(const std::string &file) {
        check(sqlite3_open(file.c_str(), &db_), db_);
        check(sqlite3_exec(db_,
                           "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                           "CREATE TABLE log(key TEXT PRIMARY KEY COLLATE NOCASE, item BLOB);",
                           nullptr, nullptr, nullptr),
              db_);
        check(
            sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO log VALUES(?, ?)", -1, &ins_, nullptr),
            db_);
        check(sqlite3_prepare_v2(db_, "SELECT item FROM log WHERE key = ?", -1, &sel_, nullptr),
              db_);
    }
    ~SqliteLog() {
        sqlite3_finalize(sel_);
        sqlite3_finalize(ins_);
        sqlite3_close(db_);
    }
    void insert(int i, const std::vector<uint8_t> &item) {
        std::string key = faxName(i);
        sqlite3_bind_text(ins_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(ins_, 2, item.data(), static_cast<int>(item.size()), SQLITE_STATIC);
        check(sqlite3_step(ins_), db_);
        sqlite3_reset(ins_);
    }
    void begin() { check(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), db_); }
    void commit() { check(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), db_); }
    bool find(const std::string &key) {
        sqlite3_bind_text(sel_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        int rc = sqlite3_step(sel_);
        sqlite3_reset(sel_);
        return rc == SQLITE_ROW;
    }

  private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *ins_ = nullptr;
    sqlite3_stmt *sel_ = nullptr;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v) {
        sum += x;
    }
    return sum / static_cast<double>(v.size());
}

// Both stores are filled with n - 1 records, then the timed adds alternate between them
// so that both see the same disk.
std::pair<Cost, Cost> measure(const std::string &dir, int n) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::vector<uint8_t> item;
    {
        TCallLog log(TLogKind::Incoming);
        log.Open(dir);
        for (int i = 0; i < n - 1; ++i) {
            log.AddIncoming(call(i));
        }
        log.View().First();
        log.View().Get(item);
    } // closed: the container holds n - 1 records, as after a restart of the server
    SqliteLog db(dir + "/vIn.sqlite");
    db.begin();
    for (int i = 0; i < n - 1; ++i) {
        db.insert(i, item);
    }
    db.commit();

    TCallLog log(TLogKind::Incoming);
    log.Open(dir);
    std::vector<double> oursAdd;
    std::vector<double> sqlAdd;
    for (int i = n - 1; i < n - 1 + kTimedAdds; ++i) {
        auto t0 = Clock::now();
        log.AddIncoming(call(i));
        oursAdd.push_back(since(t0, 1));
        t0 = Clock::now();
        db.begin();
        db.insert(i, item);
        db.commit();
        sqlAdd.push_back(since(t0, 1));
    }
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> pick(0, n - 1);
    std::vector<std::string> keys;
    for (int k = 0; k < kLookups; ++k) {
        keys.push_back(faxName(pick(rng)));
    }
    int found = 0;
    auto t0 = Clock::now();
    for (const auto &key : keys) {
        found += log.View().FindKey(key) ? 1 : 0;
    }
    double oursFind = since(t0, kLookups);
    t0 = Clock::now();
    for (const auto &key : keys) {
        found += db.find(key) ? 1 : 0;
    }
    double sqlFind = since(t0, kLookups);
    if (found != 2 * kLookups) {
        std::fprintf(stderr, "lookup missed\n");
    }
    return {{median(oursAdd), mean(oursAdd), oursFind}, {median(sqlAdd), mean(sqlAdd), sqlFind}};
}

} // namespace

int main(int argc, char **argv) {
    std::string base = argc > 1 ? argv[1] : "bench-records-work";
    std::vector<int> sizes = {100, 10000, 100000};
    if (argc > 2) {
        sizes.clear();
        for (int i = 2; i < argc; ++i) {
            sizes.push_back(std::atoi(argv[i]));
        }
    }
    std::vector<Cost> q;
    std::vector<Cost> s;
    std::printf("%8s %12s %12s %12s %12s %10s %10s\n", "N", "add med us", "sqlite med",
                "add mean us", "sqlite mean", "find us", "sqlite");
    for (int n : sizes) {
        auto [ours, ref] = measure(base, n);
        q.push_back(ours);
        s.push_back(ref);
        std::printf("%8d %12.1f %12.1f %12.1f %12.1f %10.3f %10.3f\n", n, ours.add, ref.add,
                    ours.mean, ref.mean, ours.find, ref.find);
    }
    std::filesystem::remove_all(base);
    if (sizes.size() != 3) {
        return 0;
    }
    std::printf("add cost (median) at 100000 / at 100: %.2f (target <= 5)\n", q[2].add / q[0].add);
    std::printf("add cost (mean) at 100000 / at 100: %.2f\n", q[2].mean / q[0].mean);
    std::printf("find cost at 100000 / at 100: %.2f\n", q[2].find / q[0].find);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::printf("add ours / sqlite at %d: median %.2f, mean %.2f (target <= 1.0)\n", sizes[i],
                    q[i].add / s[i].add, q[i].mean / s[i].mean);
    }
    return 0;
}
