#include "agent/environ_block.h"

std::optional<std::string> CVEnvironValue(std::string_view block, std::string_view name) {
  size_t at = 0;
  while (at < block.size()) {
    size_t end = block.find('\0', at);
    if (end == std::string_view::npos) end = block.size();
    std::string_view entry = block.substr(at, end - at);
    if (entry.size() > name.size() && entry[name.size()] == '=' && entry.substr(0, name.size()) == name) {
      return std::string(entry.substr(name.size() + 1));
    }
    at = end + 1;
  }
  return std::nullopt;
}
