// Driving the decryptor program `tool`, which turns an encrypted backup into a plain copy
// whose data files lie flat in an output folder under their file ids.
//
// The conversation with `tool`:
//   command line   tool BACKUP_FOLDER OUTPUT_FOLDER         (an argument vector, no shell)
//   standard input the password as one line (closed after it)
//   SIGTERM        asks `tool` to stop at its next file (exit status kStopped); it also gets
//                  SIGTERM when the thread that started it ends (PR_SET_PDEATHSIG)
//   standard output and error, one pipe:
//     "Wrong password"   the password does not open the backup (nothing has been written)
//     "Count: N"         N data files are done
//     other lines        notes for a person (key derivation progress, damaged files)
//   exit status    one of decryptor_exit below
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/codes.h"

namespace halvern {

// Exit statuses of `tool`.
namespace decryptor_exit {
inline constexpr int kDone = 0;
inline constexpr int kWrongPassword = 10;
inline constexpr int kStopped = 11;         // stopped by SIGTERM, SIGINT or SIGHUP
inline constexpr int kNotDecryptable = 12;  // not an encrypted backup, unusable keybag
inline constexpr int kReadFault = 13;       // the backup could not be read
inline constexpr int kWriteFault = 14;      // the output folder could not be written
inline constexpr int kBadManifest = 15;     // the index is missing or does not decrypt
inline constexpr int kUsage = 64;           // bad command line
}  // namespace decryptor_exit

// The result code for an exit status of `tool`: 0, -110, 2, 87, 30, EIO, 6009; 87 for a
// usage error or an unknown status.
int32_t DecryptorExitResult(int exitStatus);

struct DecryptorRequest {
  std::filesystem::path tool;          // the decryptor program
  std::filesystem::path backupFolder;  // the encrypted backup (never written)
  std::filesystem::path outputFolder;  // receives the decrypted copy
  std::string password;                // handed over on the decryptor's standard input
  int64_t fileCount = 0;               // backup files counted for the progress
  int32_t step = 10;                   // progress unit of the scan
};

// Runs the decryptor and follows its progress. `progress` is the scan's progress base: it
// becomes 1 at the first "Count:" line (the scan's start signal); each batch of output then
// reports progress + step * N / fileCount (just `progress` when fileCount is 0), and the end
// reports progress + step without storing it.
// Results: 0 done; -110 wrong password; the callback's non-zero answer when stopped; 87 when
// the decryptor cannot be started; for a decryptor that fails, the code of its exit status
// (DecryptorExitResult), or EIO when it dies from a signal. Whenever the driver returns, the
// decryptor has ended: on an early end it gets SIGTERM, then SIGKILL if it has not exited
// 2 s later, and it is waited for.
int32_t RunDecryptor(const DecryptorRequest& request, const ProgressSink& sink, int32_t& progress);

}  // namespace halvern
