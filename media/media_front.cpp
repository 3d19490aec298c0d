// The conversions of media.h through the codecs module: loaded from the programs' helper folder
// at the first conversion (never at start, so that a scan maps none of FFmpeg and libheif), once
// per process. A module that cannot be loaded makes every conversion fail with the reason, and
// every "can a browser play it" question answer no (a copy is then attempted and fails with
// that reason, which the recover summary shows).
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "media/codecs.h"
#include "media/media.h"
#include "platform/codes.h"
#include "platform/runtime_files.h"

namespace halvern::media {

namespace fs = std::filesystem;

namespace {

struct Loaded {
  const CodecTable* table = nullptr;
  std::string problem;  // why there is no table
};

const Loaded& Module() {
  static Loaded loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    const fs::path path = platform::HelperFolder() / kCodecModuleName;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      loaded.problem = "the media library could not be loaded (" +
                       std::string(why != nullptr ? why : path.string()) + ")";
      return;
    }
    using Get = const CodecTable* (*)();
    const auto get = reinterpret_cast<Get>(dlsym(handle, kCodecTableSymbol));
    const CodecTable* table = get != nullptr ? get() : nullptr;
    if (table == nullptr || table->version != kCodecTableVersion) {
      loaded.problem = "the media library " + path.string() + " is of another version";
      return;
    }
    // Kept loaded for the life of the process: conversions may run on any thread.
    loaded.table = table;
  });
  return loaded;
}

Outcome Unavailable() {
  Outcome o;
  o.error = kInvalidParameter;
  o.reason = Module().problem;
  return o;
}

}  // namespace

bool IsBrowserPlayableAudio(const fs::path& file) {
  const CodecTable* t = Module().table;
  return t != nullptr && t->isBrowserPlayableAudio(file);
}

bool IsHevcVideo(const fs::path& file) {
  const CodecTable* t = Module().table;
  return t != nullptr && t->isHevcVideo(file);
}

Outcome DecodeHeif(const fs::path& source, Picture& picture) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->decodeHeif(source, picture) : Unavailable();
}

Outcome PictureToJpeg(const fs::path& source, const fs::path& target) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->pictureToJpeg(source, target) : Unavailable();
}

Outcome Thumbnail(const fs::path& source, const fs::path& target, int longestSide) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->thumbnail(source, target, longestSide) : Unavailable();
}

Outcome ConvertAudio(const fs::path& source, const fs::path& target) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->convertAudio(source, target) : Unavailable();
}

Outcome ConvertAudioToWav(const fs::path& source, const fs::path& target) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->convertAudioToWav(source, target) : Unavailable();
}

Outcome VideoToH264(const fs::path& source, const fs::path& target) {
  const CodecTable* t = Module().table;
  return t != nullptr ? t->videoToH264(source, target) : Unavailable();
}

}  // namespace halvern::media
