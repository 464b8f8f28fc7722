// The memory-mapped file behind one trace buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/trace_buffer_format.h"

// Writes "$TAVU_TRACE_DIR/NAME" (default directory /run/tavutrace) into
// `path`, creating the directory if missing. Returns 0, or -1 with errno.
int tavuTraceFilePath(const char* name, char* path, std::size_t capacity);

// Replaces whatever file is at `path` by a new, empty buffer of `ringSize`
// bytes and maps it. Returns the header, or null with errno set.
tavuTraceFileHeader* tavuCreateTraceFile(const char* path, const char* name, uint32_t ringSize);

std::size_t tavuTraceFileLength(uint32_t ringSize);
