// SPDX-License-Identifier: GPL-2.0-or-later
#include "local/tlv_class.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(TlvClass, ShortestAndLongestMessagesKeepTheirLayout) {
  TLV_CLASS empty(TAG_NOP, 0, nullptr);
  const unsigned char expectedEmpty[] = {TAG_NOP, 0, 0};  // tag, length, spare byte
  EXPECT_EQ(memcmp(empty.getRaw(), expectedEmpty, 3), 0);
  EXPECT_EQ(empty.getWireLength(), 2u);

  std::vector<unsigned char> value(255);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>(i ^ 0x5a);
  TLV_CLASS longest(TAG_FILE_XFER, 255, value.data());
  std::vector<unsigned char> original = value;
  value.assign(value.size(), 0);  // the message holds its own copy
  EXPECT_EQ(longest.getRaw()[0], TAG_FILE_XFER);
  EXPECT_EQ(longest.getRaw()[1], 255);
  EXPECT_EQ(memcmp(longest.getRaw() + 2, original.data(), 255), 0);
  EXPECT_EQ(longest.getWireLength(), TLV_MAX_WIRE_LENGTH);
  longest.getValue()[longest.getLength()] = '\0';  // the spare byte is inside the buffer
}

TEST(TlvClass, DaemonMessagesHaveTheirWireForm) {
  const unsigned char slot = 1;
  TLV_CLASS end(TAG_END_TX, 1, &slot);
  const unsigned char expectedEnd[] = {2, 1, 1};
  ASSERT_EQ(end.getWireLength(), sizeof(expectedEnd));
  EXPECT_EQ(memcmp(end.getRaw(), expectedEnd, sizeof(expectedEnd)), 0);

  unsigned char voice[28] = {1};
  for (int i = 1; i < 28; ++i) voice[i] = static_cast<unsigned char>(0xA0 + i);
  TLV_CLASS ambe(TAG_AMBE_72, sizeof(voice), voice);
  ASSERT_EQ(ambe.getWireLength(), 30u);
  EXPECT_EQ(ambe.getRaw()[0], 7);
  EXPECT_EQ(ambe.getRaw()[1], 28);
  EXPECT_EQ(memcmp(ambe.getRaw() + 2, voice, sizeof(voice)), 0);

  const char command[] = "TG=91";  // a command sent without its zero byte
  TLV_CLASS remote(TAG_REMOTE_CMD, 5, reinterpret_cast<const unsigned char*>(command));
  remote.getValue()[remote.getLength()] = '\0';
  EXPECT_STREQ(reinterpret_cast<const char*>(remote.getValue()), "TG=91");
}

TEST(TlvClass, ConstructMayCopyFromTheBufferItReplaces) {
  const unsigned char value[] = {9, 8, 7};
  TLV_CLASS message(TAG_SET_INFO, 3, value);
  message.construct(TAG_TG_TUNE, 2, message.getValue() + 1);  // must not read freed memory
  const unsigned char expected[] = {TAG_TG_TUNE, 2, 8, 7, 0};
  EXPECT_EQ(memcmp(message.getRaw(), expected, sizeof(expected)), 0);
}

}  // namespace
