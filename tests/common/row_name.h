// Names for the rows of parameterised cases: the same in every build, so
// CTest's names stay put, and a failure names its row.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

// A text as GoogleTest takes it in a name: letters, digits and "_" only,
// every other character as "_"; an empty text is "Empty".
inline std::string row_name(std::string text) {
  if (text.empty()) return "Empty";
  for (char& c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return text;
}
