#include "tools/tavutrigger/trigger_order.h"

namespace {

bool tavuIsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Compares the digit runs that start at `i` in `a` and `j` in `b` by value
// and moves both past them; <0, 0 or >0.
int tavuCompareNumbers(const std::string& a, size_t* i, const std::string& b, size_t* j) {
  while (*i < a.size() && a[*i] == '0') ++*i;
  while (*j < b.size() && b[*j] == '0') ++*j;
  const size_t startA = *i;
  const size_t startB = *j;
  while (*i < a.size() && tavuIsDigit(a[*i])) ++*i;
  while (*j < b.size() && tavuIsDigit(b[*j])) ++*j;
  const size_t lengthA = *i - startA;
  const size_t lengthB = *j - startB;
  if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
  return a.compare(startA, lengthA, b, startB, lengthB);
}

int tavuCompareNatural(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (tavuIsDigit(a[i]) && tavuIsDigit(b[j])) {
      const int order = tavuCompareNumbers(a, &i, b, &j);
      if (order != 0) return order;
    } else if (a[i] != b[j]) {
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    } else {
      ++i;
      ++j;
    }
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace

bool tavuNaturalLess(const std::string& a, const std::string& b) {
  const int order = tavuCompareNatural(a, b);
  return order != 0 ? order < 0 : a < b;
}
