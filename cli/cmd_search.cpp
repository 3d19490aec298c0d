// halvern-cli search: scans a backup (or the attached phone) and lists every item that holds a
// text, grouped by category, with the matching words marked; the same filters as recover.
//
//   search TEXT DIR|--device [--with PERSON] [--since YYYY-MM-DD] [--until YYYY-MM-DD]
//          [--deleted-only] [--only CATEGORY,...] [--password-stdin] [--json]
//
// The lines are for reading: each hit's date, what it belongs to, the field and the text
// around the first match with every match in [brackets] (cut to about 100 characters). --json
// gives every hit whole: {"query", "hits": [{"category", "where", "date", "deleted", "field",
// "text" (as stored), "marks": [[first, end], ...] (byte offsets in text), "conversation",
// "index"}], "counts": {category: hits}}.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/filter_options.h"
#include "cli/scan_output.h"
#include "cli/stop_signals.h"
#include "engine/backup_session.h"
#include "engine/scan_sequence.h"
#include "platform/platform.h"
#include "search/search.h"

namespace halvern::cli {

namespace {

constexpr const char* kUsage =
    "usage: search TEXT DIR|--device [--with PERSON] [--since YYYY-MM-DD] [--until YYYY-MM-DD] "
    "[--deleted-only] [--only CATEGORY,...] [--password-stdin] [--json]";

// Progress on stderr, one line per tenth (the scan takes most of the time).
class SearchScanFrontEnd : public ScanFrontEnd {
 public:
  void Post(int32_t, int32_t) override {}
  void OnProgressShown(int32_t percent) override {
    if (percent / 10 == lastDecile_) return;
    lastDecile_ = percent / 10;
    std::fprintf(stderr, "scanning: %d%%\n", percent);
  }

 private:
  int lastDecile_ = -1;
};

// The start of a UTF-8 character at or before `at`.
size_t CharStart(std::string_view text, size_t at) {
  while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  return std::min(at, text.size());
}

// The text around the first match, every match in brackets, line breaks as spaces.
std::string Snippet(const SearchHit& hit) {
  const std::string_view text = hit.text;
  const size_t first = hit.marks.empty() ? 0 : hit.marks.front().first;
  const size_t from = CharStart(text, first > 40 ? first - 40 : 0);
  const size_t to = CharStart(text, std::min(text.size(), from + 100));
  std::string out = from > 0 ? "…" : "";
  size_t at = from;
  for (const TextRange& m : hit.marks) {
    if (m.first < at || m.second > to) continue;
    out.append(text.substr(at, m.first - at));
    out += "[";
    out.append(text.substr(m.first, m.second - m.first));
    out += "]";
    at = m.second;
  }
  out.append(text.substr(at, to - at));
  if (to < text.size()) out += "…";
  for (char& c : out) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return platform::SanitizeUtf8(out);
}

bool Stopped() { return StopSignals::Raised(); }

}  // namespace

int SearchCommand(const Args& input) {
  Args args = input;
  const bool asJson = TakeFlag(args, "--json");
  const bool passwordStdin = TakeFlag(args, "--password-stdin");
  const bool device = TakeFlag(args, "--device");
  ItemFilter filter;
  std::string error;
  if (const int bad = TakeFilterOptions(args, "search", filter, error); bad != 0) {
    return Fail(bad, error);
  }
  if (args.size() != (device ? 1u : 2u)) return Fail(2, kUsage);
  const std::string query = args[0];
  const TextMatcher matcher(query);
  if (matcher.empty()) return Fail(2, "search: the text to look for is empty");

  SearchScanFrontEnd frontEnd;
  BackupSession session;
  ScanSequence scan(frontEnd, &session);
  BackupInfo info;
  const int status =
      RunScan(device ? fs::path() : fs::path(args[1]), passwordStdin, scan, info, error);
  if (status != 0) return Fail(status, error);

  const ScanSieve sieve(filter, scan.results(), info.phoneNumber);
  if (const int nobody = CheckPerson(sieve, "search", error); nobody != 0) {
    return Fail(nobody, error);
  }
  StopSignals signals;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<SearchHit> hits = SearchScan(scan.results(), matcher, sieve, &Stopped);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (StopSignals::Raised()) return Fail(130, "search stopped");

  std::map<ScanCategory, size_t> counts;
  for (const SearchHit& h : hits) ++counts[h.category];
  if (asJson) {
    nlohmann::json doc;
    doc["query"] = query;
    doc["hits"] = nlohmann::json::array();
    for (const SearchHit& h : hits) {
      nlohmann::json marks = nlohmann::json::array();
      for (const TextRange& m : h.marks) marks.push_back({m.first, m.second});
      doc["hits"].push_back({{"category", CategoryJsonKey(h.category)},
                             {"where", h.where},
                             {"date", h.date},
                             {"deleted", h.deleted},
                             {"field", h.field},
                             {"text", h.text},
                             {"marks", marks},
                             {"conversation", h.conversation},
                             {"index", h.index}});
    }
    doc["counts"] = nlohmann::json::object();
    for (const auto& [category, n] : counts) doc["counts"][CategoryJsonKey(category)] = n;
    std::cout << doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    ScanCategory current{};
    bool any = false;
    for (const SearchHit& h : hits) {
      if (!any || h.category != current) {
        std::printf("%s%s (%zu)\n", any ? "\n" : "", CategoryName(h.category),
                    counts[h.category]);
        current = h.category;
        any = true;
      }
      std::printf("  %-19s  %s%s%s: %s%s\n", h.date.c_str(),
                  platform::SanitizeUtf8(h.where).c_str(), h.where.empty() ? "" : ", ",
                  h.field.c_str(), Snippet(h).c_str(), h.deleted ? "  (deleted)" : "");
    }
    std::printf("%s%zu %s \"%s\" (%zu categor%s)\n", any ? "\n" : "", hits.size(),
                hits.size() == 1 ? "item holds" : "items hold", query.c_str(), counts.size(),
                counts.size() == 1 ? "y" : "ies");
  }
  std::fprintf(stderr, "searched in %.3f s\n", seconds);
  return PrintScanErrors(scan.results());
}

}  // namespace halvern::cli
