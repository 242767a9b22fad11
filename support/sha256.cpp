// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/sha256.h"

#include <cstring>

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

void sha256_init(Sha256Context* ctx) {
  static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(ctx->state, kInitial, sizeof(kInitial));
  ctx->bitCount = 0;
  ctx->blockLength = 0;
}

void sha256_transform(Sha256Context* ctx, const uint8_t block[SHA256_BLOCK_SIZE]) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    w[t] = static_cast<uint32_t>(block[4 * t]) << 24 | static_cast<uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<uint32_t>(block[4 * t + 2]) << 8 | static_cast<uint32_t>(block[4 * t + 3]);
  }
  for (int t = 16; t < 64; ++t) {
    uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }

  uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
  uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
  for (int t = 0; t < 64; ++t) {
    uint32_t sum1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
    uint32_t choose = (e & f) ^ (~e & g);
    uint32_t t1 = h + sum1 + choose + kRoundConstants[t] + w[t];
    uint32_t sum0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
    uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  ctx->state[0] += a;
  ctx->state[1] += b;
  ctx->state[2] += c;
  ctx->state[3] += d;
  ctx->state[4] += e;
  ctx->state[5] += f;
  ctx->state[6] += g;
  ctx->state[7] += h;
}

void sha256_update(Sha256Context* ctx, const void* data, size_t length) {
  if (length == 0) return;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  ctx->bitCount += static_cast<uint64_t>(length) * 8;

  if (ctx->blockLength > 0) {
    size_t take = SHA256_BLOCK_SIZE - ctx->blockLength;
    if (take > length) take = length;
    memcpy(ctx->block + ctx->blockLength, bytes, take);
    ctx->blockLength += take;
    bytes += take;
    length -= take;
    if (ctx->blockLength < SHA256_BLOCK_SIZE) return;
    sha256_transform(ctx, ctx->block);
    ctx->blockLength = 0;
  }
  // Whole blocks straight from the caller's bytes, without copying.
  while (length >= SHA256_BLOCK_SIZE) {
    sha256_transform(ctx, bytes);
    bytes += SHA256_BLOCK_SIZE;
    length -= SHA256_BLOCK_SIZE;
  }
  if (length > 0) {
    memcpy(ctx->block, bytes, length);
    ctx->blockLength = length;
  }
}

void sha256_final(Sha256Context* ctx, uint8_t digest[SHA256_DIGEST_SIZE]) {
  const uint64_t bits = ctx->bitCount;

  // A single 1 bit, zeros up to 56 bytes into a block, then the length in bits.
  ctx->block[ctx->blockLength++] = 0x80;
  if (ctx->blockLength > SHA256_BLOCK_SIZE - 8) {
    memset(ctx->block + ctx->blockLength, 0, SHA256_BLOCK_SIZE - ctx->blockLength);
    sha256_transform(ctx, ctx->block);
    ctx->blockLength = 0;
  }
  memset(ctx->block + ctx->blockLength, 0, SHA256_BLOCK_SIZE - 8 - ctx->blockLength);
  for (int i = 0; i < 8; ++i) ctx->block[SHA256_BLOCK_SIZE - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  sha256_transform(ctx, ctx->block);

  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(ctx->state[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(ctx->state[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(ctx->state[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(ctx->state[i]);
  }
  sha256_init(ctx);
}
