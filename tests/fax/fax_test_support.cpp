#include "fax_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "fax/apf_file.h"

namespace quillon::fax::test {

namespace {
Event Ev(const char *kind, int code, bool first = false, bool last = false) {
    Event e;
    e.kind = kind;
    e.code = code;
    e.first = first;
    e.last = last;
    return e;
}
} // namespace

Receiver::Receiver(const std::string &devicePath)
    : loop(platform::EventLoop::current()), loopThread(std::this_thread::get_id()) {
    if (line.open(devicePath) != 0) {
        throw std::runtime_error("cannot open " + devicePath);
    }
    port = std::make_unique<comm::TComPort>();
    port->SetTapiMode(comm::tmOn);
    port->SetTapiDescriptor(line.fd());
    port->SetAutoOpen(false);
    fax = std::make_unique<TReceiveFax>(port.get());
    fax->SetFaxClass(fcClass1);
    auto record = [this](Event e) {
        e.onLoopThread = std::this_thread::get_id() == loopThread;
        e.faxFile = fax->FaxFile();
        e.remoteId = fax->RemoteStationID();
        events.push_back(std::move(e));
    };
    fax->OnFaxStatus = [record](TCustomAbstractFax &cp, bool first, bool last) {
        record(Ev("status", cp.SessionProgress(), first, last));
    };
    fax->OnFaxLog = [record](TCustomAbstractFax &, TFaxLogCode code) { record(Ev("log", code)); };
    fax->OnFaxError = [record](TCustomAbstractFax &, int32_t code) { record(Ev("error", code)); };
    fax->OnFaxFinish = [record](TCustomAbstractFax &, int32_t code) { record(Ev("finish", code)); };
    fax->OnFaxAccept = [record](TCustomAbstractFax &, bool &) { record(Ev("accept", 0)); };
    port->SetOpen(true);
}

Receiver::~Receiver() {
    fax.reset();
    port.reset();
}

bool Receiver::WaitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    return loop.runUntil(done, timeout);
}

bool Receiver::WaitFinish(std::chrono::seconds timeout, size_t count) {
    return WaitFor([&] { return Count("finish") >= count; }, timeout);
}

size_t Receiver::Count(const std::string &kind, int code) const {
    size_t n = 0;
    for (const Event &e : events) {
        if (e.kind == kind && (code == -99999 || e.code == code)) {
            ++n;
        }
    }
    return n;
}

std::vector<Event> Receiver::Of(const std::string &kind) const {
    std::vector<Event> out;
    for (const Event &e : events) {
        if (e.kind == kind) {
            out.push_back(e);
        }
    }
    return out;
}

std::string Receiver::Trace() const {
    std::ostringstream os;
    for (const Event &e : events) {
        os << e.kind << "(" << e.code << (e.first ? ",first" : "") << (e.last ? ",last" : "")
           << ") ";
    }
    return os.str();
}

// ---------------------------------------------------------------------------------------

std::string LineSimPath() {
    return QUILLON_LINESIM_PATH;
}

std::string FaxDataPath(const std::string &name) {
    return std::string(QUILLON_SOURCE_DIR) + "/tests/data/faxes/" + name;
}

std::string TempDir(const std::string &name) {
    std::filesystem::path p = std::filesystem::temp_directory_path() /
                              ("quillon-fax-" + std::to_string(getpid()) + "-" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

LineSim::LineSim(const std::vector<std::string> &args, const std::string &logFile) {
    int out[2];
    if (pipe(out) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        int err = logFile.empty() ? open("/dev/null", O_WRONLY)
                                  : open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, 2);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> all{LineSimPath()};
        if (!logFile.empty()) {
            all.emplace_back("--verbose");
        }
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    outFd_ = out[0];
    // The SLAVE line comes at once.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (slave_.empty() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{outFd_, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buf[512];
            ssize_t n = read(outFd_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            buffered_.append(buf, static_cast<size_t>(n));
            size_t pos = buffered_.find("SLAVE ");
            size_t eol = pos == std::string::npos ? pos : buffered_.find('\n', pos);
            if (eol != std::string::npos) {
                slave_ = buffered_.substr(pos + 6, eol - pos - 6);
                buffered_.erase(0, eol + 1);
            }
        }
    }
    if (slave_.empty()) {
        throw std::runtime_error("quillon-linesim did not start");
    }
}

std::string LineSim::WaitResult(std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t pos = buffered_.find("RESULT ");
        size_t eol = pos == std::string::npos ? pos : buffered_.find('\n', pos);
        if (eol != std::string::npos) {
            return buffered_.substr(pos, eol - pos);
        }
        pollfd p{outFd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 && std::chrono::steady_clock::now() >= deadline) {
            return {};
        }
        if (poll(&p, 1, 50) > 0) {
            char buf[512];
            ssize_t n = read(outFd_, buf, sizeof buf);
            if (n <= 0) {
                return {};
            }
            buffered_.append(buf, static_cast<size_t>(n));
        }
    }
}

LineSim::~LineSim() {
    if (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status, 0);
        }
    }
    if (outFd_ >= 0) {
        close(outFd_);
    }
}

// ---------------------------------------------------------------------------------------

namespace {

void QuietTiff(const char *, const char *, va_list) {}

bool ReadRows(TIFF *tif, Bitmap &out, uint32_t rows, std::string &error) {
    tmsize_t size = TIFFScanlineSize(tif);
    out.lines.assign(rows, std::vector<uint8_t>(static_cast<size_t>(size)));
    for (uint32_t r = 0; r < rows; ++r) {
        if (TIFFReadScanline(tif, out.lines[r].data(), r, 0) < 0) {
            error = "scanline " + std::to_string(r) + " does not decode";
            out.lines.resize(r);
            return false;
        }
    }
    out.rows = rows;
    return true;
}

} // namespace

bool ReadTiffPage(const std::string &path, int page, Bitmap &out, std::string &error) {
    TIFFSetWarningHandler(QuietTiff);
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) {
        error = "cannot open " + path;
        return false;
    }
    bool ok = TIFFSetDirectory(tif, static_cast<tdir_t>(page - 1)) == 1;
    uint32_t rows = 0;
    if (ok) {
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &rows);
        ok = ReadRows(tif, out, rows, error);
    } else {
        error = "no page " + std::to_string(page);
    }
    TIFFClose(tif);
    return ok;
}

bool DecodeApfPage(const std::string &apfPath, int page, uint32_t rows, Bitmap &out,
                   std::string &error) {
    TApfFileSource source;
    TApfFileHeader header;
    TApfPageHeader pageHeader;
    uint64_t offset = 0;
    if (source.Open(apfPath) != 0 || ReadFileHeader(source, header) != 0 ||
        FindPage(source, header, static_cast<uint32_t>(page), pageHeader, offset) != 0) {
        error = "APF page " + std::to_string(page) + " not found";
        return false;
    }
    std::vector<uint8_t> data;
    TApfPageData reader(source, offset, pageHeader);
    std::vector<uint8_t> chunk(TApfPageData::kChunk);
    for (;;) {
        size_t got = 0;
        if (reader.Next(chunk.data(), got) != 0) {
            error = "APF page data unreadable";
            return false;
        }
        if (got == 0) {
            break;
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<long>(got));
    }
    std::string tmp = apfPath + ".page" + std::to_string(page) + ".tif";
    TIFFSetWarningHandler(QuietTiff);
    TIFF *w = TIFFOpen(tmp.c_str(), "w");
    if (w == nullptr) {
        error = "cannot write " + tmp;
        return false;
    }
    uint32_t width = pageHeader.Width();
    TIFFSetField(w, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(w, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(w, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(w, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(w, TIFFTAG_ROWSPERSTRIP, rows);
    TIFFSetField(w, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(w, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(w, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(w, TIFFTAG_GROUP3OPTIONS, 0);
    TIFFSetField(w, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFWriteRawStrip(w, 0, data.data(), static_cast<tmsize_t>(data.size()));
    TIFFClose(w);
    TIFF *r = TIFFOpen(tmp.c_str(), "r");
    if (r == nullptr) {
        error = "cannot reopen " + tmp;
        return false;
    }
    out.width = width;
    bool ok = ReadRows(r, out, rows, error);
    TIFFClose(r);
    std::filesystem::remove(tmp);
    return ok;
}

std::string ComparePage(const std::string &apfPath, int page, const std::string &tiffPath,
                        int tiffPage) {
    Bitmap sent;
    Bitmap got;
    std::string error;
    if (!ReadTiffPage(tiffPath, tiffPage, sent, error)) {
        return "sent page: " + error;
    }
    if (!DecodeApfPage(apfPath, page, sent.rows, got, error)) {
        return "received page " + std::to_string(page) + ": " + error;
    }
    if (got.width != sent.width) {
        return "width " + std::to_string(got.width) + " instead of " + std::to_string(sent.width);
    }
    for (uint32_t r = 0; r < sent.rows; ++r) {
        if (got.lines[r] != sent.lines[r]) {
            return "row " + std::to_string(r) + " differs";
        }
    }
    return {};
}

} // namespace quillon::fax::test
