#include "request_doc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

namespace cvagent {

namespace {

constexpr const char* kFormat = "corvantis.open/1";

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::optional<std::string> StemOf(const std::string& name, const std::string& suffix) {
  if (name.empty() || name[0] == '.') return std::nullopt;
  if (name.size() <= suffix.size() || !EndsWith(name, suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
}

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

std::optional<std::string> QueuedStem(const std::string& name) { return StemOf(name, ".json"); }

std::optional<std::string> ClaimedStem(const std::string& name) { return StemOf(name, ".claimed"); }

bool IsWriterTemporary(const std::string& name) {
  constexpr size_t kHexDigits = 32;
  if (name.size() != 1 + kHexDigits + 4 || name[0] != '.' || !EndsWith(name, ".tmp")) return false;
  for (size_t i = 1; i <= kHexDigits; ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

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
  if (*format != kFormat) return Rejected(stem, "unknown format \"" + EscapeForLine(*format) + "\"");
  std::optional<std::string> kind = StringMember(parsed, "kind");
  if (!kind) return Rejected(stem, "no kind");
  if (*kind == "reopen") return "reopen";
  if (*kind != "open") return Rejected(stem, "unknown kind \"" + EscapeForLine(*kind) + "\"");
  std::optional<std::string> path = StringMember(parsed, "path");
  if (!path) return Rejected(stem, "open without a path");
  return "open " + EscapeForLine(*path);
}

std::string UnreadableLine(const std::string& stem, int error) {
  if (error == EFBIG) return Rejected(stem, "larger than 65536 bytes");
  if (error == EINVAL) return Rejected(stem, "not a regular file");
  return Rejected(stem, std::string("unreadable (") + strerror(error) + ")");
}

}  // namespace cvagent
