// The order in which a person expects device names: digits by value.
#pragma once

#include <string>

// Whether `a` comes before `b`: runs of digits compare as numbers
// ("ttyKWB2" before "ttyKWB10"), everything else byte by byte; names equal
// that way ("kwb01", "kwb1") fall back to plain byte order.
bool tavuNaturalLess(const std::string& a, const std::string& b);
