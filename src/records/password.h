#pragma once

// Password protection of a record file: K = SHA-1 of the password's bytes is the cipher
// key; the check value stored in the file is SHA-1 of K up to its first zero byte. Each
// section chunk is transformed on its own by a linear congruential key stream seeded from
// K, the same operation encrypting and decrypting.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon::records {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest PasswordKey(const std::string &password);
Sha1Digest PasswordCheck(const Sha1Digest &key);
void TransformChunk(const Sha1Digest &key, uint8_t *data, size_t size);

// Section copies go in chunks of the section's length bounded to 1024..524288 bytes.
size_t SectionChunkSize(uint64_t sectionLength);

} // namespace quillon::records
