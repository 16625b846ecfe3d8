// Settings files built to make the reader slow or greedy: one key with a huge number of
// values, and one huge value. Each is read in a child process, under a time-out far above
// what a linear reader needs, or under an address-space limit of a few times the value.

#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

using quillon::platform::SettingsStore;

namespace {

constexpr const char *kKey = "[HKEY_CURRENT_USER\\Software\\Brakmo\\TelvSrvr\\Config]\n";

// Runs `body` in a child; its exit status (a signal shows as 128 + the signal).
template <typename Body> int inChild(Body body) {
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SettingsHostile, ManyValuesOfOneKeyAreReadInLinearTime) {
    // 200,000 values: well under a second when each value costs the same; the child is
    // stopped after a minute.
    int rc = inChild([] {
        ::alarm(60);
        std::string text = std::string("REGEDIT4\n\n") + kKey;
        for (int i = 0; i < 200000; ++i) {
            text += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
        }
        text += "\"v7\"=dword:00000002\n"; // a later definition wins
        std::string out = SettingsStore::Canonical(text);
        return out.find("\"v199999\"=dword:00000001") != std::string::npos &&
                       out.find("\"v7\"=dword:00000002") != std::string::npos
                   ? 0
                   : 1;
    });
    EXPECT_EQ(rc, 0) << "128 + 14: the reader took over a minute";
}

TEST(SettingsHostile, HugeValueIsReadInMemoryOfAFewTimesItsSize) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#else
    constexpr size_t kValue = 32u << 20;
    for (bool hex : {false, true}) {
        int rc = inChild([hex] {
            std::string text = std::string("REGEDIT4\n\n") + kKey;
            if (hex) {
                // A binary value written as continuation lines of 25 bytes each.
                text += "\"big\"=hex:";
                for (size_t i = 0; i < kValue / 3; ++i) {
                    text += (i % 25 == 24) ? "ab,\\\n  " : "ab,";
                }
                text += "ab\n";
            } else {
                text += "\"big\"=\"" + std::string(kValue, 'x') + "\"\n";
            }
            // Address space now, plus four times the value for the reader and its result.
            long pages = 0;
            if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld", &pages) != 1) {
                    pages = 0;
                }
                std::fclose(statm);
            }
            rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
            rlimit limit{now + 4 * kValue, now + 4 * kValue};
            ::setrlimit(RLIMIT_AS, &limit);
            try {
                std::string out = SettingsStore::Canonical(text);
                return out.size() > kValue / 3 ? 0 : 1;
            } catch (const std::bad_alloc &) {
                return 2;
            }
        });
        EXPECT_EQ(rc, 0) << (hex ? "hex value" : "string value") << ": 2 means out of memory";
    }
#endif
}

} // namespace
