#include "opener/document_path.h"

#include "queue/request_doc.h"

namespace cv {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is ill-
// formed; `*bad` is then the length of its maximal ill-formed subpart (at
// least 1).
size_t SequenceAt(const std::string& s, size_t i, size_t* bad) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  *bad = 1;
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return 0;
    unsigned char b = byte(i + k);
    unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) return 0;
    *bad = k + 1;
  }
  return len;
}

}  // namespace

std::string LastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  std::string trimmed = path.substr(0, end);
  if (trimmed == "/") return trimmed;
  size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

PathFault PathFaultOf(const std::string& path) {
  if (CVUtf16Length(path) > kCVMaxPathUnits) return PathFault::kTooLong;
  if (!IsValidUtf8(path)) return PathFault::kNotUtf8;
  return PathFault::kNone;
}

bool IsValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    size_t bad = 0;
    size_t len = SequenceAt(s, i, &bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string MakeValidUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t bad = 0;
    size_t len = SequenceAt(s, i, &bad);
    if (len > 0) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

}  // namespace cv
