// Names and paths as an alert shows them: never a raw control character,
// never longer than asked, shortened in the middle on whole characters.
#include "opener/display_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using cv::DisplayText;

// The number of code points of valid UTF-8 `s`.
size_t CodePoints(const std::string& s) {
  size_t n = 0;
  for (unsigned char b : s) n += (b & 0xc0) != 0x80;
  return n;
}

bool HasRawControl(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7f) return true;
    if (b == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9f) return true;
  }
  return false;
}

TEST(DisplayText, ControlCharactersAreWrittenVisibly) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "plan.corva", "plan.corva"},
      {"non-ASCII", "caf\u00e9 \u2192 \U0001F600.corva", "caf\u00e9 \u2192 \U0001F600.corva"},
      {"newline", "two\nlines.corva", "two\\nlines.corva"},
      {"carriage return", "a\rb.corva", "a\\rb.corva"},
      {"tab", "a\tb.corva", "a\\tb.corva"},
      {"escape sequence", "\x1b[31mred.corva", "\\x1b[31mred.corva"},
      {"NUL-free C0", "a\x01\x1f.corva", "a\\x01\\x1f.corva"},
      {"DEL", "a\x7f.corva", "a\\x7f.corva"},
      {"C1 (NEL, CSI)", "a\u0085b\u009b.corva", "a\\xc2\\x85b\\xc2\\x9b.corva"},
      {"backslash", "a\\nb.corva", "a\\\\nb.corva"},
      {"ill-formed UTF-8", "bad\xff.corva", "bad\uFFFD.corva"},
      {"line separator", "two\u2028lines.corva", "two\\u2028lines.corva"},
      {"right-to-left override", "plan\u202Eavroc.exe", "plan\\u202eavroc.exe"},
      {"a fake alert line", "x\nCorvantis Agent: y", "x\\nCorvantis Agent: y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = DisplayText(c.in, cv::kDisplayNameMax);
    EXPECT_EQ(out, c.out);
    EXPECT_FALSE(HasRawControl(out));
  }
}

TEST(DisplayText, LongTextsAreShortenedInTheMiddle) {
  EXPECT_EQ(DisplayText("abcdefghij", 10), "abcdefghij");
  EXPECT_EQ(DisplayText("abcdefghijk", 10), "abcde\u2026hijk");
  EXPECT_EQ(DisplayText("abcdefghijk", 9), "abcd\u2026hijk");
  EXPECT_EQ(DisplayText("abcdef", 0), "a\u2026f");

  // Cut on code points, never inside one.
  std::string accents;
  for (int i = 0; i < 50; ++i) accents += "\u00e9";
  std::string out = DisplayText(accents + "\U0001F600" + accents, 21);
  EXPECT_EQ(CodePoints(out), 21u);
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "\u00e9";
  EXPECT_EQ(out, expected + "\u2026" + expected);

  // A name of 8,200 characters keeps its start and its extension.
  std::string name = std::string(8194, 'n') + ".corva";
  out = DisplayText(name, cv::kDisplayNameMax);
  EXPECT_EQ(CodePoints(out), cv::kDisplayNameMax);
  EXPECT_EQ(out.substr(0, 10), "nnnnnnnnnn");
  EXPECT_EQ(out.substr(out.size() - 6), ".corva");
  EXPECT_NE(out.find("\u2026"), std::string::npos);
}

// Shortening comes before escaping: an escape is never cut in two, and a
// control character counts as one character however it is written.
TEST(DisplayText, EscapesAreNeverCut) {
  std::string in;
  for (int i = 0; i < 200; ++i) in += '\n';
  std::string out = DisplayText(in, 11);
  EXPECT_EQ(out, "\\n\\n\\n\\n\\n\u2026\\n\\n\\n\\n\\n");
  EXPECT_FALSE(HasRawControl(out));
  std::string mixed = "\x1b" + std::string(100, 'a') + "\x9b\xff";
  out = DisplayText(mixed, 9);
  EXPECT_EQ(out, "\\x1baaa\u2026aa\uFFFD\uFFFD");
}

}  // namespace
