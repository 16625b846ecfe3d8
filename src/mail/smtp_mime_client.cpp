#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>

#include "mail/smtp_client.h"
#include "mail/text_p.h"

namespace quillon::mail {

namespace net = platform::net;

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBytesPerLine = 45; // 15 groups of 3 bytes: 60 characters (RFC 2045 6.8)

bool startsWithNoCase(const char *text, const char *prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::toupper(static_cast<unsigned char>(*text)) !=
            std::toupper(static_cast<unsigned char>(*prefix))) {
            return false;
        }
    }
    return true;
}

void copyLine(const std::string &line, char *area, int maxLen) {
    size_t n = std::min(line.size(), static_cast<size_t>(maxLen > 0 ? maxLen : 0));
    std::memcpy(area, line.data(), n);
    area[n] = '\0';
}

// The file name as a quoted-string parameter value: no quote, backslash or line break.
std::string quotedName(const std::string &path) {
    std::string name = SingleLine(std::filesystem::path(path).filename().string());
    for (char &c : name) {
        if (c == '"' || c == '\\') {
            c = '_';
        }
    }
    return "\"" + name + "\"";
}

} // namespace

std::string TSmtpMimeClient::NewBoundary() {
    // "= " cannot occur in base64 text; the 128 random bits make the boundary unique to
    // the message and unknown to whoever wrote its body (RFC 2046 5.1.1).
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device random;
    std::string out = "= Multipart Boundary ";
    for (int i = 0; i < 4; ++i) {
        uint32_t v = random();
        for (int k = 0; k < 8; ++k) {
            out += kHex[(v >> (4 * k)) & 15];
        }
    }
    return out;
}

TSmtpMimeClient::~TSmtpMimeClient() {
    closeFile();
}

void TSmtpMimeClient::SetEmailFiles(const std::vector<std::string> &lines) {
    emailFiles_.clear();
    for (const std::string &raw : lines) {
        std::string path = detail::Trimmed(raw);
        if (path.empty()) {
            continue;
        }
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            throw SmtpException("File not found '" + path + "'", platform::kErrFileNotFound);
        }
        emailFiles_.push_back(path);
    }
}

bool TSmtpMimeClient::EncodeLine(std::FILE *file, std::string &out, bool &eof, uint64_t &count) {
    unsigned char in[kBytesPerLine];
    size_t n = std::fread(in, 1, sizeof in, file);
    if (std::ferror(file) != 0) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < n; i += 3) {
        size_t left = n - i;
        uint32_t v = static_cast<uint32_t>(in[i]) << 16;
        if (left > 1) {
            v |= static_cast<uint32_t>(in[i + 1]) << 8;
        }
        if (left > 2) {
            v |= in[i + 2];
        }
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += left > 1 ? kBase64[(v >> 6) & 63] : '=';
        out += left > 2 ? kBase64[v & 63] : '=';
    }
    count += n;
    if (n < sizeof in) {
        eof = true;
        return true;
    }
    // A full line: the file is exhausted only if no further byte follows.
    int c = std::getc(file);
    if (c == EOF) {
        if (std::ferror(file) != 0) {
            return false;
        }
        eof = true;
    } else {
        std::ungetc(c, file);
        eof = false;
    }
    return true;
}

void TSmtpMimeClient::closeFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

bool TSmtpMimeClient::startFile(std::string &error) {
    const std::string &path = emailFiles_[fileIndex_];
    closeFile();
    std::error_code ec;
    fileSize_ = std::filesystem::file_size(path, ec);
    if (ec) {
        error = "Cannot read attachment '" + path + "': " + ec.message();
        return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error = "Cannot open attachment '" + path + "'";
        return false;
    }
    fileRead_ = 0;
    return true;
}

void TSmtpMimeClient::PrepareMessage() {
    bodyFlag_ = true;
    fileIndex_ = 0;
    ownerLine_ = 0;
    fileStarted_ = false;
    closeFile();
    mimeLines_.clear();
    mimeHead_ = 0;
    if (emailFiles_.empty()) {
        boundary_.clear();
        return;
    }
    boundary_ = NewBoundary();
    mimeLines_ = {"This is a multipart MIME message.",
                  "",
                  "--" + boundary_,
                  "Content-Type: text/plain; charset=\"" + SingleLine(CharSet) + "\"",
                  "Content-Transfer-Encoding: 7bit",
                  ""};
}

void TSmtpMimeClient::TriggerHeaderLine(char *line, int size) {
    if (!boundary_.empty() && startsWithNoCase(line, "CONTENT-TYPE:")) {
        std::string replaced = "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary_ + "\"";
        copyLine(replaced, line, size - 1);
    }
    TSmtpClientBase::TriggerHeaderLine(line, size);
}

void TSmtpMimeClient::TriggerGetData(int /*lineNum*/, char *msgLine, int maxLen, bool &more) {
    if (mimeHead_ < mimeLines_.size()) {
        copyLine(mimeLines_[mimeHead_++], msgLine, maxLen);
        if (mimeHead_ == mimeLines_.size()) {
            mimeLines_.clear();
            mimeHead_ = 0;
        }
        more = true;
        return;
    }
    while (bodyFlag_) {
        ++ownerLine_;
        bool ownerMore = true;
        msgLine[0] = '\0';
        TSmtpClientBase::TriggerGetData(ownerLine_, msgLine, maxLen, ownerMore);
        if (ownerMore && !boundary_.empty() && std::strstr(msgLine, boundary_.c_str()) != nullptr) {
            // The line would end the text part early and put the attachments after the
            // end marker; the boundary is random, so only a hostile body can hold it.
            throw SmtpException("Body line " + std::to_string(ownerLine_) +
                                " contains the MIME boundary");
        }
        if (ownerMore) {
            more = true;
            return;
        }
        bodyFlag_ = false;
    }
    if (fileStarted_) {
        std::string line;
        bool eof = false;
        const std::string &path = emailFiles_[fileIndex_];
        if (!EncodeLine(file_, line, eof, fileRead_)) {
            throw SmtpException("Cannot read attachment '" + path + "'", platform::kErrDeviceRead);
        }
        if (eof && fileRead_ != fileSize_) {
            // Sending what is there would deliver a damaged copy as if it were whole.
            throw SmtpException("Attachment '" + path + "' changed while it was being sent",
                                platform::kErrDeviceRead);
        }
        copyLine(line, msgLine, maxLen);
        if (eof) {
            closeFile();
            fileStarted_ = false;
            ++fileIndex_;
            if (fileIndex_ >= emailFiles_.size()) {
                mimeLines_ = {"", "--" + boundary_ + "--"};
                mimeHead_ = 0;
            }
        }
        more = true;
        return;
    }
    if (fileIndex_ < emailFiles_.size()) {
        const std::string &path = emailFiles_[fileIndex_];
        msgLine[0] = '\0';
        mimeLines_ = {"--" + boundary_,
                      "Content-Type: application/octet-stream;",
                      "\tname=" + quotedName(path),
                      "Content-Transfer-Encoding: base64",
                      "Content-Disposition: attachment;",
                      "\tfilename=" + quotedName(path),
                      ""};
        mimeHead_ = 0;
        std::string error;
        if (!startFile(error)) {
            throw SmtpException(error);
        }
        fileStarted_ = true;
        more = true;
        return;
    }
    more = false;
}

} // namespace quillon::mail
