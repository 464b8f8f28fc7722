// libFuzzer target for the client library's readers: the bytes a daemon
// sends, its reply to the handshake first when the first byte is odd, then
// event messages until the stream ends or breaks. Nothing read past a
// buffer, no wait for bytes that never come (the stream ends), only EPROTO
// for what is malformed, and an event written only when one is returned.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tavuclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (size == 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // A socket pair's buffer holds far more than the longest input.
  if (write(fds[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) std::abort();
  close(fds[1]);
  if (data[0] % 2 == 1 && tavuclient_handshake_within(fds[0], 7, -1) != 0) {
    if (errno != EPROTO && errno != ECONNRESET && errno != EACCES) std::abort();
    return close(fds[0]);
  }
  tavuclient_event event{}, before{};
  int result;
  do {
    std::memcpy(&before, &event, sizeof event);
    result = tavuclient_receive_event(fds[0], &event);
    if (result == 1 && (std::memchr(event.path, '\0', sizeof event.path) == nullptr ||
                        std::memchr(event.type, '\0', sizeof event.type) == nullptr))
      std::abort();
  } while (result == 1);
  if ((result == -1 && errno != EPROTO) || std::memcmp(&before, &event, sizeof event) != 0)
    std::abort();
  return close(fds[0]);
}
