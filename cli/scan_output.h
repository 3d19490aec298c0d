// What a scan found, written out: the JSON document of `scan --json` and the count table.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_info.h"
#include "engine/scan_sequence.h"

namespace halvern::cli {

namespace fs = std::filesystem;

// Writes {"backup": {...}, "result": n, "errors": {category: sentence}, "categories": {...}},
// every item's fields by name, to `out` as a stream: item by item, never the whole document
// in memory. 0, or the errno value when the output could not be written whole (a full disk).
int WriteScanJson(std::FILE* out, const BackupInfo& backup, int32_t openResult,
                   const ScanResults& results);
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
// A sentence for a failed Open.
const char* OpenFailureText(int32_t code);

// Reads the backup summary of `folder` (into `info`), asks for the password when needed and
// runs the scan to its end on `scan`, stopping it on Ctrl-C. 0, or an exit status with the
// cause in `error` (3: wrong password; 130: stopped). Shared by scan and recover.
// `whileScanning` (when given) is called over and over on this thread while the scan runs;
// work it does there (recover copies files already found) should end soon after a stop signal.
int RunScan(const fs::path& folder, bool passwordStdin, ScanSequence& scan, BackupInfo& info,
            std::string& error, const std::function<void()>& whileScanning = {});

}  // namespace halvern::cli
