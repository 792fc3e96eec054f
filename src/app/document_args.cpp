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

DocumentURL LocalFile(const std::string& path, const char* base) {
  DocumentURL url;
  url.isFile = true;
  url.path = Take(g_canonicalize_filename(path.c_str(), base));
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
  return LocalFile(Take(path), nullptr);
}

}  // namespace

bool HasURIScheme(std::string_view arg) {
  if (arg.empty() || !g_ascii_isalpha(arg[0])) return false;
  size_t i = 1;
  while (i < arg.size() && IsSchemeChar(arg[i])) ++i;
  return i < arg.size() && arg[i] == ':';
}

DocumentURL DocumentURLFromArgument(const std::string& arg, const std::string& cwd) {
  if (g_path_is_absolute(arg.c_str())) return LocalFile(arg, nullptr);
  if (HasURIScheme(arg)) return FromURI(arg);
  return LocalFile(arg, cwd.c_str());
}

}  // namespace cv
