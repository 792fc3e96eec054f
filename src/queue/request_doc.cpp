#include "queue/request_doc.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>

size_t CVUtf16Length(const std::string& s) {
  size_t units = 0;
  int follow = 0;  // continuation bytes the last lead byte still expects
  for (unsigned char c : s) {
    if ((c & 0xC0) == 0x80 && follow > 0) {
      --follow;
      continue;
    }
    follow = c >= 0xF0 && c <= 0xF7 ? 3 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xC0 && c <= 0xDF ? 1 : 0;
    units += follow == 3 ? 2 : 1;
  }
  return units;
}

std::optional<std::string> CVRequestDocument(const std::string& kind,
                                             const std::optional<std::string>& path,
                                             double created, long long pid,
                                             const std::string& origin) {
  nlohmann::ordered_json doc;
  doc["format"] = kCVRequestFormat;
  doc["kind"] = kind;
  doc["created"] = created;
  doc["pid"] = pid;
  doc["origin"] = origin;
  if (path) doc["path"] = *path;
  try {
    return doc.dump();
  } catch (const nlohmann::json::type_error&) {
    return std::nullopt;
  }
}

namespace {

// The string member `key` of `obj`, or nullopt when missing or not a string.
std::optional<std::string> StringMember(const nlohmann::json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

CVParsedRequest Fault(CVParsedRequest::Fault fault, std::string value = "") {
  CVParsedRequest out;
  out.fault = fault;
  out.value = std::move(value);
  return out;
}

}  // namespace

CVParsedRequest CVParseRequestDocument(const std::string& doc) {
  nlohmann::json parsed = nlohmann::json::parse(doc, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return Fault(CVParsedRequest::kNotJson);
  if (!parsed.is_object()) return Fault(CVParsedRequest::kNotObject);
  std::optional<std::string> format = StringMember(parsed, "format");
  if (!format) return Fault(CVParsedRequest::kNoFormat);
  if (*format != kCVRequestFormat) return Fault(CVParsedRequest::kUnknownFormat, *format);
  std::optional<std::string> kind = StringMember(parsed, "kind");
  if (!kind) return Fault(CVParsedRequest::kNoKind);
  CVParsedRequest out;
  out.kind = *kind;
  if (*kind == "reopen") return out;
  if (*kind != "open") return Fault(CVParsedRequest::kUnknownKind, *kind);
  out.path = StringMember(parsed, "path");
  if (!out.path) return Fault(CVParsedRequest::kNoPath);
  return out;
}

int64_t CVNextMs(double clock, int64_t last) {
  int64_t floor = last == std::numeric_limits<int64_t>::max() ? last : last + 1;
  double ms = std::trunc(clock * 1000.0);
  // 2^63 is exactly representable; anything at or above it (or NaN) does
  // not fit in an int64_t.
  if (!(ms > -9223372036854775808.0 && ms < 9223372036854775808.0)) return floor;
  int64_t value = static_cast<int64_t>(ms);
  return value > floor ? value : floor;
}

std::string CVHexDigits(const unsigned char uuid[16]) {
  char buf[33];
  for (int i = 0; i < 16; ++i) std::snprintf(buf + 2 * i, 3, "%02x", uuid[i]);
  return std::string(buf, 32);
}
