// Fuzz target for the MIME assembly of the SMTP client: the input gives the body lines (and
// may quote the message's own boundary in them, as a hostile body would if it could guess
// it), the message is assembled with one attachment, and its structure is checked: either
// the client refuses the body, or the text part and the attachment each begin at their own
// delimiter line and the close delimiter is the last line, with no body line holding the
// boundary.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "mail/smtp_client.h"
#include "platform/event_loop.h"

namespace {

class Assembler : public quillon::mail::TSmtpMimeClient {
  public:
    using TSmtpMimeClient::TSmtpMimeClient;
    // The body as Data would send it, without a connection; false when the client refused.
    bool assemble(std::vector<std::string> &out) {
        PrepareMessage();
        char header[kLineAreaSize] = "Content-Type: text/plain";
        TriggerHeaderLine(header, kLineAreaSize);
        if (std::string(header).find(Boundary()) == std::string::npos) {
            std::abort(); // the header must announce the boundary in use
        }
        char line[kLineAreaSize + 2];
        for (int n = 1;; ++n) {
            bool more = true;
            line[0] = '\0';
            try {
                TriggerGetData(n, line, kLineAreaSize - 1, more);
            } catch (const quillon::mail::SmtpException &) {
                return false;
            }
            if (!more) {
                return true;
            }
            out.emplace_back(line);
        }
    }
};

const std::string &attachment() {
    static const std::string path = [] {
        auto p = std::filesystem::temp_directory_path() /
                 ("quillon-fuzz-mime-" + std::to_string(::getpid()) + ".APF");
        std::ofstream(p, std::ios::binary) << std::string(100, '\x5a');
        return p.string();
    }();
    return path;
}

} // namespace

namespace {

int check(const uint8_t *data, size_t size);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int rc = check(data, size);
    quillon::platform::EventLoop::current().pump(); // whatever the client posted
    return rc;
}

namespace {

int check(const uint8_t *data, size_t size) {
    auto &loop = quillon::platform::EventLoop::current();
    Assembler client(loop);
    client.SetEmailFiles({attachment()});
    // Body lines split at '\n'; a byte 0x01 stands for the boundary, 0x02 for "--".
    std::vector<std::string> body(1);
    for (size_t i = 0; i < size && body.size() < 200; ++i) {
        if (data[i] == '\n') {
            body.emplace_back();
        } else if (body.back().size() < 900) {
            body.back().push_back(static_cast<char>(data[i]));
        }
    }
    bool quoted = false;
    client.OnGetData = [&](quillon::mail::TSmtpClientBase *, int n, char *line, int maxLen,
                           bool &more) {
        if (n < 1 || static_cast<size_t>(n) > body.size()) {
            more = false;
            return;
        }
        std::string text;
        for (char c : body[static_cast<size_t>(n - 1)]) {
            if (c == '\x01') {
                text += client.Boundary();
                quoted = true;
            } else if (c == '\x02') {
                text += "--";
            } else if (c != '\0') {
                text += c;
            }
        }
        text.resize(std::min(text.size(), static_cast<size_t>(maxLen)));
        std::copy(text.begin(), text.end(), line);
        line[text.size()] = '\0';
    };
    std::vector<std::string> lines;
    const bool accepted = client.assemble(lines);
    const std::string delimiter = "--" + client.Boundary();
    if (!accepted) {
        if (!quoted) {
            std::abort(); // refused a body that never held the boundary
        }
        return 0;
    }
    size_t delimiters = 0;
    size_t closes = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == delimiter) {
            ++delimiters;
        } else if (lines[i] == delimiter + "--") {
            ++closes;
            if (i + 1 != lines.size()) {
                std::abort(); // something after the close delimiter
            }
        } else if (lines[i].find(client.Boundary()) != std::string::npos) {
            std::abort(); // a body line holding the boundary went out
        }
    }
    if (delimiters != 2 || closes != 1) {
        std::abort(); // the text part and the attachment, then the end
    }
    return 0;
}

} // namespace
