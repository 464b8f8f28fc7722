// The record each report site leaves in the daemon binary's section
// "tavu_sites", for the trace decoder: one NUL-terminated text
// "K HHHHHHHH LLLLLLLL TEXT" (kind m, t or b; hash and line in hex), the
// same in any byte order and word size. Written by report.h, read by
// tavutrace.
#pragma once

#include <cstddef>

constexpr std::size_t TAVU_SITE_RECORD_HEAD = 20;  // "K HHHHHHHH LLLLLLLL "

enum tavuSiteKind : char {
  TAVU_SITE_MESSAGE = 'm',  // printed before the trace buffer exists, traced after
  TAVU_SITE_TRACE = 't',    // traced only; its text serves the decoder alone
  TAVU_SITE_BINARY = 'b',   // a binary entry carrying raw data
};
