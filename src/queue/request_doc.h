// The pure parts of a request: the document and its size rules (the limits
// in limits.h, the stem in protocol.h).
// No system access; CVWriteRequest (request.cpp) puts them together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "queue/limits.h"
#include "queue/protocol.h"

// Number of UTF-16 code units of the UTF-8 text `s`: one per sequence of up
// to three bytes, two per four-byte sequence. Bytes that are not valid UTF-8
// count one each (such text is refused later, when it is serialized).
size_t CVUtf16Length(const std::string& s);

// The compact "corvantis.open/1" document: keys "format", "kind", "created",
// "pid", "origin" and, when `path` is given, "path"; "/" unescaped, no
// trailing newline. nullopt when `kind` or `path` is not valid UTF-8.
std::optional<std::string> CVRequestDocument(const std::string& kind,
                                             const std::optional<std::string>& path,
                                             double created, long long pid,
                                             const std::string& origin);

// A request document read back, as the agent reads it.
struct CVParsedRequest {
  enum Fault {
    kNone,           // a request: `kind` "open" with `path`, or "reopen"
    kNotJson,        // not JSON
    kNotObject,      // JSON, but not an object
    kNoFormat,       // no string "format"
    kUnknownFormat,  // "format" is not "corvantis.open/1" (`value`: what it is)
    kNoKind,         // no string "kind"
    kUnknownKind,    // "kind" is neither "open" nor "reopen" (`value`: what it is)
    kNoPath,         // "open" without a string "path"
  };
  Fault fault = kNone;
  std::string kind;
  std::optional<std::string> path;  // kind "open" only; a "reopen"'s path is ignored
  std::string value;
};

// Reads `doc` as CVRequestDocument writes it. Keys are accepted in any order
// and other keys ignored; the faults are tested in the order listed above.
CVParsedRequest CVParseRequestDocument(const std::string& doc);

// The stem's milliseconds for a clock reading: trunc(clock * 1000), but at
// least last + 1. A reading outside the 64-bit range counts as last + 1.
int64_t CVNextMs(double clock, int64_t last);

// The 32 lowercase hexadecimal digits of `uuid`, two per byte in order.
std::string CVHexDigits(const unsigned char uuid[16]);
