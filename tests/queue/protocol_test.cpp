// The queue protocol's names in both directions: every name the opener
// forms parses back to what it was formed from, and the names of other
// files, wrong lengths, uppercase digits and stray suffixes parse as no
// request.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "queue/protocol.h"

namespace {

const std::string kHex = "000102030405060708090a0b0c0d0e0f";
const std::string kStem = "1796873372279-" + kHex;

TEST(ProtocolTest, FormedNamesParseBack) {
  for (int64_t ms : {INT64_C(0), INT64_C(1), INT64_C(1796873372279), INT64_C(100000000000000), INT64_MAX}) {
    std::string stem = CVFormatStem(ms, kHex);
    std::optional<int64_t> parsed;
    ASSERT_TRUE(CVParseStem(stem, &parsed)) << stem;
    EXPECT_EQ(parsed, ms) << stem;

    CVQueueName queued = CVParseQueueName(CVQueuedName(stem));
    EXPECT_EQ(queued.kind, CVQueueName::kQueued) << stem;
    EXPECT_EQ(queued.stem, stem);
    EXPECT_EQ(queued.ms, ms);

    CVQueueName claimed = CVParseQueueName(CVClaimedName(stem));
    EXPECT_EQ(claimed.kind, CVQueueName::kClaimed) << stem;
    EXPECT_EQ(claimed.stem, stem);
  }
  EXPECT_EQ(CVQueuedName(kStem), kStem + ".json");
  EXPECT_EQ(CVClaimedName(kStem), kStem + ".claimed");
  EXPECT_EQ(CVTempName(kHex), "." + kHex + ".tmp");
  EXPECT_EQ(CVParseQueueName(CVTempName(kHex)).kind, CVQueueName::kTemp);
}

TEST(ProtocolTest, StemsThatOverflowStillCount) {
  std::string stem = "99999999999999999999-" + kHex;
  std::optional<int64_t> ms = 7;
  EXPECT_TRUE(CVParseStem(stem, &ms));
  EXPECT_EQ(ms, std::nullopt);
  CVQueueName name = CVParseQueueName(stem + ".json");
  EXPECT_EQ(name.kind, CVQueueName::kQueued);
  EXPECT_EQ(name.ms, std::nullopt);
}

TEST(ProtocolTest, ClassifiesQueueNames) {
  struct Case {
    std::string name;
    CVQueueName::Kind kind;
  };
  const Case cases[] = {
      {kStem + ".json", CVQueueName::kQueued},
      {kStem + ".claimed", CVQueueName::kClaimed},
      {"0000000000000-" + kHex + ".json", CVQueueName::kQueued},
      {"." + kHex + ".tmp", CVQueueName::kTemp},
      // Wrong lengths: 12 digits, 31 or 33 hexadecimal digits.
      {"179687337227-" + kHex + ".json", CVQueueName::kOther},
      {"1796873372279-" + kHex.substr(1) + ".json", CVQueueName::kOther},
      {kStem + "0.json", CVQueueName::kOther},
      {"." + kHex.substr(1) + ".tmp", CVQueueName::kOther},
      {"." + kHex + "0.tmp", CVQueueName::kOther},
      // Uppercase hexadecimal digits.
      {"1796873372279-000102030405060708090A0B0C0D0E0F.json", CVQueueName::kOther},
      {".000102030405060708090A0B0C0D0E0F.tmp", CVQueueName::kOther},
      // No dash, another separator, a sign, a non-digit.
      {"1796873372279" + kHex + ".json", CVQueueName::kOther},
      {"1796873372279_" + kHex + ".json", CVQueueName::kOther},
      {"-796873372279-" + kHex + ".json", CVQueueName::kOther},
      {"179687337227x-" + kHex + ".json", CVQueueName::kOther},
      // Suffixes: missing, doubled, another case, on a temporary name.
      {kStem, CVQueueName::kOther},
      {kStem + ".JSON", CVQueueName::kOther},
      {kStem + ".json.tmp", CVQueueName::kOther},
      {kStem + ".claimed.json", CVQueueName::kOther},
      {kStem + ".tmp", CVQueueName::kOther},
      {"." + kHex + ".json", CVQueueName::kOther},
      {"." + kStem + ".json", CVQueueName::kOther},
      // Names of other files.
      {"", CVQueueName::kOther},
      {".json", CVQueueName::kOther},
      {".claimed", CVQueueName::kOther},
      {".tmp", CVQueueName::kOther},
      {"agent.lock", CVQueueName::kOther},
      {"agent.log", CVQueueName::kOther},
      {"open-requests", CVQueueName::kOther},
      {"other.json", CVQueueName::kOther},
  };
  for (const Case& c : cases) {
    CVQueueName got = CVParseQueueName(c.name);
    EXPECT_EQ(got.kind, c.kind) << "\"" << c.name << "\"";
    if (c.kind == CVQueueName::kOther || c.kind == CVQueueName::kTemp) {
      EXPECT_EQ(got.stem, "") << c.name;
      EXPECT_EQ(got.ms, std::nullopt) << c.name;
    }
    // A stem of a parsed request name is itself a stem.
    if (c.kind == CVQueueName::kQueued || c.kind == CVQueueName::kClaimed) {
      EXPECT_TRUE(CVParseStem(got.stem)) << c.name;
    }
  }
}

TEST(ProtocolTest, StemBeforeIsTheAgentsLenientReading) {
  EXPECT_EQ(CVStemBefore(kStem + ".json", kCVQueuedSuffix), kStem);
  EXPECT_EQ(CVStemBefore("abc.json", kCVQueuedSuffix), "abc");
  EXPECT_EQ(CVStemBefore("abc.claimed", kCVClaimedSuffix), "abc");
  EXPECT_EQ(CVStemBefore("abc.claimed", kCVQueuedSuffix), std::nullopt);
  EXPECT_EQ(CVStemBefore(".abc.json", kCVQueuedSuffix), std::nullopt);
  EXPECT_EQ(CVStemBefore(".json", kCVQueuedSuffix), std::nullopt);
  EXPECT_EQ(CVStemBefore("", kCVQueuedSuffix), std::nullopt);
}

TEST(ProtocolTest, BundleOfAProgramInContentsMacOS) {
  struct Case {
    std::string exe;
    std::optional<std::string> bundle;
  };
  const Case cases[] = {
      {"/usr/lib/corvantis/Corvantis.app/Contents/MacOS/corvantis-opener", "/usr/lib/corvantis/Corvantis.app"},
      {"/Contents/MacOS/corvantis-opener", ""},
      {"/a/Contents/MacOS/", "/a"},
      {"/a/Contents/MacOS/Contents/MacOS/x", "/a/Contents/MacOS"},
      {"/a/Contents/MacOS/sub/x", std::nullopt},
      {"/a/Contents/MacOS//x", std::nullopt},
      {"/a/Contents/macos/x", std::nullopt},
      {"/a/XContents/MacOS/x", std::nullopt},
      {"/build/corvantis-opener", std::nullopt},
      {"corvantis-opener", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(CVBundleOf(c.exe), c.bundle) << c.exe;
  EXPECT_EQ(std::string(kCVBundleAgent), "Contents/Resources/agent/CorvantisAgent");
}

}  // namespace
