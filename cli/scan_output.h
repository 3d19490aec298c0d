// What a scan found, written out: the JSON document of `scan --json` and the count table.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_info.h"
#include "engine/scan_merge.h"
#include "engine/scan_sequence.h"

namespace halvern::cli {

namespace fs = std::filesystem;

// Writes {"backup": {...}, "result": n, "errors": {category: sentence}, "categories": {...}},
// every item's fields by name, to `out` as a stream: item by item, never the whole document
// in memory. 0, or the errno value when the output could not be written whole (a full disk).
// With several backups read as one, `sources` lists them (oldest first) as "backups", each
// with its "label"; "backup" is then the newest.
int WriteScanJson(std::FILE* out, const BackupInfo& backup, int32_t openResult,
                   const ScanResults& results, const std::vector<BackupInfo>& sources = {});
nlohmann::json BackupJson(const BackupInfo& backup);

// The key of a category in the JSON document ("messages", "callHistory", ...).
const char* CategoryJsonKey(ScanCategory category);
// Prints one line per category whose database could not be read to standard error; 1 when
// there was one, else 0.
int PrintScanErrors(const ScanResults& results);

// A category by a name the user typed: its tree name or key in any case, with or without
// spaces or dashes ("camera-roll", "Call History", "whatsapp"), or a short form ("calls").
bool ParseCategory(std::string_view text, ScanCategory& out);
// The categories of a comma list ("voicemail,calls"), added to `out`; false with the name not
// understood in `unknown`.
bool ParseCategoryList(std::string_view list, std::vector<ScanCategory>& out,
                       std::string& unknown);

// One line per category: items found and how many of them are deleted.
void PrintCounts(const ScanResults& results);

// Reads the backup password from stdin (`fromStdin`) or, on a terminal, asks for it without
// echo. False when none could be read.
bool ReadPassword(bool fromStdin, std::string& password);
// Opens the locked notes of `notes` with the notes password: asked on the terminal without
// echo (`ask`, --notes-password) or read as one line of stdin (`fromStdin`,
// --notes-password-stdin; the line after the backup password's when both are read). The
// password lives only in memory for this call. 0, or an exit status with the cause in `error`
// (4: the password opens none of the locked notes; 2: no way to read it). What it opened and
// what stays locked is told on stderr.
int OpenLockedNotes(const BackupSession* session, std::vector<NoteItem>& notes, bool ask,
                    bool fromStdin, std::string& error);
// The same over the notes of several backups, each opened through its own session, with one
// password read once.
struct NoteStore {
  const BackupSession* session;
  std::vector<NoteItem>* notes;
};
int OpenLockedNotes(const std::vector<NoteStore>& stores, bool ask, bool fromStdin,
                    std::string& error);
// A sentence for a failed Open.
const char* OpenFailureText(int32_t code);

// Reads the backup summary of `folder` (into `info`), asks for the password when needed and
// runs the scan to its end on `scan`, stopping it on Ctrl-C. 0, or an exit status with the
// cause in `error` (3: wrong password; 130: stopped). Shared by scan and recover.
// `whileScanning` (when given) is called over and over on this thread while the scan runs;
// work it does there (recover copies files already found) should end soon after a stop signal.
int RunScan(const fs::path& folder, bool passwordStdin, ScanSequence& scan, BackupInfo& info,
            std::string& error, const std::function<void()>& whileScanning = {});

// One backup of a run over several: its summary and the session and scan it was read with.
// Both stay alive as long as this does, so that its files (a decrypted copy included) can
// still be copied when the merged results are recovered.
struct ScannedBackup {
  fs::path folder;
  BackupInfo info;
  std::unique_ptr<BackupSession> session;
  std::unique_ptr<ScanSequence> scan;
  ScanResults results;
};

// Scans the backup folders one after another in the order given (with `passwordStdin`, one
// password line per backup in that order). The first backup that fails ends the run: its
// exit status is returned with the cause in `error`, which names that backup.
int RunScans(const std::vector<fs::path>& folders, bool passwordStdin, ScanFrontEnd& frontEnd,
             std::vector<ScannedBackup>& out, std::string& error);

// Orders the scanned backups oldest first (by backup date) and merges their results into
// one: see MergeScans. The newest backup comes last in `scanned`.
ScanResults MergeScanned(std::vector<ScannedBackup>& scanned);

}  // namespace halvern::cli
