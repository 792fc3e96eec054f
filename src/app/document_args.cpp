#include "app/document_args.h"

namespace cv {

namespace {

bool IsAsciiAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlnum(char c) { return IsAsciiAlpha(c) || IsAsciiDigit(c); }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool IsSchemeChar(char c) { return IsAsciiAlnum(c) || c == '+' || c == '.' || c == '-'; }

// The bytes a file URL carries as they are: letters, digits and
// !$&'()*+,-./:=@_~. Every other byte is written %XX.
bool IsPathSafe(unsigned char c) {
  if (c < 128 && IsAsciiAlnum(static_cast<char>(c))) return true;
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
    case ',': case '-': case '.': case '/': case ':': case '=': case '@': case '_': case '~':
      return true;
    default:
      return false;
  }
}

int HexValue(char c) {
  if (IsAsciiDigit(c)) return c - '0';
  char l = AsciiLower(c);
  if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  return -1;
}

// `text` with each %XX replaced by its byte. nullopt for a "%" without two
// hex digits after it, an escaped NUL, or an escaped byte in `illegal`.
std::optional<std::string> Unescape(std::string_view text, std::string_view illegal) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    int hi = HexValue(text[i + 1]);
    int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    char c = static_cast<char>(hi * 16 + lo);
    if (c == '\0' || illegal.find(c) != std::string_view::npos) return std::nullopt;
    out.push_back(c);
    i += 2;
  }
  return out;
}

// A host name as a URI may carry one: dot-separated labels of letters,
// digits and "-" (not at either end of a label), the last one starting
// with a letter, optionally ended by a dot. The empty name is valid.
bool IsValidHostName(std::string_view host) {
  if (host.empty()) return true;
  size_t i = 0;
  for (;;) {
    if (i >= host.size() || !IsAsciiAlnum(host[i])) return false;
    char first = host[i];
    char last = host[i];
    ++i;
    while (i < host.size() && (IsAsciiAlnum(host[i]) || host[i] == '-')) last = host[i++];
    if (last == '-') return false;
    bool end = i == host.size() || (host[i] == '.' && i + 1 == host.size());
    if (end) return IsAsciiAlpha(first);
    if (host[i] != '.') return false;
    ++i;
  }
}

// The path of a "file:" URI without its fragment, with its host in *host;
// nullopt when it is no absolute file URI or cannot be unescaped.
std::optional<std::string> PathOfFileURI(std::string_view uri, std::string* host) {
  if (uri.size() < 6 || !EqualsIgnoringCase(uri.substr(0, 5), "file:") || uri[5] != '/') return std::nullopt;
  std::string_view rest = uri.substr(5);
  host->clear();
  if (rest.substr(0, 3) == "///") {
    rest.remove_prefix(2);
  } else if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    // The name is judged as written: an escaped one is no host name.
    std::string_view name = rest.substr(0, slash);
    if (!IsValidHostName(name)) return std::nullopt;
    *host = name;
    rest.remove_prefix(slash);
  }
  return Unescape(rest, "/");
}

DocumentURL LocalFile(const std::string& path) {
  DocumentURL url;
  url.isFile = true;
  url.path = TidyPath(path);
  url.text = FileURLText(url.path);
  return url;
}

DocumentURL FromURI(const std::string& arg) {
  DocumentURL rejected;
  rejected.text = arg;
  std::string host;
  std::optional<std::string> path = PathOfFileURI(std::string_view(arg).substr(0, arg.find('#')), &host);
  if (!path || !(host.empty() || EqualsIgnoringCase(host, "localhost"))) return rejected;
  return LocalFile(*path);
}

}  // namespace

std::string FileURLText(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  text.reserve(text.size() + path.size());
  for (unsigned char c : path) {
    if (IsPathSafe(c)) {
      text.push_back(static_cast<char>(c));
      continue;
    }
    text.push_back('%');
    text.push_back(kHex[c >> 4]);
    text.push_back(kHex[c & 15]);
  }
  return text;
}

std::string TidyPath(const std::string& path) {
  bool twoSlashes = path.size() >= 2 && path[0] == '/' && path[1] == '/' && (path.size() == 2 || path[2] != '/');
  std::string out = twoSlashes ? "//" : "/";
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    std::string_view part(path.data() + i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    bool atRoot = out.find_first_not_of('/') == std::string::npos;
    if (part == ".." && atRoot) continue;
    if (!atRoot) out.push_back('/');
    out.append(part);
  }
  return out;
}

bool HasURIScheme(std::string_view arg) {
  if (arg.empty() || !IsAsciiAlpha(arg[0])) return false;
  size_t i = 1;
  while (i < arg.size() && IsSchemeChar(arg[i])) ++i;
  return i < arg.size() && arg[i] == ':';
}

DocumentURL DocumentURLFromArgument(const std::string& arg, const std::optional<std::string>& cwd) {
  if (!arg.empty() && arg[0] == '/') return LocalFile(arg);
  if (HasURIScheme(arg)) return FromURI(arg);
  if (!cwd) {
    DocumentURL url;
    url.isFile = true;
    url.noFolder = true;
    url.path = arg;
    url.text = arg;
    return url;
  }
  bool slash = !cwd->empty() && cwd->back() == '/';
  return LocalFile(*cwd + (slash ? "" : "/") + arg);
}

}  // namespace cv
