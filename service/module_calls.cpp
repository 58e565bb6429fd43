#include "service/module_calls.h"

ModuleCalls& module_calls() {
  static ModuleCalls calls;
  return calls;
}
