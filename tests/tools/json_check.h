// A strict JSON reader for tests: whether a line is one JSON object, and
// the kind of each of its members ('s' string, 'n' number, 'a' array,
// 'o' object, 'b' true/false, 'z' null).
#pragma once

#include <map>
#include <string>

bool tavuParseJsonObject(const std::string& text, std::map<std::string, char>* members);
