// What a trace says of the daemon, read from the entries whose site texts
// carry it: the worker's "queued" and the delivery loop's "sent", with the
// event totals, the delivery loop's "Send error", and the binary entries of
// rejected uevents.
#include <cstring>

#include "text_format.h"
#include "trace_decode.h"

namespace {

bool tavuHasSite(const tavuTraceRecord& record, const tavuSiteTable& table, const char* start) {
  const tavuSiteInfo* site = tavuFindSite(table, record.iv_hash);
  return record.iv_kind == TAVU_RECORD_ARGS && site != nullptr &&
         site->iv_text.compare(0, std::strlen(start), start) == 0;
}

// Since when the trace runs: from its first entry, unless the ring lost it.
std::string tavuRunningSince(const std::vector<tavuTraceRecord>& records) {
  if (records.empty()) return "unknown: the trace holds no entry";
  if (records[0].iv_seq == 0) return tavuRecordTime(records[0]) + " (its client's handshake)";
  return tavuFormat("before %s (%u earlier entries overwritten)",
                    tavuRecordTime(records[0]).c_str(), records[0].iv_seq);
}

// "6 received, 4 served, 2 delivered": the last three arguments of
// "queued" and "sent" entries.
std::string tavuTotals(const tavuTraceRecord* record) {
  if (record == nullptr || record->iv_args.size() < 3) return "none traced";
  const tavuTraceArg* totals = &record->iv_args[record->iv_args.size() - 3];
  return tavuFormat("%d received, %d served, %d delivered", totals[0].iv_number,
                    totals[1].iv_number, totals[2].iv_number);
}

// From "Send error errno=%d, netlinkEvent dropped: iv_action=%s, iv_seq=%d,
// iv_type=%s, iv_path=%s": the event it failed on, and why.
std::string tavuClientGone(const tavuTraceRecord* failed, int dropped) {
  if (failed == nullptr || failed->iv_args.size() != 7) return "no sign of it going";
  const std::vector<tavuTraceArg>& args = failed->iv_args;
  return tavuFormat("gone since event seq=%d (", args[4].iv_number) +
         tavuEscapeText(args[3].iv_text + " " + args[6].iv_text) +
         tavuFormat("): %s (errno %d); %d event%s not delivered", std::strerror(args[2].iv_number),
                    args[2].iv_number, dropped, dropped == 1 ? "" : "s");
}

}  // namespace

void tavuPrintStatus(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table) {
  const tavuTraceRecord* totals = nullptr;
  const tavuTraceRecord* failed = nullptr;  // the first failed send since the last event sent
  const tavuTraceRecord* rejected = nullptr;
  int dropped = 0;
  for (const tavuTraceRecord& record : buffer.iv_records) {
    const bool sent = tavuHasSite(record, table, "%s:%s: sent ");
    const bool failure = tavuHasSite(record, table, "%s:%s: Send error errno=");
    if (sent || tavuHasSite(record, table, "%s:%s: queued ")) totals = &record;
    failed = sent ? nullptr : failure && failed == nullptr ? &record : failed;
    dropped = sent ? 0 : dropped + static_cast<int>(failure);
    if (record.iv_kind == TAVU_RECORD_BINARY) rejected = &record;
  }
  std::string last = "none in the trace";
  if (rejected != nullptr) {
    last = tavuRenderRecord(*rejected, table);
    last = last.substr(0, last.find('\n')) + ", at " + tavuRecordTime(*rejected);
  }
  std::fprintf(out,
               "running since:  %s\nevents:         %s\nclient:         %s\nlast rejected:  %s\n",
               tavuRunningSince(buffer.iv_records).c_str(), tavuTotals(totals).c_str(),
               tavuClientGone(failed, dropped).c_str(), last.c_str());
}
