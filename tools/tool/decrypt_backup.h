// Turning an encrypted backup into a plain copy: the data files decrypted flat into an
// output folder under their file ids, and the index as "Manifest.db-decypted" beside them.
//
// Generations, decided by what the backup holds:
//   Manifest.mbdb                      iOS 4-9: plain index, per-file keys in its records,
//                                      data files flat, one PBKDF2-HMAC-SHA1 stage
//   Manifest.db without ManifestKey    iOS 10.0-10.1: plain index, data files two-level
//   Manifest.db with ManifestKey       iOS 10.2+: the index itself is AES-256-CBC encrypted
//                                      under a key wrapped with class key 4; the bag has
//                                      DPIC/DPSL and the key is derived in two stages
// Every data file is AES-256-CBC (zero IV, PKCS#7) under its own 32-byte key, wrapped with
// the class key of its protection class (u32 little-endian prefix | 40-byte wrapped key).
//
// The backup folder is only read. Nothing is written before the password has been checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "tools/tool/crypto.h"

namespace halvern {

// Where the decryption reports to.
struct DecryptEvents {
  // Protocol lines for the program that started the decryptor ("Count: N", "Wrong password").
  std::function<void(std::string_view)> protocol;
  // Notes for a person: progress of the key derivation, damaged or missing files.
  std::function<void(std::string_view)> note;
  // Polled between pieces of work; true ends the decryption with kStopRequested.
  std::function<bool()> stopRequested;
};

enum class DecryptStatus {
  kDone,
  kPasswordWrong,
  kStopRequested,
  kNotDecryptable,    // not an encrypted backup, or its Manifest.plist / keybag is unusable
  kBackupUnreadable,  // a file the whole backup depends on could not be read
  kOutputUnwritable,  // the output could not be written
  kBadManifest,       // the index is missing, cannot be decrypted or is not a database
};

struct DecryptSummary {
  int64_t files = 0;           // regular files listed in the index
  int64_t decrypted = 0;       // written to the output folder
  int64_t missing = 0;         // listed, but no data file in the backup
  int64_t damaged = 0;         // written, but truncated or with bad padding (all bytes kept)
  int64_t undecryptable = 0;   // no usable key or no valid file id: nothing written
  int64_t unreadable = 0;      // the data file could not be read: nothing written
  int64_t sizeMismatches = 0;  // the recorded size differs from the decrypted size
};

struct DecryptRequest {
  std::filesystem::path backupFolder;
  std::filesystem::path outputFolder;
  SecretBytes password;  // UTF-8 bytes as typed
};

DecryptStatus DecryptBackup(const DecryptRequest& request, const DecryptEvents& events,
                            DecryptSummary& summary);

// Decrypts one data file from `in` to `out` (created or replaced) with a 32-byte file key.
// `ending` tells whether the file was truncated or badly padded; every decrypted byte is
// written either way. kBackupUnreadable / kOutputUnwritable on I/O errors, kStopRequested when
// asked to stop.
DecryptStatus DecryptDataFile(const std::filesystem::path& in, const std::filesystem::path& out,
                              ByteView key, const DecryptEvents& events, CbcEnding& ending);

// True for 40 lower-case hex digits: the only names written into the output folder.
bool IsFileId(std::string_view text);

}  // namespace halvern
