#include "platform/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "util/env.h"
#include "util/write_all.h"

namespace cv {

namespace {

// Parses one specifier at fmt[i] == '%'. Sets `privacy` to +1 public,
// -1 private, 0 unmarked; returns the index after it, or i + 1 when the
// text is not a specifier.
size_t ParseSpec(std::string_view fmt, size_t i, int* privacy, bool* isSpec) {
  size_t j = i + 1;
  *privacy = 0;
  *isSpec = false;
  if (j < fmt.size() && fmt[j] == '{') {
    size_t close = fmt.find('}', j);
    if (close == std::string_view::npos) return i + 1;
    std::string_view mark = fmt.substr(j + 1, close - j - 1);
    if (mark == "public") *privacy = 1;
    else if (mark == "private") *privacy = -1;
    j = close + 1;
  }
  if (j >= fmt.size()) return i + 1;
  char c = fmt[j];
  if (c == '@' || c == 's' || c == 'd' || c == 'u' || c == 'i') {
    *isSpec = true;
    return j + 1;
  }
  return i + 1;
}

void AppendHex(std::string& out, unsigned char byte) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xf];
}

// "\uNNNN" for code point `cp` (below U+10000).
void AppendCodePoint(std::string& out, uint32_t cp) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(cp >> shift) & 0xf];
}

// The code point of the valid UTF-8 sequence of `len` bytes at text[i].
uint32_t CodePointAt(std::string_view text, size_t i, size_t len) {
  static const unsigned char kLeadMask[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  uint32_t cp = static_cast<unsigned char>(text[i]) & kLeadMask[len];
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
  return cp;
}

// Format characters that end a line (the line and paragraph separators) or
// reorder the text around them on a display (the bidirectional marks,
// embeddings, overrides and isolates): a name holding one could pass for
// another name or break a message's line.
bool BreaksOrTurnsText(uint32_t cp) {
  return cp == 0x061c || cp == 0x200e || cp == 0x200f || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

// The length of the valid UTF-8 sequence at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8Length(std::string_view text, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b = at(i);
  size_t len;
  unsigned char lo = 0x80, hi = 0xbf;
  if (b >= 0xc2 && b <= 0xdf) {
    len = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    len = 3;
    if (b == 0xe0) lo = 0xa0;
    if (b == 0xed) hi = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    len = 4;
    if (b == 0xf0) lo = 0x90;
    if (b == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xbf) return 0;
  }
  return len;
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x7f) {
      if (b == '\\') out += '\\';
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    if (b == '\n' || b == '\t' || b == '\r') {
      out += '\\';
      out += b == '\n' ? 'n' : b == '\t' ? 't' : 'r';
      ++i;
      continue;
    }
    size_t len = b < 0x80 ? 0 : Utf8Length(text, i);
    // C1 controls are the two-byte sequences c2 80 to c2 9f.
    bool c1 = len == 2 && b == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f;
    if (len == 0 || c1) {
      size_t n = c1 ? 2 : 1;
      for (size_t k = 0; k < n; ++k) AppendHex(out, static_cast<unsigned char>(text[i + k]));
      i += n;
      continue;
    }
    uint32_t cp = CodePointAt(text, i, len);
    if (BreaksOrTurnsText(cp)) {
      AppendCodePoint(out, cp);
      i += len;
      continue;
    }
    out.append(text.substr(i, len));
    i += len;
  }
  return out;
}

std::string FormatLogLine(std::string_view fmt, std::initializer_list<LogArg> args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  auto arg = args.begin();
  for (size_t i = 0; i < fmt.size();) {
    if (fmt[i] != '%') {
      out += fmt[i++];
      continue;
    }
    if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    int privacy = 0;
    bool isSpec = false;
    size_t next = ParseSpec(fmt, i, &privacy, &isSpec);
    if (!isSpec) {
      out += fmt[i++];
      continue;
    }
    i = next;
    if (arg == args.end()) {
      out += "(null)";
      continue;
    }
    bool visible = privacy > 0 || (privacy == 0 && arg->number());
    out += visible ? EscapeLogText(arg->text()) : std::string("<private>");
    ++arg;
  }
  return out;
}

void StderrLog::Emit(LogLevel, const std::string& line, std::string_view) {
  Env* env = CurrentEnv();
  std::string text = "corvantis-opener[" + std::to_string(env->GetPid()) + "] " + line + "\n";
  // The whole line in its first write, so lines of several processes do
  // not interleave. A failed write (stderr closed, a pipe without a reader:
  // the opener ignores SIGPIPE) loses the rest of the line and nothing
  // else; errno stays as the caller left it.
  int saved = errno;
  CVWriteAll(STDERR_FILENO, text.data(), text.size(), env);
  errno = saved;
}

}  // namespace cv

namespace {
cv::StderrLog gDefaultLog;
}  // namespace

cv::Log* LOG = &gDefaultLog;
