// tavutrace: decodes a trace buffer of tavunetlink with the report sites of
// the daemon binary that wrote it, read out of its ELF sections.
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
#include "trace_buffer_format.h"
#include "trace_decode.h"

namespace {

enum : int {
  TAVU_TRACE_OK = 0,
  TAVU_TRACE_PARTIAL = 1,
  TAVU_TRACE_UNREADABLE = TAVU_EXIT_USAGE,  // as a missing file is in every tool
  TAVU_TRACE_NOT_OURS = 3,                  // no trace buffer, no daemon binary
};

struct tavuTraceOptions {
  const char* iv_daemon = nullptr;  // nullptr: tavuDefaultDaemon()
  bool iv_json = false;
  bool iv_header = false;
  bool iv_status = false;
  bool iv_listSites = false;
  std::vector<std::string> iv_buffers;  // at most one; none: TAVU_TRACE_BUFFER_NAME
};

int tavuParseOptions(int argc, char** argv, tavuTraceOptions* options) {
  const int status = tavuParseCommandLine(
      argc, argv,
      {R"(Usage: tavutrace [--daemon FILE] [--json] [--header] [BUFFER]
       tavutrace --status [--daemon FILE] [BUFFER]
       tavutrace --list-sites [--daemon FILE] [--json]
Decodes a trace buffer of tavunetlink, one line per entry, with the texts of
the daemon binary that wrote it. BUFFER is a file, or a buffer's name in
$TAVU_TRACE_DIR (default /run/tavutrace); by default TAVUNL.

)",
       {{"daemon", 0, "FILE", "a daemon binary",
         "the daemon binary (default: ../sbin/tavunetlink from this\nprogram's directory, or "
         "tavunetlink in it, else " TAVU_DEFAULT_DAEMON ")",
         tavuTakeText(&options->iv_daemon)},
        {"json", 0, nullptr, nullptr, "one JSON object per line", tavuTakeFlag(&options->iv_json)},
        {"header", 0, nullptr, nullptr, "print the buffer's header instead of its entries",
         tavuTakeFlag(&options->iv_header)},
        {"status", 0, nullptr, nullptr,
         "tell what the entries say of the daemon: running since,\nevent counts, whether its "
         "client is gone, the last\nevent rejected",
         tavuTakeFlag(&options->iv_status)},
        {"list-sites", 0, nullptr, nullptr, "print the daemon binary's report sites and exit",
         tavuTakeFlag(&options->iv_listSites)}},
       R"(Exit status:
  0  every entry decoded
  1  damage found: what could be decoded was printed
  2  bad usage, or the buffer or the daemon binary cannot be read
  3  the buffer is no trace buffer, or the daemon binary no tavunetlink
)"},
      1, &options->iv_buffers);
  if (status != TAVU_OPTIONS_GOOD) return status;
  if (options->iv_listSites &&
      (options->iv_header || options->iv_status || !options->iv_buffers.empty())) {
    return tavuUsageError("--list-sites takes neither a buffer nor --header or --status");
  }
  if (options->iv_status && (options->iv_json || options->iv_header)) {
    return tavuUsageError("--status takes neither --json nor --header");
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

// The report-site table of the daemon binary `path`, from its sections
// "tavu_sites" and "tavu_build" whatever its byte order and word size; the
// exit status once told why not.
int tavuLoadSites(const std::string& path, tavuSiteTable* table) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return tavuPrintError(TAVU_TRACE_UNREADABLE, "cannot read the daemon binary '%s': %m",
                          tavuEscapeText(path).c_str());
  }
  elf_version(EV_CURRENT);
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  std::size_t names = 0;
  bool found = false;  // a section tavu_sites
  std::string error = elf == nullptr ? elf_errmsg(-1) : "";
  if (elf != nullptr && (elf_kind(elf) != ELF_K_ELF || elf_getshdrstrndx(elf, &names) != 0)) {
    error = "not an ELF file";
  }
  for (Elf_Scn* section = nullptr; error.empty() && (section = elf_nextscn(elf, section));) {
    GElf_Shdr head{};
    const char* name =
        gelf_getshdr(section, &head) != nullptr ? elf_strptr(elf, names, head.sh_name) : nullptr;
    const Elf_Data* data = head.sh_type != SHT_NOBITS ? elf_rawdata(section, nullptr) : nullptr;
    const std::string bytes =
        data != nullptr ? std::string(static_cast<const char*>(data->d_buf), data->d_size) : "";
    if (name != nullptr && std::strcmp(name, "tavu_build") == 0) {
      table->iv_buildId = bytes.substr(0, bytes.find('\0'));
    } else if (name != nullptr && std::strcmp(name, "tavu_sites") == 0) {
      found = tavuParseSiteRecords(bytes.data(), bytes.size(), table, &error);
    }
  }
  if (error.empty() && !found)
    error = "no report sites (no section tavu_sites): not a tavunetlink binary";
  elf_end(elf);
  close(fd);
  if (error.empty()) return TAVU_TRACE_OK;
  return tavuPrintError(TAVU_TRACE_NOT_OURS, "daemon binary '%s': %s", tavuEscapeText(path).c_str(),
                        error.c_str());
}

// Only the processor, the build's last part, may differ: the same sources
// give the same texts.
void tavuWarnOtherBuild(const std::string& path, const tavuTraceBuffer& buffer,
                        const std::string& daemon, const tavuSiteTable& table) {
  const auto sources = [](const std::string& build) { return build.substr(0, build.rfind('-')); };
  if (sources(buffer.iv_buildId) == sources(table.iv_buildId)) return;
  tavuPrintError(
      0, "warning: %s was written by build %s, but %s is build %s: texts may be wrong or missing",
      tavuEscapeText(path).c_str(), tavuEscapeText(buffer.iv_buildId).c_str(),
      tavuEscapeText(daemon).c_str(),
      table.iv_buildId.empty() ? "unknown" : tavuEscapeText(table.iv_buildId).c_str());
}

// A word with a "/", or naming a file here, is a file; any other a name in
// the trace folder.
std::string tavuBufferFile(const std::string& buffer) {
  if (buffer.find('/') != std::string::npos || access(buffer.c_str(), F_OK) == 0) return buffer;
  return std::string(tavuTraceDir()) + "/" +
         (buffer.empty() ? TAVU_TRACE_BUFFER_NAME : buffer.c_str());
}

}  // namespace

// The buffer is read unless the sites are listed, the daemon's sites unless
// the header alone is printed.
int main(int argc, char** argv) {
  tavuTraceOptions options;
  const int status = tavuParseOptions(argc, argv, &options);
  if (status != TAVU_OPTIONS_GOOD) return status;
  const std::string daemon = options.iv_daemon != nullptr ? options.iv_daemon : tavuDefaultDaemon();
  const std::string path = tavuBufferFile(options.iv_buffers.empty() ? "" : options.iv_buffers[0]);
  tavuTraceBuffer buffer;
  std::string error;
  if (!options.iv_listSites && !tavuReadTraceBufferFile(path, &buffer, &error, options.iv_header)) {
    return tavuPrintError(errno != 0 ? TAVU_TRACE_UNREADABLE : TAVU_TRACE_NOT_OURS, "%s",
                          error.c_str());
  }
  tavuSiteTable table;
  const int loaded = options.iv_header ? TAVU_TRACE_OK : tavuLoadSites(daemon, &table);
  if (loaded != TAVU_TRACE_OK) return loaded;
  if (options.iv_listSites) {
    tavuPrintSites(stdout, table, options.iv_json);
  } else if (options.iv_header) {
    tavuPrintHeader(stdout, buffer, options.iv_json);
  } else {
    tavuWarnOtherBuild(path, buffer, daemon, table);
    options.iv_status ? tavuPrintStatus(stdout, buffer, table)
                      : tavuPrintRecords(stdout, buffer, table, options.iv_json);
  }
  std::fflush(stdout);
  for (const std::string& problem : buffer.iv_problems) {
    tavuPrintError(0, "%s: %s", tavuEscapeText(path).c_str(), problem.c_str());
  }
  return buffer.iv_problems.empty() ? TAVU_TRACE_OK : TAVU_TRACE_PARTIAL;
}
