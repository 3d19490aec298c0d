// Result codes of every engine operation and the two progress callback types.
// The numeric values are part of the engine contract and never change.
#pragma once

#include <cstdint>
#include <string>

namespace halvern {

inline constexpr int32_t kOk = 0;
// Stopped by the user (a progress callback answered non-zero). Above every errno value
// (errno values stay below 4096), so a failure such as ENOENT is never taken for a stop.
inline constexpr int32_t kStopped = 20002;
inline constexpr int32_t kDeviceGone = -1;             // device gone or device backup stopped
inline constexpr int32_t kWrongPassword = -110;
inline constexpr int32_t kReserved111 = -111;
inline constexpr int32_t kInvalidParameter = 87;       // a needed file missing, unreadable or not a database
// A read came back short. Above every errno value, like kStopped: 30 is EROFS, which a
// recover onto a read-only disk must report as what it is.
inline constexpr int32_t kReadFault = 20003;
inline constexpr int32_t kQueryFailed = 1006;          // the manifest query failed
inline constexpr int32_t kManifestOpenFailed = 6009;   // the manifest file cannot be opened
inline constexpr int32_t kManifestDamaged = 6010;      // the manifest yields no record or is cut
inline constexpr int32_t kNoTempFolder = 6011;         // no private folder for a decrypted copy
inline constexpr int32_t kTempSpaceShort = 6012;       // too little space there for the copy

// True for a result that means "stopped by the user", never for a failure.
inline constexpr bool IsStopped(int32_t result) { return result == kStopped; }

// User data and an absolute percentage (0..100 of the whole scan) in; 0 to go on.
using ProgressCallback = int32_t (*)(void* userData, int32_t percent);
// User data, percent of the current file, error code and destination path in; 0 to go on.
using ExportCallback = int32_t (*)(void* userData, int32_t percent, int32_t error,
                                   const std::string& path);

// A progress callback with its user data; reporting through an empty sink answers 0.
struct ProgressSink {
  ProgressCallback callback = nullptr;
  void* userData = nullptr;
  int32_t Report(int32_t percent) const { return callback ? callback(userData, percent) : 0; }
  explicit operator bool() const { return callback != nullptr; }
};

}  // namespace halvern
