// tavubench-floor: the least a uevent-driven device manager can do, the
// reference the daemon is measured against. See --help.
#include <errno.h>
#include <getopt.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floor_nodes.h"

namespace {

const char TAVU_FLOOR_USAGE[] = R"(Usage: tavubench-floor [--hardened]

Receives uevents with the daemon's 256 KiB buffer and makes a class device's
node (mknod; mkdir only when needed) or removes it (unlink, rmdir):
/class/uart/ttyS3 gives /dev/tts/3. --hardened makes and removes it with
the daemon's own walk instead (no link followed, no mount point crossed,
the directories reached kept open and looked up again at every event).
Run it in scripts/sandbox, until killed. Exit status: 1 the socket or /dev
failed, 2 bad usage.
)";

void (*g_floorAdd)(char* node, size_t dirEnd, dev_t device) = tavuPlainAdd;
void (*g_floorRemove)(char* node, size_t dirEnd) = tavuPlainRemove;

// The value when `text` is `key`'s string, else null.
const char* tavuValueOf(const char* text, const char* key) {
  const size_t length = std::strlen(key);
  return std::strncmp(text, key, length) == 0 ? text + length : nullptr;
}

// "/class/uart/ttyS12" gives "/dev/tts/12", its directory ending at
// *dirEnd: split before the first digit, ttyS renamed as the daemon does.
bool tavuFloorNodePath(const char* devpath, char* node, size_t size, size_t* dirEnd) {
  if (std::strncmp(devpath, "/class/", 7) != 0) return false;
  const char* name = std::strrchr(devpath, '/') + 1;
  const char* renamed = std::strncmp(name, "ttyS", 4) == 0 ? "tts" : "";
  name += *renamed != '\0' ? 4 : 0;
  const int prefix = static_cast<int>(std::strcspn(name, "0123456789"));
  const int length =
      std::snprintf(node, size, "/dev/%s%.*s/%s", renamed, prefix, name, name + prefix);
  *dirEnd = TAVU_FLOOR_DEV_LENGTH + std::strlen(renamed) + static_cast<size_t>(prefix);
  return name[prefix] != '\0' && length > 0 && static_cast<size_t>(length) < size;
}

// Takes the keys among the datagram's strings (one without its NUL is not
// read), and makes or removes the node they name.
void tavuFloorHandle(const char* data, size_t length) {
  const char *action = "", *devpath = "", *value = nullptr;
  int major = 0, minor = 0;
  for (const char* text = data; const void* end = std::memchr(text, '\0', data + length - text);
       text = static_cast<const char*>(end) + 1) {
    if ((value = tavuValueOf(text, "ACTION=")) != nullptr) action = value;
    if ((value = tavuValueOf(text, "DEVPATH=")) != nullptr) devpath = value;
    if ((value = tavuValueOf(text, "MAJOR=")) != nullptr) major = std::atoi(value);
    if ((value = tavuValueOf(text, "MINOR=")) != nullptr) minor = std::atoi(value);
  }
  char node[512];
  size_t dirEnd = 0;
  if (!tavuFloorNodePath(devpath, node, sizeof node, &dirEnd)) return;
  if (std::strcmp(action, "add") == 0 && major != 0) {
    g_floorAdd(node, dirEnd, makedev(major, minor));
  } else if (std::strcmp(action, "remove") == 0) {
    g_floorRemove(node, dirEnd);
  }
}

int tavuFloorOpenSocket() {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<unsigned>(getpid());
  address.nl_groups = 0xFFFFFFFFu;
  const int rcvbuf = 256 * 1024;  // as the daemon
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return -1;
  }
  return fd;
}

// -1 to go on, else the exit status.
int tavuFloorParseArgs(int argc, char** argv) {
  static const option kOptions[] = {
      {"hardened", no_argument, nullptr, 'H'}, {"help", no_argument, nullptr, 'h'}, {}};
  for (int option; (option = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    if (option == 'h') std::fputs(TAVU_FLOOR_USAGE, stdout);
    if (option != 'H') return option == 'h' ? 0 : 2;
    g_floorAdd = tavuHardenedAdd;
    g_floorRemove = tavuHardenedRemove;
  }
  if (optind == argc) return -1;
  std::fputs("tavubench-floor: no operand is taken (try --help)\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int usage = tavuFloorParseArgs(argc, argv);
  if (usage >= 0) return usage;
  umask(022);  // as the daemon: nodes 0640, directories 0755
  if (g_floorAdd == tavuHardenedAdd && !tavuHardenedStart()) {
    std::perror("tavubench-floor: /dev");
    return 1;
  }
  const int fd = tavuFloorOpenSocket();
  if (fd < 0) {
    std::perror("tavubench-floor: uevent socket");
    return 1;
  }
  for (char buffer[4096];;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n >= 0) {
      tavuFloorHandle(buffer, static_cast<size_t>(n));
    } else if (errno != EINTR && errno != ENOBUFS) {  // ENOBUFS: drops, which the driver counts
      std::perror("tavubench-floor: recv");
      return 1;
    }
  }
}
