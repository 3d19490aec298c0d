// halvern-cli scan: runs the whole scan sequence over a backup folder and prints what it
// found, as counts per category or as one JSON document.
#include <nlohmann/json.hpp>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/cmd_device.h"
#include "cli/commands.h"
#include "cli/scan_output.h"
#include "cli/stop_signals.h"
#include "device/device_recovery.h"
#include "engine/backup_session.h"
#include "engine/scan_sequence.h"

namespace halvern::cli {

namespace {

// Progress on stderr: a bar on a terminal, plain lines otherwise.
class CliScanFrontEnd : public ScanFrontEnd {
 public:
  CliScanFrontEnd() : terminal_(isatty(STDERR_FILENO) != 0) {}
  void Post(int32_t message, int32_t wParam) override {
    if (message == WM_SCAN_STATUS && wParam == kScanStarted) Line("scan started");
  }
  void OnProgressShown(int32_t percent) override {
    if (terminal_) {
      const int width = 40, filled = percent * width / 100;
      std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                   width - filled, "", percent);
      std::fflush(stderr);
      barShown_ = true;
    } else if (percent / 10 != lastDecile_) {
      lastDecile_ = percent / 10;
      std::fprintf(stderr, "progress: %d%%\n", percent);
    }
  }
  void OnCategoryReady(ScanCategory category) override {
    Line(std::string("found ") + CategoryName(category));
  }
  void Done() {
    if (barShown_) std::fprintf(stderr, "\n");
    barShown_ = false;
  }

 private:
  void Line(const std::string& text) {
    if (terminal_) {
      if (barShown_) std::fprintf(stderr, "\r\033[K");
      std::fprintf(stderr, "%s\n", text.c_str());
      barShown_ = false;
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  }
  bool terminal_;
  bool barShown_ = false;
  int lastDecile_ = -1;
};

}  // namespace

namespace {

// One line of stdin, or on a terminal a line typed without echo after `prompt`.
bool ReadSecretLine(bool fromStdin, const char* prompt, std::string& secret) {
  if (!fromStdin) {
    if (!isatty(STDIN_FILENO)) return false;
    std::fprintf(stderr, "%s", prompt);
    termios old{};
    tcgetattr(STDIN_FILENO, &old);
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    const bool ok = static_cast<bool>(std::getline(std::cin, secret));
    tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::fprintf(stderr, "\n");
    return ok;
  }
  if (!std::getline(std::cin, secret)) return false;
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return true;
}

}  // namespace

bool ReadPassword(bool fromStdin, std::string& password) {
  return ReadSecretLine(fromStdin, "Backup password: ", password);
}

int OpenLockedNotes(const BackupSession* session, std::vector<NoteItem>& notes, bool ask,
                    bool fromStdin, std::string& error) {
  return OpenLockedNotes({{session, &notes}}, ask, fromStdin, error);
}

int OpenLockedNotes(const std::vector<NoteStore>& stores, bool ask, bool fromStdin,
                    std::string& error) {
  if (!ask && !fromStdin) return 0;
  size_t locked = 0;
  for (const NoteStore& store : stores) {
    for (const NoteItem& n : *store.notes) locked += n.locked != 0 && n.opened == 0 ? 1 : 0;
  }
  if (locked == 0) {
    std::fprintf(stderr, "halvern-cli: note: the backup holds no locked note\n");
    return 0;
  }
  for (const NoteStore& store : stores) {
    if (store.session == nullptr) {
      error = "the locked notes cannot be opened: the notes store is not at hand";
      return 1;
    }
  }
  if (!fromStdin && !isatty(STDIN_FILENO)) {
    error = "--notes-password asks on a terminal; give the password with --notes-password-stdin";
    return 2;
  }
  std::string password;
  if (!ReadSecretLine(fromStdin, "Notes password: ", password)) {
    error = "no notes password could be read";
    return 2;
  }
  NoteUnlockCount count;
  for (const NoteStore& store : stores) {
    const NoteUnlockCount one = store.session->UnlockNotes(*store.notes, password);
    count.locked += one.locked;
    count.opened += one.opened;
    count.refused += one.refused;
    count.outOfReach += one.outOfReach;
  }
  std::fill(password.begin(), password.end(), '\0');
  if (count.outOfReach > 0) {
    std::fprintf(stderr,
                 "halvern-cli: note: %d locked notes keep no key of their own in the backup "
                 "(locked with the phone's passcode): out of reach\n",
                 count.outOfReach);
  }
  if (count.locked > 0 && count.opened == 0) {
    error = "the notes password is wrong: it opens none of the " + std::to_string(count.locked) +
            " locked notes, which stay locked";
    return 4;
  }
  if (count.opened > 0) std::fprintf(stderr, "halvern-cli: note: opened %d locked notes\n", count.opened);
  if (count.refused > 0) {
    std::fprintf(stderr,
                 "halvern-cli: note: %d locked notes do not open with this password (locked "
                 "with another one) and stay locked\n",
                 count.refused);
  }
  return 0;
}

const char* OpenFailureText(int32_t code) {
  switch (code) {
    case kWrongPassword: return "wrong backup password";
    case kInvalidParameter: return "a needed file is missing or not readable (manifest or decryptor)";
    case kManifestOpenFailed: return "the manifest cannot be opened";
    case kQueryFailed: return "the manifest cannot be read (enciphered or damaged)";
    case kReadFault: return "a read came back short";
    case kManifestDamaged:
      return "its index (Manifest.mbdb) is damaged: it holds no record, or a record is cut short";
    case kNoTempFolder:
      return "no private folder for the decrypted copy (set HOME or XDG_CACHE_HOME, or use --temp DIR)";
    default: return "the backup cannot be opened";
  }
}

int RunScan(const fs::path& folder, bool passwordStdin, ScanSequence& scan, BackupInfo& info,
            std::string& error, const std::function<void()>& whileScanning) {
  // An empty folder is the attached phone: the scan makes its backup first (mode 0).
  const bool device = folder.empty();
  bool deviceEncrypts = false;
  if (device && ConnectDevice(deviceEncrypts, error) != 0) return 1;
  if (!device && info.ReadBackupInfo(folder) != 0) {
    error = folder.string() + " is not a backup folder (no readable Info.plist)";
    return 1;
  }
  if (!device && info.isEncrypted && TempBackupParent().empty()) {
    error = "the backup is encrypted and its decrypted copy needs a private folder, but neither "
            "HOME nor XDG_CACHE_HOME is set; set one of them or choose a folder with --temp DIR";
    return 1;
  }
  std::string password;
  if (device && deviceEncrypts && !ReadPassword(passwordStdin, password)) {
    error = "the phone encrypts its backups: give its backup password with --password-stdin";
    return 1;
  }
  if (!device && (info.isEncrypted || passwordStdin)) {
    if (!ReadPassword(passwordStdin, password) && info.isEncrypted) {
      error = "the backup is encrypted: give its password with --password-stdin";
      return 1;
    }
  }
  // Ctrl-C, SIGTERM and SIGHUP stop the scan the same way: the decryptor is stopped and the
  // decrypted copy removed before the program ends.
  StopSignals signals;
  StopSignals::Reset();
  if (scan.StartScan(device ? 0 : 1, info, password) != 0) {
    error = "the scan cannot start";
    return 1;
  }
  while (!scan.finished()) {
    if (StopSignals::Raised()) {
      scan.Stop();
      break;
    }
    if (whileScanning) whileScanning();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (StopSignals::Raised()) {
    error = "scan stopped";
    return 130;
  }
  const int32_t open = scan.openResult();
  if (open != 0 && device) {
    error = "cannot back up the phone: " + DeviceFailureText(open) + " (code " +
            std::to_string(open) + ")";
    return open == kDeviceGone || open == kStopped ? 130 : 1;
  }
  if (open == kTempSpaceShort && scan.session()) {
    const TempSpaceShortfall& s = scan.session()->lastShortfall;
    error = "not enough space for the decrypted copy in " + s.folder.string() + ": it needs " +
            std::to_string(s.needed / (1024 * 1024)) + " MiB, " +
            std::to_string(s.available / (1024 * 1024)) +
            " MiB are free; choose a folder with room for it with --temp DIR";
    return 1;
  }
  if (open != 0) {
    error = std::string("cannot open ") + folder.string() + ": " + OpenFailureText(open) +
            " (code " + std::to_string(open) + ")";
    return open == kWrongPassword ? 3 : 1;
  }
  if (scan.scanResult() == kStopped) {
    error = "scan stopped";
    return 130;
  }
  // Data files the scan refused to read (links, FIFOs, folders in a file's place).
  if (const BackupSession* session = scan.session()) {
    for (const std::string& note : session->notes) {
      std::fprintf(stderr, "halvern-cli: note: %s\n", note.c_str());
    }
  }
  // The phone's summary comes from the backup just made.
  if (auto* engine = dynamic_cast<CDeviceRecovery*>(scan.activeEngine())) {
    info = engine->reader().info;
  }
  return 0;
}

int RunScans(const std::vector<fs::path>& folders, bool passwordStdin, ScanFrontEnd& frontEnd,
             std::vector<ScannedBackup>& out, std::string& error) {
  for (size_t i = 0; i < folders.size(); ++i) {
    ScannedBackup& one = out.emplace_back();
    one.folder = folders[i];
    one.session = std::make_unique<BackupSession>();
    // Each decrypted copy in a folder of its own: the copies of the backups read earlier stay
    // in place while the next one is decrypted.
    if (i > 0) one.session->decryptedFolderName += "-" + std::to_string(i + 1);
    one.scan = std::make_unique<ScanSequence>(frontEnd, one.session.get());
    std::string why;
    if (const int status = RunScan(one.folder, passwordStdin, *one.scan, one.info, why);
        status != 0) {
      const std::string name = one.folder.string();
      error = why.find(name) == std::string::npos ? name + ": " + why : why;
      return status;
    }
    one.results = one.scan->TakeResults();
  }
  return 0;
}

ScanResults MergeScanned(std::vector<ScannedBackup>& scanned) {
  std::stable_sort(scanned.begin(), scanned.end(), [](const ScannedBackup& a, const ScannedBackup& b) {
    return OlderBackup(a.info, b.info);
  });
  std::vector<LabeledScan> scans;
  for (ScannedBackup& one : scanned) scans.push_back({BackupLabel(one.info), std::move(one.results)});
  return MergeScans(std::move(scans));
}

int ScanCommand(const Args& input) {
  Args args = input;
  const bool asJson = TakeFlag(args, "--json");
  const bool passwordStdin = TakeFlag(args, "--password-stdin");
  const bool device = TakeFlag(args, "--device");
  const bool notesPassword = TakeFlag(args, "--notes-password");
  const bool notesPasswordStdin = TakeFlag(args, "--notes-password-stdin");
  if (device ? !args.empty() : args.empty()) {
    return Fail(2, "usage: scan DIR [DIR ...]|--device [--password-stdin] [--notes-password|"
                   "--notes-password-stdin] [--json]");
  }
  CliScanFrontEnd frontEnd;
  std::string error;
  if (args.size() > 1) {
    // Several backups read as one: every one is scanned before anything is written.
    std::vector<ScannedBackup> scanned;
    const int status =
        RunScans({args.begin(), args.end()}, passwordStdin, frontEnd, scanned, error);
    frontEnd.Done();
    if (status != 0) return Fail(status, error);
    std::vector<NoteStore> stores;
    for (ScannedBackup& one : scanned) stores.push_back({one.session.get(), &one.results.notes});
    if (const int notes = OpenLockedNotes(stores, notesPassword, notesPasswordStdin, error);
        notes != 0) {
      return Fail(notes, error);
    }
    ScanResults results = MergeScanned(scanned);
    std::vector<BackupInfo> sources;
    for (const ScannedBackup& one : scanned) sources.push_back(one.info);
    if (asJson) {
      std::cout.flush();
      if (const int e = WriteScanJson(stdout, sources.back(), 0, results, sources); e != 0) {
        return Fail(1, std::string("scan: cannot write the output: ") + std::strerror(e));
      }
    } else {
      std::printf("%zu backups read as one:\n", sources.size());
      for (const BackupInfo& b : sources) std::printf("  %s\n", BackupLabel(b).c_str());
      PrintCounts(results);
    }
    return PrintScanErrors(results);
  }
  BackupSession session;
  ScanSequence scan(frontEnd, &session);
  BackupInfo info;
  const int status = RunScan(device ? fs::path() : fs::path(args[0]), passwordStdin, scan, info,
                             error);
  frontEnd.Done();
  if (status != 0) return Fail(status, error);
  ScanResults results = scan.TakeResults();
  if (const int notes = OpenLockedNotes(scan.session(), results.notes, notesPassword,
                                        notesPasswordStdin, error);
      notes != 0) {
    return Fail(notes, error);
  }
  if (asJson) {
    std::cout.flush();
    if (const int e = WriteScanJson(stdout, info, scan.openResult(), results); e != 0) {
      return Fail(1, std::string("scan: cannot write the output: ") + std::strerror(e));
    }
  } else {
    PrintCounts(results);
  }
  // A database that lies in the backup but cannot be read fails its category: the others are
  // listed above, the failure is told and the exit status says so.
  return PrintScanErrors(results);
}

}  // namespace halvern::cli
