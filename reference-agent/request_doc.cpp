#include "request_doc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "queue/limits.h"
#include "queue/protocol.h"

namespace cvagent {

namespace {

std::string Rejected(const std::string& stem, const std::string& reason) {
  return "rejected " + EscapeForLine(stem) + ": " + reason;
}

// The string member `key` of `obj`, or nullopt when missing or not a string.
std::optional<std::string> StringMember(const nlohmann::json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::optional<std::string> QueuedStem(const std::string& name) { return CVStemBefore(name, kCVQueuedSuffix); }

std::optional<std::string> ClaimedStem(const std::string& name) { return CVStemBefore(name, kCVClaimedSuffix); }

bool IsWriterTemporary(const std::string& name) { return CVParseQueueName(name).kind == CVQueueName::kTemp; }

std::string EscapeForLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string RequestLine(const std::string& stem, const std::string& doc) {
  nlohmann::json parsed = nlohmann::json::parse(doc, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return Rejected(stem, "not JSON");
  if (!parsed.is_object()) return Rejected(stem, "not a JSON object");
  std::optional<std::string> format = StringMember(parsed, "format");
  if (!format) return Rejected(stem, "no format");
  if (*format != kCVRequestFormat) return Rejected(stem, "unknown format \"" + EscapeForLine(*format) + "\"");
  std::optional<std::string> kind = StringMember(parsed, "kind");
  if (!kind) return Rejected(stem, "no kind");
  if (*kind == "reopen") return "reopen";
  if (*kind != "open") return Rejected(stem, "unknown kind \"" + EscapeForLine(*kind) + "\"");
  std::optional<std::string> path = StringMember(parsed, "path");
  if (!path) return Rejected(stem, "open without a path");
  return "open " + EscapeForLine(*path);
}

std::string UnreadableLine(const std::string& stem, int error) {
  if (error == EFBIG) return Rejected(stem, "larger than " CV_STR(CV_MAX_DOCUMENT_BYTES) " bytes");
  if (error == EINVAL) return Rejected(stem, "not a regular file");
  return Rejected(stem, std::string("unreadable (") + strerror(error) + ")");
}

}  // namespace cvagent
