// How a tool says what went wrong: one line on standard error, begun with
// the program's name.
#pragma once

// "TOOL: TEXT"; returns `status`, the exit status to end with. "%m" stands
// for errno's text as it was on entry.
int tavuFail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
