// Writes the interpreter tests' datagrams as the fuzzer's seed corpus, one
// file per case, into the directory given.
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/devnodes/uevent_cases.h"

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "usage: %s DIRECTORY\n"
                 "Writes one seed file per interpreter test datagram into DIRECTORY.\n"
                 "Exit status: 0 written, 1 a file could not be written, 2 bad usage.\n",
                 argv[0]);
    return argc == 2 ? 0 : 2;
  }
  for (const tavuUeventCase& c : tavuUeventCases()) {
    const std::string path = std::string(argv[1]) + "/" + c.name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr ||
        std::fwrite(c.datagram.data(), 1, c.datagram.size(), file) != c.datagram.size()) {
      std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
      if (file != nullptr) std::fclose(file);
      return 1;
    }
    std::fclose(file);
  }
  return 0;
}
