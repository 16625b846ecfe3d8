// Feeds arbitrary bytes to the SMTP client's reply parser, as if a hostile host had sent
// them, in chunks chosen by the input, through the greeting, MAIL FROM, RCPT TO and DATA.

#include <cstddef>
#include <cstdint>
#include <string>

#include "mail/smtp_client.h"
#include "platform/event_loop.h"

namespace {

class ParserClient : public quillon::mail::TSmtpMimeClient {
  public:
    using TSmtpClientBase::SimulateConnectionForParser;
    using TSmtpMimeClient::TSmtpMimeClient;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto &loop = quillon::platform::EventLoop::current();
    {
        ParserClient client(loop);
        client.SetRcptName({"a@x", "b@x"});
        client.OnGetData = [](quillon::mail::TSmtpClientBase *, int lineNum, char *line, int,
                              bool &more) {
            line[0] = '.';
            line[1] = '\0';
            more = lineNum < 3;
        };
        client.SimulateConnectionForParser();
        // The first byte picks the chunk size, so that lines split across reads.
        size_t chunk = size > 0 ? (data[0] % 64) + 1 : 1;
        const char *p = reinterpret_cast<const char *>(data);
        for (size_t off = size > 0 ? 1 : 0; off < size; off += chunk) {
            size_t n = size - off < chunk ? size - off : chunk;
            try {
                client.ProcessReceivedBytes(p + off, n);
            } catch (const quillon::mail::SmtpException &) {
                // "Program error: FNext is nil" cannot be reached here; any other refusal
                // is an ordinary outcome for garbage.
            }
        }
        (void)client.State();
        (void)client.LastResponse();
    }
    loop.pump(); // the posted completions of this input
    return 0;
}
