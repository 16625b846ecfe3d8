// quillon-linesim: a simulated phone line with a calling fax machine, on a pseudo-terminal.

#include "options.h"
#include "pty_port.h"
#include "session.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

using namespace quillon::linesim;

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto &a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(usageText().c_str(), stdout);
            return 0;
        }
    }
    Options opt;
    std::string err = parseOptions(args, opt);
    if (!err.empty()) {
        std::fprintf(stderr, "quillon-linesim: %s\n%s", err.c_str(), usageText().c_str());
        return 2;
    }
    if (FILE *f = std::fopen(opt.file.c_str(), "rb")) {
        std::fclose(f);
    } else {
        std::fprintf(stderr, "quillon-linesim: cannot read %s\n", opt.file.c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    CallResult result;
    if (opt.referenceReceiver) {
        result = runReference(opt);
    } else {
        PtyPort pty;
        err = pty.open(opt.link);
        if (!err.empty()) {
            std::fprintf(stderr, "quillon-linesim: %s\n", err.c_str());
            return 1;
        }
        std::printf("SLAVE %s\n", pty.slavePath().c_str());
        std::fflush(stdout);
        result = opt.modemClass == ModemClass::Class1 ? runClass1(opt, pty) : runClass2(opt, pty);
    }
    std::printf("%s\n", formatResult(result).c_str());
    std::fflush(stdout);
    return 0;
}
