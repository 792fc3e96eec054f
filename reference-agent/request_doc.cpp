#include "request_doc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "queue/limits.h"
#include "queue/protocol.h"
#include "queue/request_doc.h"

namespace cvagent {

namespace {

std::string Rejected(const std::string& stem, const std::string& reason) {
  return "rejected " + EscapeForLine(stem) + ": " + reason;
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
  CVParsedRequest req = CVParseRequestDocument(doc);
  switch (req.fault) {
    case CVParsedRequest::kNone:
      break;
    case CVParsedRequest::kNotJson:
      return Rejected(stem, "not JSON");
    case CVParsedRequest::kNotObject:
      return Rejected(stem, "not a JSON object");
    case CVParsedRequest::kNoFormat:
      return Rejected(stem, "no format");
    case CVParsedRequest::kUnknownFormat:
      return Rejected(stem, "unknown format \"" + EscapeForLine(req.value) + "\"");
    case CVParsedRequest::kNoKind:
      return Rejected(stem, "no kind");
    case CVParsedRequest::kUnknownKind:
      return Rejected(stem, "unknown kind \"" + EscapeForLine(req.value) + "\"");
    case CVParsedRequest::kNoPath:
      return Rejected(stem, "open without a path");
  }
  if (req.kind == "reopen") return "reopen";
  return "open " + EscapeForLine(*req.path);
}

std::string UnreadableLine(const std::string& stem, int error) {
  if (error == EFBIG) return Rejected(stem, "larger than " CV_STR(CV_MAX_DOCUMENT_BYTES) " bytes");
  if (error == EINVAL) return Rejected(stem, "not a regular file");
  return Rejected(stem, std::string("unreadable (") + strerror(error) + ")");
}

}  // namespace cvagent
