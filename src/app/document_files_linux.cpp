#include "app/document_files.h"

namespace cv {

namespace {

std::string Take(char* text) {
  if (text == nullptr) return std::string();
  std::string copy(text);
  g_free(text);
  return copy;
}

}  // namespace

DocumentURL DocumentURLFromFile(GFile* file) {
  DocumentURL url;
  url.isFile = g_file_has_uri_scheme(file, "file");
  if (url.isFile) url.path = Take(g_file_get_path(file));
  url.text = Take(g_file_get_uri(file));
  return url;
}

std::vector<DocumentURL> DocumentURLsFromFiles(GFile** files, int count) {
  std::vector<DocumentURL> urls;
  urls.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) urls.push_back(DocumentURLFromFile(files[i]));
  return urls;
}

}  // namespace cv
