#include "common/format.h"

#include <cstdio>

std::string format_hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string service_image_path(const std::string& path) {
  if (path.find(' ') == std::string::npos) return path;
  return '"' + path + '"';
}
