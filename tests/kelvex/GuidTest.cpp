// GUIDs as the registry and the link write them.
#include "support/LiveBstrCheck.h"

#include <kelvex/Guid.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using kelvex::utility::Guid;

const _GUID kSample = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

TEST(Guid, ParsesTheWindowsLayoutFormatsItAndRefusesEverythingElse) {
  const std::pair<const char*, bool> cases[] = {
      {"{00112233-4455-6677-8899-AABBCCDDEEFF}", true},  {"00112233-4455-6677-8899-aAbBcCdDeEfF", true},
      {"{00112233-4455-6677-8899-AABBCCDDEEFF", false},  {"{0011223G-4455-6677-8899-AABBCCDDEEFF}", false},
      {"{0011223-34455-6677-8899-AABBCCDDEEFF}", false}, {"{00112233-4455-6677-8899-AABBCCDDEEF}", false},
      {"00112233445566778899AABBCCDDEEFF", false},       {"{+0112233-4455-6677-8899-AABBCCDDEEFF}", false}};
  for (const auto& [text, valid] : cases) {
    // Data1..Data3 are numbers as written; Data4 is the eight bytes in order.
    EXPECT_EQ(Guid::Parse(text), valid ? std::optional<Guid>(Guid(kSample)) : std::nullopt) << text;
    if (!valid) {
      EXPECT_THROW(Guid(std::string_view(text)), std::invalid_argument);
    }
  }
  EXPECT_EQ(Guid(kSample).ToString(), "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  _GUID lastByte = kSample;
  lastByte.Data4[7] ^= 1;
  EXPECT_TRUE(Guid() < Guid(lastByte) && Guid(lastByte) < Guid(kSample) && Guid().IsNull());
}

}  // namespace
