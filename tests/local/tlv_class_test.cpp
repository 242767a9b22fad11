#include "local/tlv_class.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(TlvClass, EmptyValueKeepsTagLengthAndSpareByte) {
  TLV_CLASS message(TAG_NOP, 0, nullptr);
  const unsigned char* raw = message.getRaw();
  EXPECT_EQ(raw[0], TAG_NOP);
  EXPECT_EQ(raw[1], 0);
  EXPECT_EQ(raw[2], 0);  // the spare byte
  EXPECT_EQ(message.getWireLength(), 2u);
}

TEST(TlvClass, LongestValueIsCopiedWhole) {
  std::vector<unsigned char> value(255);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>(i ^ 0x5a);
  TLV_CLASS message(TAG_FILE_XFER, 255, value.data());
  value.assign(value.size(), 0);  // the message holds its own copy
  const unsigned char* raw = message.getRaw();
  EXPECT_EQ(raw[0], TAG_FILE_XFER);
  EXPECT_EQ(raw[1], 255);
  for (size_t i = 0; i < 255; ++i) ASSERT_EQ(raw[2 + i], static_cast<unsigned char>(i ^ 0x5a)) << i;
  EXPECT_EQ(message.getWireLength(), TLV_MAX_WIRE_LENGTH);
  // Writing the spare byte after the longest value stays inside the buffer.
  message.getValue()[message.getLength()] = '\0';
}

TEST(TlvClass, DaemonMessagesHaveTheirWireForm) {
  const unsigned char slot = 1;
  TLV_CLASS end(TAG_END_TX, 1, &slot);
  const unsigned char expectedEnd[] = {2, 1, 1};
  ASSERT_EQ(end.getWireLength(), sizeof(expectedEnd));
  EXPECT_EQ(memcmp(end.getRaw(), expectedEnd, sizeof(expectedEnd)), 0);

  unsigned char voice[28];
  voice[0] = 1;
  for (int i = 1; i < 28; ++i) voice[i] = static_cast<unsigned char>(0xA0 + i);
  TLV_CLASS ambe(TAG_AMBE_72, sizeof(voice), voice);
  ASSERT_EQ(ambe.getWireLength(), 30u);
  EXPECT_EQ(ambe.getRaw()[0], 7);
  EXPECT_EQ(ambe.getRaw()[1], 28);
  EXPECT_EQ(memcmp(ambe.getRaw() + 2, voice, sizeof(voice)), 0);
}

TEST(TlvClass, SpareByteEndsACommandAsText) {
  const char command[] = "TG=91";  // sent without its zero byte
  TLV_CLASS message(TAG_REMOTE_CMD, 5, reinterpret_cast<const unsigned char*>(command));
  message.getValue()[message.getLength()] = '\0';
  EXPECT_STREQ(reinterpret_cast<const char*>(message.getValue()), "TG=91");
}

TEST(TlvClass, ConstructReplacesTheBufferAndMayCopyFromIt) {
  const unsigned char value[] = {9, 8, 7};
  TLV_CLASS message(TAG_SET_INFO, 3, value);
  // Rebuilding from the message's own value must not read freed memory.
  message.construct(TAG_TG_TUNE, 2, message.getValue() + 1);
  EXPECT_EQ(message.getTag(), TAG_TG_TUNE);
  EXPECT_EQ(message.getLength(), 2);
  EXPECT_EQ(message.getValue()[0], 8);
  EXPECT_EQ(message.getValue()[1], 7);
  EXPECT_EQ(message.getValue()[2], 0);
}

TEST(TlvClass, TagCodesMatchTheWire) {
  const unsigned char codes[] = {TAG_BEGIN_TX, TAG_END_TX, TAG_TG_TUNE,   TAG_REMOTE_CMD, TAG_AMBE_49, TAG_AMBE_72,
                                 TAG_SET_INFO, TAG_IMBE,   TAG_DSAMBE,    TAG_FILE_XFER,  TAG_NOP,     TAG_EVENT};
  const unsigned char expected[] = {0, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  EXPECT_EQ(memcmp(codes, expected, sizeof(expected)), 0);
}

}  // namespace
