#include "opener/display_text.h"

#include <vector>

#include "opener/document_path.h"
#include "platform/log.h"

namespace cv {

namespace {

// Whether byte `b` starts a code point (valid UTF-8 assumed).
bool StartsCodePoint(unsigned char b) { return (b & 0xc0) != 0x80; }

}  // namespace

std::string DisplayText(std::string_view text, size_t maxChars) {
  if (maxChars < 3) maxChars = 3;
  std::string valid = MakeValidUtf8(std::string(text));
  std::vector<size_t> starts;  // byte offset of each code point
  for (size_t i = 0; i < valid.size(); ++i) {
    if (StartsCodePoint(static_cast<unsigned char>(valid[i]))) starts.push_back(i);
  }
  if (starts.size() <= maxChars) return EscapeLogText(valid);
  size_t tail = (maxChars - 1) / 2;
  size_t head = maxChars - 1 - tail;
  std::string shortened = valid.substr(0, starts[head]) + "\u2026" + valid.substr(starts[starts.size() - tail]);
  return EscapeLogText(shortened);
}

}  // namespace cv
