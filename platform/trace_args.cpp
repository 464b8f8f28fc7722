#include "trace_ring.h"

#include <cstring>

namespace {

constexpr char TAVU_NULL_TEXT[] = "(null)";

void tavuTakeString(const char* text, tavuTraceArgValue* value, tavuTraceArgList* list) {
  if (text == nullptr) text = TAVU_NULL_TEXT;
  std::size_t length = strnlen(text, TAVU_TRACE_STRING_MAX + 1);
  if (length > TAVU_TRACE_STRING_MAX) {
    length = TAVU_TRACE_STRING_MAX;
    list->flags |= TAVU_TRACE_FLAG_STRING_CUT;
  }
  value->text = text;
  value->length = static_cast<uint16_t>(length);
  list->payloadSize += 1 + sizeof(uint16_t) + static_cast<uint32_t>(length);
}

void tavuTakeNumber(int number, tavuTraceArgValue* value, tavuTraceArgList* list) {
  value->number = static_cast<uint32_t>(number);
  list->payloadSize += 1 + sizeof(uint32_t);
}

}  // namespace

void tavuTraceParseArgs(const char* format, va_list args, tavuTraceArgList* out) {
  out->count = 0;
  out->flags = 0;
  out->payloadSize = 0;
  for (const char* at = format; at[0] != '\0'; ++at) {
    if (at[0] != '%') continue;
    const char type = at[1];
    if ((type != 's' && type != 'd' && type != 'x') || out->count == TAVU_TRACE_ARGS_MAX) {
      out->flags |= TAVU_TRACE_FLAG_FORMAT_CUT;
      return;
    }
    tavuTraceArgValue* value = &out->values[out->count++];
    std::memset(value, 0, sizeof *value);
    value->type = type;
    if (type == 's') {
      tavuTakeString(va_arg(args, const char*), value, out);
    } else {
      tavuTakeNumber(va_arg(args, int), value, out);
    }
    ++at;
  }
}
