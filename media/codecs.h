// The table of conversions the codecs module (libhalvern-media.so, codecs.cpp) hands to the
// programs that load it (media_front.cpp). Both sides are built from this one header in the
// same build; the version guards against a module left over from another build.
#pragma once

#include <cstdint>
#include <filesystem>

#include "media/media.h"

namespace halvern::media {

inline constexpr uint32_t kCodecTableVersion = 1;

struct CodecTable {
  uint32_t version;
  bool (*isBrowserPlayableAudio)(const std::filesystem::path& file);
  bool (*isHevcVideo)(const std::filesystem::path& file);
  Outcome (*decodeHeif)(const std::filesystem::path& source, Picture& picture);
  Outcome (*pictureToJpeg)(const std::filesystem::path& source,
                           const std::filesystem::path& target);
  Outcome (*thumbnail)(const std::filesystem::path& source, const std::filesystem::path& target,
                       int longestSide);
  Outcome (*convertAudio)(const std::filesystem::path& source,
                          const std::filesystem::path& target);
  Outcome (*convertAudioToWav)(const std::filesystem::path& source,
                               const std::filesystem::path& target);
  Outcome (*videoToH264)(const std::filesystem::path& source,
                         const std::filesystem::path& target);
};

// The module's one exported symbol.
inline constexpr const char* kCodecTableSymbol = "halvern_media_codecs";
// The module's file name, in the helper folder of the programs (platform/runtime_files.h).
inline constexpr const char* kCodecModuleName = "libhalvern-media.so";

}  // namespace halvern::media
