// A document's path as the controller judges it: its last component,
// whether a request can carry it, and its name made displayable.
#include "opener/document_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cv::PathFault;

struct Utf8Case {
  const char* name;
  std::string text;
  bool valid;
  std::string displayed;  // MakeValidUtf8
};
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Test, ValidityAndReplacement) {
  EXPECT_EQ(cv::IsValidUtf8(GetParam().text), GetParam().valid);
  EXPECT_EQ(cv::MakeValidUtf8(GetParam().text), GetParam().displayed);
  EXPECT_TRUE(cv::IsValidUtf8(cv::MakeValidUtf8(GetParam().text)));
}

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Test,
    ::testing::Values(
        Utf8Case{"Empty", "", true, ""},
        Utf8Case{"Ascii", "plan.corva", true, "plan.corva"},
        Utf8Case{"TwoThreeFourBytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true,
                 "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        Utf8Case{"LastCodePoint", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},
        Utf8Case{"Nul", std::string("a\0b", 3), true, std::string("a\0b", 3)},
        Utf8Case{"StrayContinuation", "a\x80z", false, "a" + R + "z"},
        Utf8Case{"LoneLeadAtEnd", "a\xC3", false, "a" + R},
        Utf8Case{"TruncatedThreeBytesIsOne", "\xE2\x82z", false, R + "z"},
        Utf8Case{"TruncatedFourBytesIsOne", "\xF0\x9F\x98", false, R},
        Utf8Case{"OverlongSlash", "\xC0\xAF", false, R + R},
        Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", false, R + R + R},
        Utf8Case{"Surrogate", "\xED\xA0\x80", false, R + R + R},
        Utf8Case{"PastLastCodePoint", "\xF4\x90\x80\x80", false, R + R + R + R},
        Utf8Case{"F5IsNoLead", "\xF5\x80", false, R + R},
        Utf8Case{"FF", "x\xFFy", false, "x" + R + "y"}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct FaultCase {
  const char* name;
  std::string path;
  PathFault fault;
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class PathFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PathFaultTest, JudgedOnThePathAlone) { EXPECT_EQ(cv::PathFaultOf(GetParam().path), GetParam().fault); }

// 8192 UTF-16 units: a four-byte character counts two.
const std::string kEmoji = "\xF0\x9F\x98\x80";
std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathFaultTest,
    ::testing::Values(FaultCase{"Plain", "/d/plan.corva", PathFault::kNone},
                      FaultCase{"Empty", "", PathFault::kNone},
                      FaultCase{"Exactly8192", std::string(8192, 'a'), PathFault::kNone},
                      FaultCase{"Of8193", std::string(8193, 'a'), PathFault::kTooLong},
                      FaultCase{"FourByteAt8192", Repeat(kEmoji, 4096), PathFault::kNone},
                      FaultCase{"FourByteAt8194", Repeat(kEmoji, 4097), PathFault::kTooLong},
                      FaultCase{"NotUtf8", "/d/\xFF.corva", PathFault::kNotUtf8},
                      FaultCase{"LengthFirst", std::string(8193, 'a') + "\xFF", PathFault::kTooLong}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(LastComponentTest, Table) {
  EXPECT_EQ(cv::LastComponent("/Users/u/Docs/plan.corva"), "plan.corva");
  EXPECT_EQ(cv::LastComponent("/d/plan.corva/"), "plan.corva");
  EXPECT_EQ(cv::LastComponent("plan.corva"), "plan.corva");
  EXPECT_EQ(cv::LastComponent("/"), "/");
  EXPECT_EQ(cv::LastComponent("//"), "/");
  EXPECT_EQ(cv::LastComponent(""), "");
}

}  // namespace
