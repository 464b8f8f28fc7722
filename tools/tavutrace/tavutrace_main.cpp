// tavutrace: decodes a trace buffer of tavunetlink with the report sites of
// the daemon binary that wrote it, read out of its ELF sections. See
// TAVU_USAGE below.
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "text_format.h"
#include "tool_options.h"
#include "trace_decode.h"

#ifndef TAVU_DEFAULT_DAEMON
#define TAVU_DEFAULT_DAEMON "/usr/sbin/tavunetlink"
#endif

namespace {

enum : int { TAVU_TRACE_OK = 0, TAVU_TRACE_PARTIAL = 1, TAVU_TRACE_UNREADABLE = 3 };

// The system's daemon binary fills the "%s".
constexpr char TAVU_USAGE[] = R"(Usage: tavutrace [--daemon FILE] [--json] [--header] [BUFFER]
       tavutrace --list-sites [--daemon FILE] [--json]
Decodes a trace buffer of tavunetlink, one line per entry, with the texts of
the daemon binary that wrote it. BUFFER is a file, or a buffer's name in
$TAVU_TRACE_DIR (default /run/tavutrace); by default TAVUNL.

  --daemon FILE  the daemon binary (default: ../sbin/tavunetlink from this
                 program's directory, or tavunetlink in it, else %s)
  --json         one JSON object per line
  --header       print the buffer's header instead of its entries
  --list-sites   print the daemon binary's report sites and exit
  -h, --help     print this text and exit

Exit status:
  0  every entry decoded
  1  damage found: what could be decoded was printed
  2  bad usage
  3  the buffer or the daemon binary cannot be read
)";

struct tavuTraceOptions {
  const char* iv_daemon = nullptr;  // nullptr: tavuDefaultDaemon()
  bool iv_json = false;
  bool iv_header = false;
  bool iv_listSites = false;
  std::string iv_buffer;  // empty: TAVUNL
};

int tavuParseOptions(int argc, char** argv, tavuTraceOptions* options) {
  std::string usage = TAVU_USAGE;
  usage.replace(usage.find("%s"), 2, TAVU_DEFAULT_DAEMON);
  std::vector<std::string> buffers;
  const int status =
      tavuParseCommandLine(argc, argv,
                           {{"daemon", 0, "a daemon binary", tavuTakeText(&options->iv_daemon)},
                            {"json", 0, nullptr, tavuTakeFlag(&options->iv_json)},
                            {"header", 0, nullptr, tavuTakeFlag(&options->iv_header)},
                            {"list-sites", 0, nullptr, tavuTakeFlag(&options->iv_listSites)}},
                           usage, 1, &buffers);
  if (status != TAVU_OPTIONS_GOOD) return status;
  if (!buffers.empty()) options->iv_buffer = buffers[0];
  if (options->iv_listSites && (options->iv_header || !buffers.empty())) {
    return tavuUsageError("--list-sites takes neither a buffer nor --header");
  }
  return TAVU_OPTIONS_GOOD;
}

// The daemon binary beside this program, installed (../sbin) or built
// (build/bin), before the system's.
std::string tavuDefaultDaemon() {
  char self[PATH_MAX] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
    const std::filesystem::path dir = std::filesystem::path(self).parent_path();
    for (const auto& candidate : {dir / "../sbin/tavunetlink", dir / "tavunetlink"}) {
      if (access(candidate.c_str(), R_OK) == 0) return candidate.lexically_normal();
    }
  }
  return TAVU_DEFAULT_DAEMON;
}

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

// Its sections "tavu_sites" and "tavu_build", whatever its byte order and
// word size.
bool tavuReadSections(Elf* elf, tavuSiteTable* table, std::string* error) {
  std::string sites;
  std::string build;
  if (elf_kind(elf) != ELF_K_ELF) {
    *error = "not an ELF file";
  } else if (!tavuSectionBytes(elf, "tavu_sites", &sites)) {
    *error = "no report sites (no section tavu_sites): not a tavunetlink binary";
  } else if (tavuParseSiteRecords(sites.data(), sites.size(), table, error)) {
    if (tavuSectionBytes(elf, "tavu_build", &build)) {
      table->iv_buildId = build.substr(0, build.find('\0'));
    }
    return true;
  }
  return false;
}

// The report-site table of the daemon binary `path`, or false once told why not.
bool tavuLoadSites(const std::string& path, tavuSiteTable* table) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    tavuFail(0, "cannot read the daemon binary '%s': %m", tavuEscapeText(path).c_str());
    return false;
  }
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  std::string error = elf == nullptr ? elf_errmsg(-1) : "";
  const bool read = elf != nullptr && tavuReadSections(elf, table, &error);
  elf_end(elf);
  close(fd);
  if (!read) tavuFail(0, "daemon binary '%s': %s", tavuEscapeText(path).c_str(), error.c_str());
  return read;
}

void tavuWarnOtherBuild(const std::string& path, const tavuTraceBuffer& buffer,
                        const std::string& daemon, const tavuSiteTable& table) {
  if (buffer.iv_buildId == table.iv_buildId) return;
  tavuFail(0, "warning: %s was written by build %s, but %s is build %s: %s",
           tavuEscapeText(path).c_str(), tavuEscapeText(buffer.iv_buildId).c_str(),
           tavuEscapeText(daemon).c_str(),
           table.iv_buildId.empty() ? "unknown" : tavuEscapeText(table.iv_buildId).c_str(),
           "texts may be wrong or missing");
}

std::string tavuBufferFile(const std::string& buffer) {
  if (buffer.empty()) return tavuTraceBufferPath("TAVUNL");
  if (buffer.find('/') != std::string::npos || access(buffer.c_str(), F_OK) == 0) return buffer;
  return tavuTraceBufferPath(buffer.c_str());
}

int tavuDecodeAndPrint(const tavuTraceOptions& options, const std::string& daemon) {
  const std::string path = tavuBufferFile(options.iv_buffer);
  tavuTraceBuffer buffer;
  tavuSiteTable table;
  std::string error;
  if (!tavuReadTraceBufferFile(path, &buffer, &error, options.iv_header)) {
    return tavuFail(TAVU_TRACE_UNREADABLE, "%s", error.c_str());
  }
  if (options.iv_header) {
    tavuPrintHeader(stdout, buffer, options.iv_json);
  } else {
    if (!tavuLoadSites(daemon, &table)) return TAVU_TRACE_UNREADABLE;
    tavuWarnOtherBuild(path, buffer, daemon, table);
    tavuPrintRecords(stdout, buffer, table, options.iv_json);
  }
  std::fflush(stdout);
  for (const std::string& problem : buffer.iv_problems) {
    tavuFail(0, "%s: %s", tavuEscapeText(path).c_str(), problem.c_str());
  }
  return buffer.iv_problems.empty() ? TAVU_TRACE_OK : TAVU_TRACE_PARTIAL;
}

}  // namespace

int main(int argc, char** argv) {
  tavuTraceOptions options;
  const int status = tavuParseOptions(argc, argv, &options);
  if (status != TAVU_OPTIONS_GOOD) return status;
  const std::string daemon = options.iv_daemon != nullptr ? options.iv_daemon : tavuDefaultDaemon();
  if (!options.iv_listSites) return tavuDecodeAndPrint(options, daemon);
  tavuSiteTable table;
  if (!tavuLoadSites(daemon, &table)) return TAVU_TRACE_UNREADABLE;
  tavuPrintSites(stdout, table, options.iv_json);
  return TAVU_TRACE_OK;
}
