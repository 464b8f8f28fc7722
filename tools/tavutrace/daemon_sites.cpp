#include "daemon_sites.h"

#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The bytes of the section `name`; false when there is none.
bool tavuSectionBytes(Elf* elf, const char* name, std::string* bytes) {
  std::size_t names = 0;
  if (elf_getshdrstrndx(elf, &names) != 0) return false;
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr head;
    const char* found =
        gelf_getshdr(section, &head) != nullptr ? elf_strptr(elf, names, head.sh_name) : nullptr;
    if (found == nullptr || std::strcmp(found, name) != 0) continue;
    const Elf_Data* data = elf_rawdata(section, nullptr);
    if (data == nullptr || head.sh_type == SHT_NOBITS) return false;
    bytes->assign(static_cast<const char*>(data->d_buf), data->d_size);
    return true;
  }
  return false;
}

bool tavuReadSections(Elf* elf, tavuSiteTable* table, std::string* error) {
  std::string sites;
  std::string build;
  if (elf_kind(elf) != ELF_K_ELF) {
    *error = "not an ELF file";
  } else if (!tavuSectionBytes(elf, "tavu_sites", &sites)) {
    *error = "no report sites (no section tavu_sites): not a tavunetlink binary";
  } else if (tavuParseSiteRecords(sites.data(), sites.size(), table, error)) {
    if (tavuSectionBytes(elf, "tavu_build", &build))
      table->buildId = build.substr(0, build.find('\0'));
    return true;
  }
  return false;
}

}  // namespace

bool tavuReadDaemonSites(const std::string& path, tavuSiteTable* table, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  const bool read = elf != nullptr && tavuReadSections(elf, table, error);
  if (elf == nullptr) *error = elf_errmsg(-1);
  elf_end(elf);
  close(fd);
  return read;
}
