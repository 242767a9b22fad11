// SPDX-License-Identifier: GPL-2.0-or-later
// SHA-256 (FIPS 180-4): start, absorb any number of byte runs, finish into a
// 32-byte digest. The context is a plain record owned by the caller; the functions
// keep no other state, so separate contexts may be used on separate threads.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_BLOCK_SIZE = 64;
constexpr size_t SHA256_DIGEST_SIZE = 32;

struct Sha256Context {
  uint32_t state[8];                // the running hash value H0..H7
  uint64_t bitCount;                // message bits absorbed so far
  uint8_t block[SHA256_BLOCK_SIZE];  // bytes not yet run through the block function
  size_t blockLength;               // how many bytes of block are in use
};

void sha256_init(Sha256Context* ctx);
void sha256_update(Sha256Context* ctx, const void* data, size_t length);
// Pads, writes the digest and leaves the context ready for sha256_init again.
void sha256_final(Sha256Context* ctx, uint8_t digest[SHA256_DIGEST_SIZE]);
// The block function: mixes one 64-byte block into the running hash value.
void sha256_transform(Sha256Context* ctx, const uint8_t block[SHA256_BLOCK_SIZE]);
