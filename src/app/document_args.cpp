#include "app/document_args.h"

#include <glib.h>

namespace cv {

namespace {

std::string Take(char* text) {
  if (text == nullptr) return std::string();
  std::string copy(text);
  g_free(text);
  return copy;
}

bool IsSchemeChar(char c) { return g_ascii_isalnum(c) || c == '+' || c == '.' || c == '-'; }

DocumentURL LocalFile(const std::string& path) {
  DocumentURL url;
  url.isFile = true;
  url.path = TidyPath(path);
  url.text = Take(g_filename_to_uri(url.path.c_str(), nullptr, nullptr));
  return url;
}

bool IsLocalHost(const char* host) {
  return host == nullptr || host[0] == '\0' || g_ascii_strcasecmp(host, "localhost") == 0;
}

DocumentURL FromURI(const std::string& arg) {
  DocumentURL rejected;
  rejected.text = arg;
  if (arg.size() < 5 || g_ascii_strncasecmp(arg.c_str(), "file:", 5) != 0) return rejected;
  std::string uri = arg.substr(0, arg.find('#'));
  char* host = nullptr;
  char* path = g_filename_from_uri(uri.c_str(), &host, nullptr);
  bool local = IsLocalHost(host);
  g_free(host);
  if (path == nullptr || !local) {
    g_free(path);
    return rejected;
  }
  return LocalFile(Take(path));
}

}  // namespace

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
  if (arg.empty() || !g_ascii_isalpha(arg[0])) return false;
  size_t i = 1;
  while (i < arg.size() && IsSchemeChar(arg[i])) ++i;
  return i < arg.size() && arg[i] == ':';
}

DocumentURL DocumentURLFromArgument(const std::string& arg, const std::optional<std::string>& cwd) {
  if (g_path_is_absolute(arg.c_str())) return LocalFile(arg);
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
