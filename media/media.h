// Copies of recovered media that every browser and the desktop program can show and play: a
// JPEG of a HEIC/HEIF/AVIF picture, a small JPEG thumbnail of a picture or a video's poster
// frame, AAC audio in an .m4a of a sound browsers cannot open (AMR, CAF, ...), and on request
// an H.264 copy of a video. Pictures of the HEIF family are read with libheif, everything else
// with FFmpeg's libraries; nothing here links Qt.
//
// Every copy is written whole under a temporary name beside the wanted one and only then given
// its name (platform/output_file.h): the wanted name, or the next free one ("name(1).ext") when
// it is taken, so nothing is ever replaced and a failed or stopped conversion leaves nothing
// under a real name. The original is only read.
//
// Every function is safe to call from several threads at once (each call has its own decoder
// and encoder state).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace halvern::media {

// The result of one conversion. `error` is 0 when the copy is whole on disk under `written`;
// else 87 (kInvalidParameter) when the source cannot be read as what it claims to be (no
// such file, damaged, no picture or sound in it, an encoder missing), or the errno value of a
// failed write; `reason` is then a short sentence for the user.
struct Outcome {
  int32_t error = 0;
  std::string reason;
  std::filesystem::path written;  // the name the copy took (the wanted one or the next free)
  bool ok() const { return error == 0; }
};

// ---- Telling files apart (by their first bytes and, for sounds, their streams) ----

// A HEIC, HEIF or AVIF picture: an ISO media file whose "ftyp" box names a brand of that
// family. Browsers other than Safari show none of them.
bool IsHeifFamily(const std::filesystem::path& file);
// A sound every current browser plays (and Qt Multimedia too): AAC or MP3 in MP4/M4A, MP3,
// Opus or Vorbis in Ogg or WebM, FLAC, PCM in WAV. AMR, CAF (whatever it holds), an MP4 of
// ALAC, anything unreadable or not a sound: false.
bool IsBrowserPlayableAudio(const std::filesystem::path& file);
// A sound by its extension (.amr .caf .m4a .mp3 .opus .ogg .wav .aac .aif .aiff .flac .awb
// .3ga); the files worth asking IsBrowserPlayableAudio about.
bool LooksLikeAudio(const std::filesystem::path& file);
// A video by its extension (.mov .mp4 .m4v .3gp .avi .mkv .webm).
bool LooksLikeVideo(const std::filesystem::path& file);
// A picture by its extension that Thumbnail reads (.jpg .jpeg .png .gif .bmp .tif .tiff
// .webp .heic .heif .avif).
bool LooksLikePicture(const std::filesystem::path& file);
// Whether the video's first video stream is HEVC (which most browsers on Linux and Windows do
// not decode); false when it cannot be read.
bool IsHevcVideo(const std::filesystem::path& file);

// ---- Names of the copies, beside the original ----

// "12.amr" -> "12.amr.m4a": the original's whole name is kept, so two originals that differ
// only in their extension never want the same copy.
std::filesystem::path PlayableAudioName(const std::filesystem::path& original);
// "IMG_1.HEIC" -> "IMG_1.jpg".
std::filesystem::path JpegCopyName(const std::filesystem::path& original);
// "IMG_1.MOV" -> "thumbs/IMG_1.MOV.jpg" in a "thumbs" folder beside the original.
std::filesystem::path ThumbnailName(const std::filesystem::path& original);
// "IMG_1.MOV" -> "IMG_1.MOV.mp4".
std::filesystem::path H264CopyName(const std::filesystem::path& original);

// ---- Conversions ----

// AAC in an .m4a (MP4) file at `target` from any sound FFmpeg reads: AMR-NB/WB, CAF with AAC,
// ALAC, Opus, IMA4 or PCM, Opus or Vorbis in Ogg, MP3, WAV, ... Mono and stereo stay as they
// are (more channels are mixed to stereo); the sample rate is kept where AAC has it.
Outcome ConvertAudio(const std::filesystem::path& source, const std::filesystem::path& target);
// The primary picture of a HEIC/HEIF/AVIF file as a JPEG at `target`, turned and mirrored as
// the camera asked.
Outcome PictureToJpeg(const std::filesystem::path& source, const std::filesystem::path& target);
// A small JPEG at `target`, its longest side at most `longestSide` pixels (never enlarged): of
// a picture (HEIC/HEIF/AVIF, JPEG, PNG, GIF, BMP, TIFF, WebP; a JPEG's EXIF orientation
// applied) or, for a video, of a frame near its start (its rotation applied).
Outcome Thumbnail(const std::filesystem::path& source, const std::filesystem::path& target,
                  int longestSide = 320);
// An H.264 (with AAC sound, when it has sound) copy in an .mp4 at `target` of any video FFmpeg
// reads. Slow: made only when the user asks for it. Fails with a reason when no H.264
// encoder is built into the FFmpeg libraries on this system.
Outcome VideoToH264(const std::filesystem::path& source, const std::filesystem::path& target);

// ---- Decoding for a preview ----

// A picture as 8-bit RGBA rows (width * 4 bytes each, no padding).
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
};
// The primary picture of a HEIC/HEIF/AVIF file, turned as the camera asked. 0, or 87 with the
// reason (libheif's message).
Outcome DecodeHeif(const std::filesystem::path& source, Picture& picture);

}  // namespace halvern::media
