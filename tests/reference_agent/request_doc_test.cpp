#include "request_doc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace cvagent {
namespace {

TEST(RequestNamesTest, OnlyVisibleJsonNamesAreQueued) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"0001700000000000-0123456789abcdef0123456789abcdef.json",
       "0001700000000000-0123456789abcdef0123456789abcdef"},
      {"x.json", "x"},
      {".json", std::nullopt},
      {".0123456789abcdef0123456789abcdef.tmp", std::nullopt},
      {".hidden.json", std::nullopt},
      {"x.json.tmp", std::nullopt},
      {"x.JSON", std::nullopt},
      {"x.claimed", std::nullopt},
      {"x.jsonx", std::nullopt},
      {"json", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [name, want] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(QueuedStem(name), want);
  }
}

TEST(RequestNamesTest, ClaimedStem) {
  EXPECT_EQ(ClaimedStem("abc.claimed"), "abc");
  EXPECT_EQ(ClaimedStem(".abc.claimed"), std::nullopt);
  EXPECT_EQ(ClaimedStem(".claimed"), std::nullopt);
  EXPECT_EQ(ClaimedStem("abc.json"), std::nullopt);
}

TEST(RequestNamesTest, WriterTemporaryIsDotThirtyTwoLowercaseHexDotTmp) {
  const std::string hex = "0123456789abcdef0123456789abcdef";
  const std::pair<std::string, bool> cases[] = {
      {"." + hex + ".tmp", true},
      {".ffffffffffffffffffffffffffffffff.tmp", true},
      {hex + ".tmp", false},                       // no dot
      {"." + hex.substr(1) + ".tmp", false},       // 31 digits
      {"." + hex + "0.tmp", false},                // 33 digits
      {".0123456789ABCDEF0123456789abcdef.tmp", false},  // uppercase
      {".0123456789abcdeg0123456789abcdef.tmp", false},  // not hex
      {"." + hex + ".tmpx", false},
      {"." + hex + ".TMP", false},
      {"." + hex + ".json", false},
      {"." + hex + ".claimed", false},
      {"1733800000001-" + hex + ".json", false},
      {".tmp", false},
      {"", false},
  };
  for (const auto& [name, want] : cases) {
    EXPECT_EQ(IsWriterTemporary(name), want) << name;
  }
}

struct LineCase {
  const char* name;
  std::string doc;
  std::string want;
};

TEST(RequestLineTest, DocumentsToLines) {
  const LineCase cases[] = {
      {"open",
       R"({"format":"corvantis.open/1","kind":"open","created":1.7e9,"pid":12,"origin":"mac-opener","path":"/home/u/plan.corva"})",
       "open /home/u/plan.corva"},
      {"keys in another order",
       R"({"path":"/a b/c.corva","pid":3,"kind":"open","format":"corvantis.open/1"})",
       "open /a b/c.corva"},
      {"escaped slashes", R"({"format":"corvantis.open\/1","kind":"open","path":"\/x\/y.corva"})",
       "open /x/y.corva"},
      {"unknown keys ignored", R"({"format":"corvantis.open/1","kind":"reopen","extra":[1,2]})",
       "reopen"},
      {"reopen ignores a path", R"({"format":"corvantis.open/1","kind":"reopen","path":"/p"})",
       "reopen"},
      {"empty path", R"({"format":"corvantis.open/1","kind":"open","path":""})", "open "},
      {"non-ASCII path", "{\"format\":\"corvantis.open/1\",\"kind\":\"open\",\"path\":\"/h/\xc3\xa9.corva\"}",
       "open /h/\xc3\xa9.corva"},
      {"newline and backslash escaped",
       R"({"format":"corvantis.open/1","kind":"open","path":"/a\nb\\c\u0000d"})",
       "open /a\\x0ab\\\\c\\x00d"},
      {"not JSON", "{\"format\":", "rejected S: not JSON"},
      {"empty", "", "rejected S: not JSON"},
      {"trailing garbage", R"({"format":"corvantis.open/1","kind":"reopen"} x)", "rejected S: not JSON"},
      {"invalid UTF-8", "{\"format\":\"corvantis.open/1\",\"kind\":\"open\",\"path\":\"\xff\"}",
       "rejected S: not JSON"},
      {"array", R"(["open"])", "rejected S: not a JSON object"},
      {"no format", R"({"kind":"reopen"})", "rejected S: no format"},
      {"format not a string", R"({"format":1,"kind":"reopen"})", "rejected S: no format"},
      {"other format", R"({"format":"corvantis.open/2","kind":"reopen"})",
       "rejected S: unknown format \"corvantis.open/2\""},
      {"no kind", R"({"format":"corvantis.open/1"})", "rejected S: no kind"},
      {"other kind", R"({"format":"corvantis.open/1","kind":"print"})",
       "rejected S: unknown kind \"print\""},
      {"kind with a newline", R"({"format":"corvantis.open/1","kind":"a\nb"})",
       "rejected S: unknown kind \"a\\x0ab\""},
      {"open without path", R"({"format":"corvantis.open/1","kind":"open"})",
       "rejected S: open without a path"},
      {"open with a number path", R"({"format":"corvantis.open/1","kind":"open","path":7})",
       "rejected S: open without a path"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line = RequestLine("S", c.doc);
    EXPECT_EQ(line, c.want);
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(RequestLineTest, DeepNestingIsRejectedNotFatal) {
  std::string doc(20000, '[');
  EXPECT_EQ(RequestLine("S", doc), "rejected S: not JSON");
  doc += std::string(20000, ']');
  EXPECT_EQ(RequestLine("S", doc), "rejected S: not a JSON object");
}

TEST(RequestLineTest, UnreadableLines) {
  EXPECT_EQ(UnreadableLine("S", EFBIG), "rejected S: larger than 65536 bytes");
  EXPECT_EQ(UnreadableLine("S", EINVAL), "rejected S: not a regular file");
  EXPECT_EQ(UnreadableLine("S", ELOOP).rfind("rejected S: unreadable (", 0), 0u);
}

}  // namespace
}  // namespace cvagent
