#include "records/password.h"

#include <algorithm>
#include <cstring>

#include <openssl/sha.h>

namespace quillon::records {

Sha1Digest PasswordKey(const std::string &password) {
    Sha1Digest key{};
    SHA1(reinterpret_cast<const unsigned char *>(password.data()), password.size(), key.data());
    return key;
}

Sha1Digest PasswordCheck(const Sha1Digest &key) {
    size_t n = static_cast<size_t>(std::find(key.begin(), key.end(), 0) - key.begin());
    Sha1Digest check{};
    SHA1(key.data(), n, check.data());
    return check;
}

void TransformChunk(const Sha1Digest &key, uint8_t *data, size_t size) {
    uint32_t s = 0;
    for (size_t w = 0; w < 5; ++w) {
        s ^= uint32_t{key[w * 4]} | (uint32_t{key[w * 4 + 1]} << 8) |
             (uint32_t{key[w * 4 + 2]} << 16) | (uint32_t{key[w * 4 + 3]} << 24);
    }
    size_t words = size / 4;
    for (size_t w = 0; w < words; ++w) {
        s = s * 1664525u + 1013904223u;
        uint8_t *p = data + w * 4;
        p[0] ^= static_cast<uint8_t>(s);
        p[1] ^= static_cast<uint8_t>(s >> 8);
        p[2] ^= static_cast<uint8_t>(s >> 16);
        p[3] ^= static_cast<uint8_t>(s >> 24);
    }
    auto c = static_cast<uint8_t>(s);
    for (size_t i = words * 4; i < size; ++i) {
        c = static_cast<uint8_t>(c * 13 + 95);
        data[i] ^= c;
    }
}

size_t SectionChunkSize(uint64_t sectionLength) {
    return static_cast<size_t>(std::clamp<uint64_t>(sectionLength, 1024, 524288));
}

} // namespace quillon::records
