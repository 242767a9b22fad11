// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Digest of the message fed in pieces of the given sizes, cycling through them.
std::string digestInPieces(const std::string& message, const std::vector<size_t>& pieces) {
  Sha256Context ctx;
  sha256_init(&ctx);
  size_t offset = 0;
  for (size_t i = 0; offset < message.size(); ++i) {
    size_t take = std::min(pieces[i % pieces.size()], message.size() - offset);
    sha256_update(&ctx, message.data() + offset, take);
    offset += take;
  }
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_final(&ctx, digest);
  return hex(digest, sizeof(digest));
}

struct Vector {
  std::string message;
  const char* digest;
};

// FIPS 180-4 examples and the NIST long-message vector.
std::vector<Vector> nistVectors() {
  return {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
       "rstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256, MatchesNistVectorsInOnePiece) {
  for (const Vector& v : nistVectors()) {
    EXPECT_EQ(digestInPieces(v.message, {v.message.size() + 1}), v.digest) << v.message.size() << " bytes";
  }
}

TEST(Sha256, IrregularPiecesGiveTheSameDigest) {
  const std::vector<std::vector<size_t>> splits = {{1}, {3, 61}, {63, 1, 64}, {65, 7}, {55, 9, 128, 2}};
  for (const Vector& v : nistVectors()) {
    for (const auto& pieces : splits) {
      EXPECT_EQ(digestInPieces(v.message, pieces), v.digest) << v.message.size() << " bytes, first piece "
                                                             << pieces[0];
    }
  }
}

TEST(Sha256, EveryLengthAroundThePaddingBoundaryAgreesWithPieces) {
  // 55, 56 and 64 bytes are where the padding needs one or two extra blocks.
  std::string message;
  for (int length = 0; length < 140; ++length) {
    EXPECT_EQ(digestInPieces(message, {message.size() + 1}), digestInPieces(message, {1, 2, 5}))
        << length << " bytes";
    message += static_cast<char>('a' + length % 26);
  }
}

TEST(Sha256, FinalLeavesTheContextReadyForANewMessage) {
  Sha256Context ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, "xyz", 3);
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_final(&ctx, digest);
  sha256_update(&ctx, "abc", 3);
  sha256_final(&ctx, digest);
  EXPECT_EQ(hex(digest, sizeof(digest)), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
