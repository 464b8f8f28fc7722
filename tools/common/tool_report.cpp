#include "tool_report.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

int tavuFail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int failure = errno;
  std::fprintf(stderr, "%s: ", program_invocation_short_name);
  errno = failure;
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return status;
}
