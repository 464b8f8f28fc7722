#include "tools/tavuinject/uevent_file.h"

#include <sstream>

namespace {

bool tavuIsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

bool tavuIsComment(const std::string& line) {
  const size_t first = line.find_first_not_of(" \t");
  return first != std::string::npos && line[first] == '#';
}

// Applies one "@..." line to the event being read.
bool tavuApplyDirective(const std::string& line, tavuUeventTemplate* event, std::string* error) {
  if (event->headerMode != tavuUeventTemplate::HEADER_FROM_KEYS) {
    *error = "a second header line in one event";
    return false;
  }
  if (line == "@noheader") {
    event->headerMode = tavuUeventTemplate::HEADER_NONE;
    return true;
  }
  if (line.rfind("@header ", 0) == 0) {
    event->headerMode = tavuUeventTemplate::HEADER_GIVEN;
    event->header = line.substr(8);
    return true;
  }
  *error = "unknown line '" + line + "' (known: '@header TEXT', '@noheader')";
  return false;
}

// Ends the event being read, if any, and checks it.
bool tavuCloseEvent(tavuUeventTemplate* event, bool* open, std::vector<tavuUeventTemplate>* events,
                    std::string* error) {
  if (!*open) return true;
  *open = false;
  std::string why;
  if (!tavuCheckTemplate(*event, &why)) {
    *error = event->origin + ": " + why;
    return false;
  }
  events->push_back(*event);
  *event = tavuUeventTemplate{};
  return true;
}

}  // namespace

bool tavuParseUeventFile(const std::string& text, const std::string& name,
                         std::vector<tavuUeventTemplate>* events, std::string* error) {
  std::istringstream in(text);
  std::string line;
  tavuUeventTemplate event;
  bool open = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (tavuIsBlank(line)) {
      if (!tavuCloseEvent(&event, &open, events, error)) return false;
      continue;
    }
    if (tavuIsComment(line)) continue;
    if (!open) {
      open = true;
      event.origin = name + ":" + std::to_string(number);
    }
    std::string why;
    bool good;
    if (line[0] == '@') {
      good = tavuApplyDirective(line, &event, &why);
    } else {
      std::pair<std::string, std::string> key;
      good = tavuSplitKeyValue(line, &key, &why);
      if (good) event.keys.push_back(key);
    }
    if (!good) {
      *error = name;
      *error += ":" + std::to_string(number) + ": " + why;
      return false;
    }
  }
  if (!tavuCloseEvent(&event, &open, events, error)) return false;
  if (events->empty()) {
    *error = name + ": no event in it";
    return false;
  }
  return true;
}
