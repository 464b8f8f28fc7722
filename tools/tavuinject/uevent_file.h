// The event file that tavuinject reads: one event a block of lines, blocks
// separated by blank lines.
//
//   # a comment (the line's first non-blank character is '#')
//   KEY=VALUE         one string of the event, sent as written
//   @header TEXT      the header string (default: ACTION@DEVPATH)
//   @noheader         send no header string
#pragma once

#include <string>
#include <vector>

#include "tools/tavuinject/uevent_template.h"

// Parses the whole text of a file named `name` (for messages). Returns
// false with `error` set ("name:line: what") at the first bad line.
bool tavuParseUeventFile(const std::string& text, const std::string& name,
                         std::vector<tavuUeventTemplate>* events, std::string* error);
