// quillon-receive: receives faxes on a serial device with the receive-fax component and
// prints each event as one line. Users try their modem with it; the tests and the line
// simulator use it too.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "comm/comm_port.h"
#include "comm/error_codes.h"
#include "fax/apf_file.h"
#include "fax/class2_codec.h"
#include "fax/receive_fax.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

using namespace quillon;

namespace {

void Usage() {
    std::fputs("usage: quillon-receive DEVICE [--class auto|1|2|2.0] [--dir DIR] [--rings N]\n"
               "                       [--id STATIONID] [--bps max|2400|...|14400] [--once]\n"
               "  --bps: the highest rate offered to callers; 'max' (the default) is the\n"
               "         highest rate the modem reports\n",
               stderr);
}

std::string Quote(const std::string &s) {
    return "\"" + s + "\"";
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string device;
    std::string faxClass = "auto";
    std::string dir = "faxes";
    int rings = 1;
    std::string id;
    // The highest rate: Class 1 steps down from it to the best rate the modem's probe lists.
    int bps = 14400;
    bool once = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                Usage();
                std::exit(2);
            }
            return args[++i];
        };
        if (a == "--class") {
            faxClass = value();
        } else if (a == "--dir") {
            dir = value();
        } else if (a == "--rings") {
            rings = std::atoi(value().c_str());
        } else if (a == "--id") {
            id = value();
        } else if (a == "--bps") {
            std::string v = value();
            bps = v == "max" ? 14400 : std::atoi(v.c_str());
            if (bps != 2400 && bps != 4800 && bps != 7200 && bps != 9600 && bps != 12000 &&
                bps != 14400) {
                Usage();
                return 2;
            }
        } else if (a == "--once") {
            once = true;
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (!a.empty() && a[0] != '-' && device.empty()) {
            device = a;
        } else {
            Usage();
            return 2;
        }
    }
    // Detection is the default; the operator may force a class, because some modems
    // implement one class better than another.
    const std::pair<const char *, fax::TFaxClass> kClasses[] = {{"auto", fax::fcDetect},
                                                                {"1", fax::fcClass1},
                                                                {"2", fax::fcClass2},
                                                                {"2.0", fax::fcClass2_0}};
    fax::TFaxClass chosenClass = fax::fcUnknown;
    for (const auto &[name, cls] : kClasses) {
        if (faxClass == name) {
            chosenClass = cls;
        }
    }
    if (device.empty() || chosenClass == fax::fcUnknown) {
        Usage();
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    platform::EventLoop &loop = platform::EventLoop::current();
    platform::SerialDevice line;
    if (int err = line.open(device); err != 0) {
        std::printf("ERROR %d %s: %s\n", -err, device.c_str(), comm::ErrorMessage(err).c_str());
        return 1;
    }
    comm::TComPort port;
    port.SetTapiMode(comm::tmOn);
    port.SetTapiDescriptor(line.fd());
    port.SetAutoOpen(false);

    fax::TReceiveFax receiver(&port);
    receiver.SetFaxClass(chosenClass);
    receiver.SetDestinationDir(dir);
    receiver.SetAnswerOnRing(static_cast<uint16_t>(rings));
    receiver.SetStationID(id);
    receiver.SetDesiredBPS(static_cast<uint16_t>(bps));
    receiver.NamingMode = 2;
    if (once) {
        receiver.SetOneFax(true);
        receiver.SetExitOnError(true);
    }

    int lastProgress = -1;
    bool received = false;
    int exitCode = 0;
    receiver.OnFaxStatus = [&](fax::TCustomAbstractFax &cp, bool first, bool last) {
        int p = cp.SessionProgress();
        if (p != lastProgress || first || last) {
            std::printf("STATUS %d%s%s %s\n", p, first ? " first" : "", last ? " last" : "",
                        Quote(cp.StatusMessage(p)).c_str());
            lastProgress = p;
        }
    };
    receiver.OnFaxAccept = [&](fax::TCustomAbstractFax &cp, bool &) {
        std::printf("ACCEPT remote=%s\n", Quote(cp.RemoteStationName()).c_str());
    };
    receiver.OnFaxLog = [&](fax::TCustomAbstractFax &cp, fax::TFaxLogCode code) {
        std::string file = cp.FaxFile();
        fax::TApfFileHeader header;
        int pages = 0;
        if (!file.empty() && fax::ReadFileHeader(file, header) == 0) {
            pages = header.pageCount;
        }
        switch (code) {
        case fax::lfaxReceiveStart:
            std::printf("START %s\n", file.c_str());
            break;
        case fax::lfaxReceiveOK:
            received = true;
            std::printf("RECEIVED %s pages=%d last_page_rows=%u damaged_rows=%u refused_pages=%u "
                        "remote=%s\n",
                        file.c_str(), pages, cp.PageRowsGood(), cp.DamagedRows(),
                        cp.PagesRejected(), Quote(cp.RemoteStationName()).c_str());
            break;
        case fax::lfaxReceiveFail:
            std::printf("FAILED %s pages=%d last_page_rows=%u last_page_damaged_rows=%u "
                        "damaged_rows=%u refused_pages=%u remote=%s\n",
                        file.c_str(), pages, cp.PageRowsGood(), cp.PageRowsDamaged(),
                        cp.DamagedRows(), cp.PagesRejected(),
                        Quote(cp.RemoteStationName()).c_str());
            break;
        case fax::lfaxReceiveSkip:
            std::printf("SKIPPED remote=%s\n", Quote(cp.RemoteStationName()).c_str());
            break;
        default:
            break;
        }
    };
    receiver.OnFaxError = [&](fax::TCustomAbstractFax &, int32_t code) {
        std::printf("ERROR %d %s\n", code, comm::ErrorMessage(code).c_str());
    };
    receiver.OnFaxFinish = [&](fax::TCustomAbstractFax &cp, int32_t code) {
        fax::TFaxClass active = receiver.Session().ActiveClass();
        if (active == fax::fcClass2 || active == fax::fcClass2_0) {
            std::printf("HANGUP %u %s\n", cp.HangupCode(),
                        Quote(std::string(fax::HangupText(cp.HangupCode(), active))).c_str());
        }
        std::printf("FINISH %d %s\n", code, code == 0 ? "" : comm::ErrorMessage(code).c_str());
        exitCode = received && code == 0 ? 0 : 1;
        loop.quit(exitCode);
    };

    try {
        port.SetOpen(true);
        receiver.BeginReceive();
    } catch (const comm::ECommException &e) {
        std::printf("ERROR %d %s\n", e.code(), e.what());
        return 1;
    } catch (const std::exception &e) {
        std::printf("ERROR 0 %s\n", e.what());
        return 1;
    }
    return loop.run();
}
