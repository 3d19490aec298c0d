// Commands about backup folders: list, info, files.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "backup/backup_info.h"
#include "backup/manifest.h"
#include "cli/commands.h"
#include "cli/scan_output.h"
#include "platform/codes.h"
#include "platform/platform.h"

namespace halvern::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {


std::string Dump(const json& j) { return j.dump(2, ' ', false, json::error_handler_t::replace); }

void PrintSummary(const BackupInfo& b) {
  std::printf("%s\n", b.folderPath.string().c_str());
  std::printf("  name:       %s\n", b.displayName.c_str());
  std::printf("  last backup: %s\n", b.lastBackupDate.c_str());
  std::printf("  phone:      %s\n", b.phoneNumber.c_str());
  std::printf("  serial:     %s\n", b.serialNumber.c_str());
  std::printf("  iOS 12+:    %s\n", b.isIos12OrLater ? "yes" : "no");
  std::printf("  encrypted:  %s\n", b.isEncrypted ? "yes" : "no");
}

}  // namespace

int ListCommand(const Args& input) {
  Args args = input;
  std::string root;
  const bool asJson = TakeFlag(args, "--json");
  const bool rootGiven = TakeOption(args, "--root", root);
  if (!args.empty()) return Fail(2, "list: unexpected argument '" + args.front() + "'");
  const fs::path folder = rootGiven ? fs::path(root) : BackupRootIn(platform::AppDataFolder());
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    return Fail(1, "no backup folder at " + folder.string() +
                       (rootGiven ? "" : " (set XDG_DATA_HOME or use --root DIR)"));
  }
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.') entries.push_back(entry.path());
  }
  std::sort(entries.begin(), entries.end());
  const auto backups = ListBackupsIn(entries);
  if (asJson) {
    json out = json::array();
    for (const auto& b : backups) out.push_back(BackupJson(b));
    std::cout << Dump(out) << "\n";
    return 0;
  }
  if (backups.empty()) {
    std::fprintf(stderr, "halvern-cli: no backups in %s\n", folder.string().c_str());
    return 0;
  }
  // Columns padded by the width the terminal draws, not by bytes: a name with accents or
  // Chinese characters keeps the columns after it in line.
  auto row = [](const std::string& name, const std::string& date, const std::string& phone,
                const std::string& serial, const std::string& encrypted) {
    const std::string line = platform::PadToWidth(name, 24) + " " + platform::PadToWidth(date, 19) +
                             " " + platform::PadToWidth(phone, 18) + " " +
                             platform::PadToWidth(serial, 14) + " " + encrypted;
    std::printf("%s\n", line.c_str());
  };
  row("NAME", "LAST BACKUP", "PHONE", "SERIAL", "ENCRYPTED");
  for (const auto& b : backups) {
    row(b.displayName, b.lastBackupDate, b.phoneNumber, b.serialNumber, b.isEncrypted ? "yes" : "no");
    std::printf("  %s\n", b.folderPath.string().c_str());
  }
  return 0;
}

int InfoCommand(const Args& input) {
  Args args = input;
  const bool asJson = TakeFlag(args, "--json");
  if (args.size() != 1) return Fail(2, "usage: info DIR [--json]");
  BackupInfo info;
  if (info.ReadBackupInfo(args[0]) != 0) {
    return Fail(1, args[0] + " is not a backup folder (no readable Info.plist)");
  }
  if (asJson) {
    std::cout << Dump(BackupJson(info)) << "\n";
  } else {
    PrintSummary(info);
  }
  return 0;
}

int FilesCommand(const Args& input) {
  Args args = input;
  std::string grep;
  const bool asJson = TakeFlag(args, "--json");
  TakeOption(args, "--grep", grep);
  if (args.size() != 1) return Fail(2, "usage: files DIR [--grep TEXT] [--json]");
  const fs::path folder = args[0];
  std::error_code ec;
  std::vector<ManifestEntry> entries;
  const bool db = fs::exists(folder / "Manifest.db", ec);
  int32_t r;
  if (db) {
    r = ReadManifestDb(folder / "Manifest.db", entries);
  } else if (fs::exists(folder / "Manifest.mbdb", ec)) {
    r = ReadManifestMbdb(folder / "Manifest.mbdb", entries);
  } else {
    return Fail(1, folder.string() + " is not a backup folder (no Manifest.db or Manifest.mbdb)");
  }
  if (r != 0) {
    const bool encrypted = IsEncryptedBackup(folder);
    return Fail(1, "cannot read the manifest of " + folder.string() + " (code " +
                       std::to_string(r) + ")" +
                       (r == kManifestDamaged
                            ? ": Manifest.mbdb is damaged (no record, or a record cut short)"
                            : encrypted ? ": the backup is encrypted" : ""));
  }
  json out = json::array();
  for (const auto& e : entries) {
    if (!grep.empty() && e.domainPath.find(grep) == std::string::npos) continue;
    const fs::path data = DataFilePath(folder, e.fileID, false, db);
    const bool exists = fs::is_regular_file(data, ec);
    if (asJson) {
      out.push_back({{"fileID", e.fileID},
                     {"domainPath", e.domainPath},
                     {"dataPath", data.string()},
                     {"exists", exists}});
    } else {
      std::printf("%s  %s  %s  %s\n", e.fileID.c_str(), exists ? "yes" : "no ",
                  data.string().c_str(), e.domainPath.c_str());
    }
  }
  if (asJson) std::cout << Dump(out) << "\n";
  return 0;
}

}  // namespace halvern::cli
