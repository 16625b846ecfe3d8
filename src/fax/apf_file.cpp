#include "fax/apf_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quillon::fax {

namespace {

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int32_t IoErrorCode(int err, bool writing) {
    return platform::IoErrorCode(err, writing ? platform::IoDirection::Writing
                                              : platform::IoDirection::Reading);
}

int32_t lastIoError(bool writing) {
    return IoErrorCode(errno != 0 ? errno : EIO, writing);
}

} // namespace

std::string TApfFileHeader::StationId() const {
    size_t n = std::min<size_t>(idLength, kApfStationIdMax);
    return std::string(reinterpret_cast<const char *>(idBytes), n);
}

void TApfFileHeader::Encode(uint8_t out[kApfFileHeaderSize]) const {
    std::memcpy(out, raw, kApfFileHeaderSize);
    std::memcpy(out, kApfSignature, sizeof kApfSignature);
    put32(out + 6, stamp);
    out[10] = idLength;
    std::memcpy(out + 11, idBytes, kApfStationIdMax);
    put16(out + 32, pageCount);
    put32(out + 34, firstPageOffset);
}

bool TApfFileHeader::Decode(const uint8_t in[kApfFileHeaderSize]) {
    if (std::memcmp(in, kApfSignature, sizeof kApfSignature) != 0) {
        return false;
    }
    std::memcpy(raw, in, kApfFileHeaderSize);
    stamp = get32(in + 6);
    idLength = in[10];
    std::memcpy(idBytes, in + 11, kApfStationIdMax);
    pageCount = get16(in + 32);
    firstPageOffset = get32(in + 34);
    return true;
}

void TApfPageHeader::Encode(uint8_t out[kApfPageHeaderSize]) const {
    std::memset(out, 0, kApfPageHeaderSize);
    put32(out, imageLength);
    put16(out + 4, flags);
}

void TApfPageHeader::Decode(const uint8_t in[kApfPageHeaderSize]) {
    imageLength = get32(in);
    flags = get16(in + 4);
}

uint32_t DosStamp(const std::tm &local) {
    int year = local.tm_year + 1900;
    if (year < 1980 || year > 2099) {
        return 0;
    }
    uint32_t date =
        static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    uint32_t time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) |
                                          (std::min(local.tm_sec, 59) / 2));
    return (date << 16) | time;
}

uint32_t DosStampNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    return DosStamp(local);
}

// ---- writer ----

TApfWriter::~TApfWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

int32_t TApfWriter::writeAt(uint64_t offset, const uint8_t *data, size_t n) {
    errno = 0;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) {
        return lastIoError(true);
    }
    if (n == 0) {
        return 0;
    }
    size_t done = std::fwrite(data, 1, n, file_);
    if (done != n) {
        return errno != 0 ? lastIoError(true) : kErrDeviceWrite;
    }
    return 0;
}

int32_t TApfWriter::writeHeader() {
    header_.stamp = stampSource_ ? stampSource_() : DosStampNow();
    uint8_t bytes[kApfFileHeaderSize];
    header_.Encode(bytes);
    return writeAt(0, bytes, sizeof bytes);
}

int32_t TApfWriter::OpenFaxFile(const std::string &path, std::string_view remoteId) {
    if (path.empty()) {
        return kErrFileNotFound;
    }
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    errno = 0;
    file_ = std::fopen(path.c_str(), "w+b");
    if (file_ == nullptr) {
        return lastIoError(true);
    }
    path_ = path;
    header_ = TApfFileHeader{};
    SetRemoteId(remoteId);
    header_.idLength = kApfStationIdMax;
    std::memset(header_.idBytes, ' ', kApfStationIdMax);
    std::memcpy(header_.idBytes, remoteId_.data(), remoteId_.size());
    header_.pageCount = 0;
    header_.firstPageOffset = kApfFileHeaderSize;
    pageOpen_ = false;
    bufferUsed_ = 0;
    pageBytes_ = 0;
    endOffset_ = kApfFileHeaderSize;
    if (int32_t rc = writeHeader(); rc != 0) {
        return rc;
    }
    return std::fflush(file_) == 0 ? 0 : lastIoError(true);
}

void TApfWriter::SetRemoteId(std::string_view remoteId) {
    remoteId_ = std::string(remoteId.substr(0, kApfStationIdMax));
}

int32_t TApfWriter::BeginPage(uint16_t flags) {
    if (file_ == nullptr) {
        return kErrBadArgument;
    }
    if (pageOpen_) {
        // A page begun twice without an end: the first one is dropped, as a discard would.
        if (int32_t rc = DiscardPage(); rc != 0) {
            return rc;
        }
    }
    TApfPageHeader page;
    page.imageLength = 0;
    page.flags = static_cast<uint16_t>(flags & (kApfFine | kApfWide));
    uint8_t bytes[kApfPageHeaderSize];
    page.Encode(bytes);
    if (int32_t rc = writeAt(endOffset_, bytes, sizeof bytes); rc != 0) {
        return rc;
    }
    pageOpen_ = true;
    pageFlags_ = page.flags;
    pageOffset_ = endOffset_;
    endOffset_ += kApfPageHeaderSize;
    pageBytes_ = 0;
    bufferUsed_ = 0;
    return 0;
}

int32_t TApfWriter::AppendPageData(std::span<const uint8_t> bytes) {
    if (!pageOpen_) {
        return kErrBadArgument;
    }
    while (!bytes.empty()) {
        size_t take = std::min(bytes.size(), kApfPageBufferSize - bufferUsed_);
        std::memcpy(buffer_ + bufferUsed_, bytes.data(), take);
        bufferUsed_ += take;
        pageBytes_ += static_cast<uint32_t>(take);
        bytes = bytes.subspan(take);
        if (bufferUsed_ == kApfPageBufferSize) {
            if (int32_t rc = FlushPageBuffer(); rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

int32_t TApfWriter::AppendPageByte(uint8_t byte) {
    return AppendPageData(std::span<const uint8_t>(&byte, 1));
}

int32_t TApfWriter::FlushPageBuffer() {
    if (file_ == nullptr || bufferUsed_ == 0) {
        return 0;
    }
    int32_t rc = writeAt(endOffset_, buffer_, bufferUsed_);
    if (rc == 0) {
        endOffset_ += bufferUsed_;
        bufferUsed_ = 0;
    }
    return rc;
}

int32_t TApfWriter::EndPage() {
    if (!pageOpen_) {
        return kErrBadArgument;
    }
    if (int32_t rc = FlushPageBuffer(); rc != 0) {
        return rc;
    }
    header_.pageCount = static_cast<uint16_t>(header_.pageCount + 1);
    header_.idLength = static_cast<uint8_t>(remoteId_.size());
    std::memcpy(header_.idBytes, remoteId_.data(), remoteId_.size());
    if (int32_t rc = writeHeader(); rc != 0) {
        return rc;
    }
    // The open page's header sits where BeginPage put it, which is where the page chain of
    // the counted pages leads (discarded pages were cut off the file).
    TApfPageHeader page;
    page.imageLength = static_cast<uint32_t>(endOffset_ - pageOffset_ - kApfPageHeaderSize);
    page.flags = pageFlags_;
    uint8_t bytes[kApfPageHeaderSize];
    page.Encode(bytes);
    if (int32_t rc = writeAt(pageOffset_, bytes, sizeof bytes); rc != 0) {
        return rc;
    }
    pageOpen_ = false;
    errno = 0;
    if (std::fflush(file_) != 0) {
        return lastIoError(true);
    }
    if (std::fseek(file_, static_cast<long>(endOffset_), SEEK_SET) != 0) {
        return lastIoError(true);
    }
    return 0;
}

int32_t TApfWriter::DiscardPage() {
    if (!pageOpen_) {
        return kErrBadArgument;
    }
    pageOpen_ = false;
    bufferUsed_ = 0;
    pageBytes_ = 0;
    errno = 0;
    if (std::fflush(file_) != 0) {
        return lastIoError(true);
    }
    std::error_code ec;
    std::filesystem::resize_file(path_, pageOffset_, ec);
    if (ec) {
        return IoErrorCode(ec.value(), true);
    }
    endOffset_ = pageOffset_;
    if (std::fseek(file_, static_cast<long>(endOffset_), SEEK_SET) != 0) {
        return lastIoError(true);
    }
    return 0;
}

int32_t TApfWriter::FinishFaxFile() {
    if (file_ == nullptr) {
        return 0;
    }
    int32_t rc = FlushPageBuffer();
    errno = 0;
    if (std::fclose(file_) != 0 && rc == 0) {
        rc = lastIoError(true);
    }
    file_ = nullptr;
    pageOpen_ = false;
    return rc;
}

// ---- reader ----

TApfFileSource::~TApfFileSource() {
    Close();
}

int32_t TApfFileSource::Open(const std::string &path) {
    Close();
    if (path.empty()) {
        return kErrFileNotFound;
    }
    errno = 0;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        return lastIoError(false);
    }
    position_ = 0;
    return 0;
}

void TApfFileSource::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

int32_t TApfFileSource::ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) {
    got = 0;
    if (file_ == nullptr) {
        return kErrFileNotOpen;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return 0;
    }
    if (offset != position_) {
        errno = 0;
        if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) {
            position_ = UINT64_MAX;
            return lastIoError(false);
        }
        position_ = offset;
    }
    errno = 0;
    got = std::fread(buf, 1, n, file_);
    position_ += got;
    if (got < n && std::ferror(file_) != 0) {
        std::clearerr(file_);
        position_ = UINT64_MAX;
        return lastIoError(false);
    }
    return 0;
}

int32_t TApfMemorySource::ReadAt(uint64_t offset, uint8_t *buf, size_t n, size_t &got) {
    got = 0;
    if (offset >= bytes_.size()) {
        return 0;
    }
    got = std::min<uint64_t>(n, bytes_.size() - offset);
    std::memcpy(buf, bytes_.data() + offset, got);
    return 0;
}

int32_t ReadFileHeader(TApfSource &source, TApfFileHeader &header) {
    uint8_t bytes[kApfFileHeaderSize];
    size_t got = 0;
    if (int32_t rc = source.ReadAt(0, bytes, sizeof bytes, got); rc != 0) {
        return rc;
    }
    if (got != sizeof bytes || !header.Decode(bytes)) {
        return kErrNotApfFile;
    }
    return 0;
}

int32_t FindPage(TApfSource &source, const TApfFileHeader &header, uint32_t page,
                 TApfPageHeader &pageHeader, uint64_t &dataOffset) {
    if (page > header.pageCount) {
        return kErrNotApfFile;
    }
    if (page == 0) {
        return 0;
    }
    uint64_t offset = header.firstPageOffset;
    uint8_t bytes[kApfPageHeaderSize];
    for (uint32_t n = 1;; ++n) {
        size_t got = 0;
        if (int32_t rc = source.ReadAt(offset, bytes, sizeof bytes, got); rc != 0) {
            return rc;
        }
        if (got != sizeof bytes) {
            return kErrNotApfFile;
        }
        pageHeader.Decode(bytes);
        if (n == page) {
            dataOffset = offset + kApfPageHeaderSize;
            return 0;
        }
        offset += kApfPageHeaderSize + static_cast<uint64_t>(pageHeader.imageLength);
    }
}

int32_t ReadFileHeader(const std::string &path, TApfFileHeader &header) {
    TApfFileSource file;
    if (int32_t rc = file.Open(path); rc != 0) {
        return rc;
    }
    return ReadFileHeader(file, header);
}

int32_t ReadPageHeader(const std::string &path, uint32_t page, TApfPageHeader &pageHeader) {
    TApfFileSource file;
    if (int32_t rc = file.Open(path); rc != 0) {
        return rc;
    }
    TApfFileHeader header;
    if (int32_t rc = ReadFileHeader(file, header); rc != 0) {
        return rc;
    }
    uint64_t dataOffset = 0;
    return FindPage(file, header, page, pageHeader, dataOffset);
}

bool IsApfFile(const std::string &path) {
    TApfFileSource file;
    if (file.Open(path) != 0) {
        return false;
    }
    uint8_t bytes[sizeof kApfSignature];
    size_t got = 0;
    return file.ReadAt(0, bytes, sizeof bytes, got) == 0 && got == sizeof bytes &&
           std::memcmp(bytes, kApfSignature, sizeof bytes) == 0;
}

int32_t TApfPageData::Next(uint8_t *buf, size_t &got) {
    got = 0;
    const uint64_t length = header_.imageLength;
    if (!header_.BlockMode()) {
        if (consumed_ >= length) {
            return 0;
        }
        size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, length - consumed_));
        if (int32_t rc = source_.ReadAt(offset_ + consumed_, buf, want, got); rc != 0) {
            return rc;
        }
        if (got == 0) {
            return kErrNotApfFile;
        }
        consumed_ += got;
        return 0;
    }
    // Block mode: skip empty blocks; each step moves at least two bytes on.
    while (consumed_ < length) {
        if (length - consumed_ < 2) {
            consumed_ = length;
            return 0;
        }
        uint8_t lenBytes[2];
        size_t n = 0;
        if (int32_t rc = source_.ReadAt(offset_ + consumed_, lenBytes, 2, n); rc != 0) {
            return rc;
        }
        if (n != 2) {
            return kErrNotApfFile;
        }
        uint64_t blockLength = get16(lenBytes);
        uint64_t start = consumed_ + 2;
        uint64_t inPage = std::min<uint64_t>(blockLength, length - start);
        consumed_ = start + inPage;
        size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, inPage));
        if (want == 0) {
            continue;
        }
        if (int32_t rc = source_.ReadAt(offset_ + start, buf, want, got); rc != 0) {
            return rc;
        }
        if (got == 0) {
            return kErrNotApfFile;
        }
        return 0;
    }
    return 0;
}

} // namespace quillon::fax
