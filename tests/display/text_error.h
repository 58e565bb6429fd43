// The text of the TextError an action raises, or "(no error)".
#pragma once

#include <string>

#include "common/errors.h"

template <typename Action>
std::string text_error(Action action) {
  try {
    action();
  } catch (const TextError& error) {
    return error.text();
  }
  return "(no error)";
}
