// The tools' command lines: "--name value", "--name=value" and flags, each
// word handed to the tool's own rules, in order.
#pragma once

#include <string>

// Walks argv[1..argc-1]. `takesValue(name)` tells which options want a
// value; `applyValue(name, value, options, error)` and `applyFlag(name,
// options, error)` take one option each and return false with `*error` set.
// Returns false at the first error.
template <typename Options, typename TakesValue, typename ApplyValue, typename ApplyFlag>
bool tavuWalkOptions(int argc, const char* const* argv, Options* options, TakesValue takesValue,
                     ApplyValue applyValue, ApplyFlag applyFlag, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const char* value = nullptr;
    const size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = argv[i] + equals + 1;  // --name=value
      name.resize(equals);
    }
    if (takesValue(name)) {
      if (value == nullptr && i + 1 < argc) value = argv[++i];
      if (value == nullptr) {
        *error = name + " needs a value";
        return false;
      }
      if (!applyValue(name, value, options, error)) return false;
    } else if (value != nullptr) {
      *error = name + " takes no value";
      return false;
    } else if (!applyFlag(name, options, error)) {
      return false;
    }
  }
  return true;
}
