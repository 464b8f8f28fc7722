/* The platform's trace facility: the three calls the daemon makes.
 * On the board the platform's own library provides them; platform/ holds a
 * stand-in with the same calls so that the daemon builds and runs anywhere. */
#ifndef TAVU_PLATFORM_TRACE_KELU_H
#define TAVU_PLATFORM_TRACE_KELU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A buffer descriptor; all bits set means no buffer. */
typedef uint32_t trace_kelu_desc_t;
#define TRACE_KELU_NO_BUFFER ((trace_kelu_desc_t)0xFFFFFFFFu)

/* Creates (or re-creates) the named buffer of `size` bytes and stores its
 * descriptor through `desc`. Returns 0, or -1 with errno set. */
int trace_kelu_init_buffer(trace_kelu_desc_t* desc, const char* name, uint32_t size);

/* Records one entry: the site's hash and line and the arguments named by
 * `format` (" %s,%s,%d,..."; %s a string, %d and %x a 32-bit integer). */
int trace_kelu_write_all(trace_kelu_desc_t desc, uint32_t hash, const char* format, uint32_t line,
                         int flags, ...);

/* Records one entry made of two chunks: a 12-byte binary entry head and data. */
int trace_kelu_write2(trace_kelu_desc_t desc, int flags, uint32_t size1, const void* chunk1,
                      uint32_t size2, const void* chunk2);

#ifdef __cplusplus
}
#endif

#endif
