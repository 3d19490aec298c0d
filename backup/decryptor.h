// Driving the decryptor program `tool`, which turns an encrypted backup into a plain copy
// whose data files lie flat in an output folder under their file ids.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/codes.h"

namespace halvern {

struct DecryptorRequest {
  std::filesystem::path tool;          // the decryptor program
  std::filesystem::path backupFolder;  // the encrypted backup (never written)
  std::filesystem::path outputFolder;  // receives the decrypted copy
  std::string password;                // handed over on the decryptor's standard input
  int64_t fileCount = 0;               // backup files counted for the progress
  int32_t step = 10;                   // progress unit of the scan
};

// Runs the decryptor and follows its progress. `progress` is the scan's progress base: it
// becomes 1 at the first "Count:" line. Results: 0 done, -110 wrong password, the callback's
// non-zero answer when stopped, 87 when the decryptor cannot be started.
int32_t RunDecryptor(const DecryptorRequest& request, const ProgressSink& sink, int32_t& progress);

}  // namespace halvern
