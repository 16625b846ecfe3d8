#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::linesim {

// The fax modem class the simulated modem offers on the pseudo-terminal.
enum class ModemClass { Class1, Class2, Class2_0 };

// A moment in the call at which a fault strikes. `page` is 1-based; `ms` counts from the
// start of that page's image data (or from the answer when `page` is 0).
struct FaultMoment {
    int page = 0;
    int ms = 0;
};

// When the simulated modem disappears (closes the pseudo-terminal).
struct VanishMoment {
    enum class Kind { Open, Ring, Answer, Page, AfterAnswer };
    Kind kind = Kind::Open;
    int number = 0; // ring number, page number or milliseconds after the answer
    int ms = 0;     // milliseconds into the page (Kind::Page)
};

// Line noise: a burst of `lengthMs` milliseconds starting `ms` into page `page`.
struct NoiseBurst {
    int page = 1;
    int ms = 1000;
    int lengthMs = 400;
    double levelDbm0 = -20.0;
};

// Everything the command line sets. Defaults are those of an ordinary call.
struct Options {
    ModemClass modemClass = ModemClass::Class1;
    std::string file;                      // TIFF to send (T.4 data, one page per directory)
    std::string link;                      // symlink to the slave, if not empty
    std::string stationId = "+1 555 0100"; // caller's TSI
    int rings = 8;                         // rings before the caller gives up
    int ringIntervalMs = 6000;             // time between RING reports
    int firstRingMs = 1000;                // first ring after the receiver's first byte
    bool ringAtStart = false;              // ring without waiting for the receiver's first byte
    bool v27ter = true, v29 = true, v17 = true; // modems the caller offers
    std::optional<FaultMoment> dropInPage;      // the caller hangs up
    bool noDcn = false;                         // the caller leaves without DCN
    bool resendBad = false; // Class 2: a page answered with RTN is sent again (once)
    int eomAfter = 0;       // Class 2: the caller sends EOM after this page (0: never)
    std::string errorOn;    // a command answered ERROR
    int errorNth = 1;       // ... at its n-th occurrence
    std::optional<VanishMoment> vanish;
    std::optional<NoiseBurst> noise;
    bool referenceReceiver = false;
    std::string referenceRxFile; // where the reference receiver stores the pages
    bool fast = false;           // reference mode: do not pace in real time
    int lingerMs = 30000;        // wait for the receiver's hang-up after the caller's end
    int maxCallS = 600;          // hard limit of the whole run
    bool verbose = false;        // protocol log to stderr
    bool spandspLog = false;     // spandsp's own T.30/T.31 log to stderr
};

// Parses the command line (argv[0] skipped). Returns an error text, empty on success.
[[nodiscard]] std::string parseOptions(const std::vector<std::string> &args, Options &out);

// Usage text printed for --help and on a command-line error.
std::string usageText();

// "1", "2" or "2.0".
std::string className(ModemClass c);

} // namespace quillon::linesim
