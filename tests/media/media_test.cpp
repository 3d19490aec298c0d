// The media copies: sounds browsers cannot open become AAC in .m4a, HEIF pictures JPEG copies
// turned as the camera asked, thumbnails of pictures and videos, H.264 copies of HEVC videos.
// Every output is read back with FFmpeg's own decoders, never with the code under test.
#include "media/media.h"

#include <gtest/gtest.h>
#include <libheif/heif.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/codes.h"

// libheif's HEVC encoder (x265), which only the test uses to make its pictures, keeps a few
// allocations until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265\n"; }

namespace halvern::media {
namespace {

namespace fs = std::filesystem;

fs::path Data(const std::string& name) {
  return fs::path(HALVERN_TEST_DATA_DIR) / "media" / name;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An AMR file as phones store voicemails (RFC 4867 section 5): the magic line, then `frames`
// frames of 20 ms of the highest mode, each a header byte (frame type, quality bit) and the
// speech bits. Any bits are valid speech parameters, so filler bits decode to a sound.
std::string MakeAmr(bool wideband, int frames) {
  std::string file = wideband ? "#!AMR-WB\n" : "#!AMR\n";
  const int type = wideband ? 8 : 7;           // 23.85 kbit/s, 12.2 kbit/s
  const size_t bytes = wideband ? 60 : 31;     // 477 and 244 bits, padded to bytes
  uint32_t seed = 12345;
  for (int f = 0; f < frames; ++f) {
    file.push_back(static_cast<char>((type << 3) | 0x04));
    for (size_t i = 0; i < bytes; ++i) {
      seed = seed * 1103515245 + 12345;
      file.push_back(static_cast<char>(seed >> 24));
    }
  }
  return file;
}

// A 64 x 48 HEIC picture, red on the left and blue on the right, with the EXIF-numbered
// `orientation` written as libheif writes a camera's (irot/imir boxes).
void MakeHeic(const fs::path& path, int orientation) {
  heif_context* context = heif_context_alloc();
  heif_image* image = nullptr;
  ASSERT_EQ(heif_image_create(64, 48, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image)
                .code,
            heif_error_Ok);
  ASSERT_EQ(heif_image_add_plane(image, heif_channel_interleaved, 64, 48, 8).code, heif_error_Ok);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      uint8_t* p = plane + y * stride + x * 3;
      p[0] = x < 32 ? 255 : 0;
      p[1] = 0;
      p[2] = x < 32 ? 0 : 255;
    }
  }
  heif_encoder* encoder = nullptr;
  ASSERT_EQ(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code,
            heif_error_Ok);
  heif_encoder_set_lossy_quality(encoder, 90);
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = static_cast<heif_orientation>(orientation);
  ASSERT_EQ(heif_context_encode_image(context, image, encoder, options, nullptr).code,
            heif_error_Ok);
  ASSERT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
  heif_encoding_options_free(options);
  heif_encoder_release(encoder);
  heif_image_release(image);
  heif_context_free(context);
}

// What FFmpeg reads in a file: its container, first sound and first video, the seconds of
// sound it decodes, and the rotation of its video.
struct Probe {
  bool opened = false;
  std::string format;
  std::string audioCodec;
  std::string videoCodec;
  int sampleRate = 0;
  int channels = 0;
  double decodedSeconds = 0;
  int width = 0, height = 0;
  double rotation = 0;
};

Probe ProbeFile(const fs::path& file) {
  Probe probe;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0) return probe;
  if (avformat_find_stream_info(input, nullptr) < 0) {
    avformat_close_input(&input);
    return probe;
  }
  probe.opened = true;
  probe.format = input->iformat->name;
  const int v = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v >= 0) {
    const AVStream* s = input->streams[v];
    probe.videoCodec = avcodec_get_name(s->codecpar->codec_id);
    probe.width = s->codecpar->width;
    probe.height = s->codecpar->height;
    if (const uint8_t* m = av_stream_get_side_data(s, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
      probe.rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(m));
    }
  }
  const int a = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (a >= 0) {
    const AVStream* s = input->streams[a];
    probe.audioCodec = avcodec_get_name(s->codecpar->codec_id);
    const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, s->codecpar);
    dec->pkt_timebase = s->time_base;
    if (codec != nullptr && avcodec_open2(dec, codec, nullptr) == 0) {
      probe.sampleRate = dec->sample_rate;
      probe.channels = dec->ch_layout.nb_channels;
      AVPacket* packet = av_packet_alloc();
      AVFrame* frame = av_frame_alloc();
      int64_t samples = 0;
      const auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) == 0) samples += frame->nb_samples;
      };
      while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == a && avcodec_send_packet(dec, packet) == 0) drain();
        av_packet_unref(packet);
      }
      avcodec_send_packet(dec, nullptr);
      drain();
      probe.decodedSeconds = dec->sample_rate > 0 ? double(samples) / dec->sample_rate : 0;
      av_frame_free(&frame);
      av_packet_free(&packet);
    }
    avcodec_free_context(&dec);
  }
  avformat_close_input(&input);
  return probe;
}

// A JPEG decoded by FFmpeg to RGB, for looking at its pixels.
struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  // The pixel at (x, y) as 0xRRGGBB.
  uint32_t At(int x, int y) const {
    const uint8_t* p = &pixels[(size_t(y) * width + x) * 3];
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
  }
  bool Reddish(int x, int y) const {
    const uint32_t c = At(x, y);
    return (c >> 16) > 180 && (c & 0xff) < 80;
  }
  bool Bluish(int x, int y) const {
    const uint32_t c = At(x, y);
    return (c >> 16) < 80 && (c & 0xff) > 180;
  }
};

Rgb DecodeJpeg(const fs::path& file) {
  Rgb rgb;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0) return rgb;
  avformat_find_stream_info(input, nullptr);
  const AVStream* s = input->streams[0];
  EXPECT_EQ(s->codecpar->codec_id, AV_CODEC_ID_MJPEG) << file;
  const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, s->codecpar);
  avcodec_open2(dec, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (av_read_frame(input, packet) >= 0 && avcodec_send_packet(dec, packet) == 0 &&
      avcodec_receive_frame(dec, frame) == 0) {
    rgb.width = frame->width;
    rgb.height = frame->height;
    rgb.pixels.resize(size_t(rgb.width) * rgb.height * 3);
    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                     frame->width, frame->height, AV_PIX_FMT_RGB24, SWS_POINT,
                                     nullptr, nullptr, nullptr);
    uint8_t* planes[1] = {rgb.pixels.data()};
    const int strides[1] = {rgb.width * 3};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(sws);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&dec);
  avformat_close_input(&input);
  return rgb;
}

// `jpeg` with an EXIF segment holding only the orientation tag, right after its start marker.
std::string WithExifOrientation(const std::string& jpeg, int orientation) {
  std::string tiff("II*\0\x08\0\0\0", 8);                      // little-endian, IFD at 8
  tiff += std::string("\x01\0", 2);                            // one entry
  tiff += std::string("\x12\x01\x03\0\x01\0\0\0", 8);          // 0x0112 SHORT, count 1
  tiff += static_cast<char>(orientation);
  tiff += std::string("\0\0\0\0\0\0", 6);                      // value padding, no next IFD
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  const size_t length = body.size() + 2;
  std::string segment("\xff\xe1", 2);
  segment += static_cast<char>(length >> 8);
  segment += static_cast<char>(length & 0xff);
  return jpeg.substr(0, 2) + segment + body + jpeg.substr(2);
}

class MediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("halvern-media-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  // The names in the test's folder (hidden temporary files included).
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path root_;
};

TEST_F(MediaTest, SoundsBrowsersCannotOpenBecomeAacThatDecodesToTheSameLength) {
  WriteBytes(root_ / "voicemail.amr", MakeAmr(false, 100));
  WriteBytes(root_ / "voicemail-wb.amr", MakeAmr(true, 150));
  struct Case {
    fs::path source;
    double seconds;
    int rate;              // of the copy
    bool sourcePlayable;   // whether a browser plays the original already
  };
  const Case cases[] = {
      {root_ / "voicemail.amr", 2.0, 8000, false},
      {root_ / "voicemail-wb.amr", 3.0, 16000, false},
      {Data("voice-opus.caf"), 1.0, 48000, false},
      {Data("voice-ima4.caf"), 1.0, 8000, false},
      {Data("voice-note.opus"), 1.0, 48000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.filename().string());
    EXPECT_EQ(IsBrowserPlayableAudio(c.source), c.sourcePlayable);
    const Probe original = ProbeFile(c.source);
    ASSERT_TRUE(original.opened);
    EXPECT_NEAR(original.decodedSeconds, c.seconds, 0.03);

    const fs::path target = root_ / "out" / PlayableAudioName(c.source.filename());
    const Outcome outcome = ConvertAudio(c.source, target);
    ASSERT_TRUE(outcome.ok()) << outcome.reason;
    EXPECT_EQ(outcome.written, target);
    const Probe copy = ProbeFile(target);
    ASSERT_TRUE(copy.opened);
    EXPECT_EQ(copy.audioCodec, "aac");
    EXPECT_EQ(copy.format.rfind("mov,mp4,m4a", 0), 0u) << copy.format;
    EXPECT_EQ(copy.sampleRate, c.rate);
    EXPECT_EQ(copy.channels, 1);
    // The encoder's priming samples are hidden by the file's edit list, as players hide them;
    // the last frame is filled up to 1024 samples.
    EXPECT_NEAR(copy.decodedSeconds, c.seconds, 1024.0 / c.rate + 0.001);
    EXPECT_TRUE(IsBrowserPlayableAudio(target));
  }
  // The originals are only read.
  EXPECT_EQ(ReadBytes(root_ / "voicemail.amr"), MakeAmr(false, 100));
}

TEST_F(MediaTest, ACopyNeverReplacesAFileAndTakesTheNextFreeName) {
  WriteBytes(root_ / "12.amr", MakeAmr(false, 50));
  EXPECT_EQ(PlayableAudioName(root_ / "12.amr"), root_ / "12.amr.m4a");
  WriteBytes(root_ / "12.amr.m4a", "the user's own file");
  const Outcome outcome = ConvertAudio(root_ / "12.amr", PlayableAudioName(root_ / "12.amr"));
  ASSERT_TRUE(outcome.ok()) << outcome.reason;
  EXPECT_EQ(outcome.written, root_ / "12.amr(1).m4a");
  EXPECT_EQ(ReadBytes(root_ / "12.amr.m4a"), "the user's own file");
  EXPECT_EQ(ProbeFile(outcome.written).audioCodec, "aac");
  EXPECT_EQ(Names(), (std::vector<std::string>{"12.amr", "12.amr(1).m4a", "12.amr.m4a"}));
}

TEST_F(MediaTest, WhatCannotBeDecodedFailsWith87AndAReasonAndLeavesNothing) {
  std::string noise(4000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) >> 3);
  WriteBytes(root_ / "noise.caf", noise);
  WriteBytes(root_ / "noise.heic", std::string("\0\0\0\x18" "ftypheic", 12) + noise);
  WriteBytes(root_ / "header-only.amr", "#!AMR\n");
  WriteBytes(root_ / "cut.heic", "");
  {
    const fs::path heic = root_ / "whole.heic";
    MakeHeic(heic, 1);
    const std::string bytes = ReadBytes(heic);
    fs::remove(heic);
    WriteBytes(root_ / "cut.heic", bytes.substr(0, bytes.size() / 2));
  }
  const std::vector<std::string> before = Names();
  struct Case {
    const char* what;
    std::function<Outcome()> run;
  };
  const Case cases[] = {
      {"noise as sound", [&] { return ConvertAudio(root_ / "noise.caf", root_ / "a.m4a"); }},
      {"AMR without frames",
       [&] { return ConvertAudio(root_ / "header-only.amr", root_ / "b.m4a"); }},
      {"missing sound", [&] { return ConvertAudio(root_ / "gone.amr", root_ / "c.m4a"); }},
      {"noise as HEIC", [&] { return PictureToJpeg(root_ / "noise.heic", root_ / "d.jpg"); }},
      {"HEIC cut in half", [&] { return PictureToJpeg(root_ / "cut.heic", root_ / "e.jpg"); }},
      {"thumbnail of noise", [&] { return Thumbnail(root_ / "noise.caf", root_ / "f.jpg"); }},
      {"thumbnail of a cut HEIC", [&] { return Thumbnail(root_ / "cut.heic", root_ / "g.jpg"); }},
      {"H.264 of noise", [&] { return VideoToH264(root_ / "noise.caf", root_ / "h.mp4"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = c.run();
    EXPECT_EQ(outcome.error, kInvalidParameter);
    EXPECT_FALSE(outcome.reason.empty());
  }
  EXPECT_FALSE(IsBrowserPlayableAudio(root_ / "noise.caf"));
  EXPECT_FALSE(IsBrowserPlayableAudio(root_ / "header-only.amr"));
  // No copy, no placeholder, no temporary file.
  EXPECT_EQ(Names(), before);
}

TEST_F(MediaTest, HeifJpegCopiesAreTurnedAsTheCameraAsked) {
  struct Case {
    int orientation;
    int width, height;
    bool redOnTop;  // else red on the left
  };
  for (const Case& c : {Case{1, 64, 48, false}, Case{6, 48, 64, true}, Case{3, 64, 48, false}}) {
    SCOPED_TRACE(c.orientation);
    const fs::path heic = root_ / ("IMG_" + std::to_string(c.orientation) + ".HEIC");
    MakeHeic(heic, c.orientation);
    ASSERT_TRUE(IsHeifFamily(heic));
    EXPECT_EQ(JpegCopyName(heic), root_ / ("IMG_" + std::to_string(c.orientation) + ".jpg"));
    const Outcome outcome = PictureToJpeg(heic, JpegCopyName(heic));
    ASSERT_TRUE(outcome.ok()) << outcome.reason;
    const Rgb jpeg = DecodeJpeg(outcome.written);
    ASSERT_EQ(jpeg.width, c.width);
    ASSERT_EQ(jpeg.height, c.height);
    if (c.redOnTop) {  // a quarter turn clockwise takes the left side to the top
      EXPECT_TRUE(jpeg.Reddish(c.width / 2, 4));
      EXPECT_TRUE(jpeg.Bluish(c.width / 2, c.height - 5));
    } else if (c.orientation == 3) {  // half round: red goes right
      EXPECT_TRUE(jpeg.Bluish(4, c.height / 2));
      EXPECT_TRUE(jpeg.Reddish(c.width - 5, c.height / 2));
    } else {
      EXPECT_TRUE(jpeg.Reddish(4, c.height / 2));
      EXPECT_TRUE(jpeg.Bluish(c.width - 5, c.height / 2));
    }
    Picture decoded;
    ASSERT_TRUE(DecodeHeif(heic, decoded).ok());
    EXPECT_EQ(decoded.width, c.width);
    EXPECT_EQ(decoded.height, c.height);
    EXPECT_EQ(decoded.rgba.size(), size_t(c.width) * c.height * 4);
  }
}

TEST_F(MediaTest, ThumbnailsAreSmallUprightJpegsOfPicturesAndVideos) {
  MakeHeic(root_ / "photo.heic", 1);
  // A JPEG of the same picture whose EXIF asks for a quarter turn clockwise.
  ASSERT_TRUE(PictureToJpeg(root_ / "photo.heic", root_ / "plain.jpg").ok());
  WriteBytes(root_ / "turned.jpg", WithExifOrientation(ReadBytes(root_ / "plain.jpg"), 6));

  struct Case {
    fs::path source;
    int longest;
    int width, height;
    bool redOnTop;
  };
  const Case cases[] = {
      {root_ / "photo.heic", 32, 32, 24, false},
      {root_ / "photo.heic", 320, 64, 48, false},   // never enlarged
      {root_ / "turned.jpg", 32, 24, 32, true},
      {Data("hevc-portrait.mov"), 48, 32, 48, false},  // 96 x 64 held a quarter turned
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source.filename().string() + " " + std::to_string(c.longest));
    const fs::path target = root_ / std::to_string(c.longest) / ThumbnailName(c.source).filename();
    const Outcome outcome = Thumbnail(c.source, target, c.longest);
    ASSERT_TRUE(outcome.ok()) << outcome.reason;
    const Rgb thumb = DecodeJpeg(outcome.written);
    EXPECT_EQ(thumb.width, c.width);
    EXPECT_EQ(thumb.height, c.height);
    if (c.source.extension() == ".mov") continue;
    if (c.redOnTop) {
      EXPECT_TRUE(thumb.Reddish(c.width / 2, 2));
      EXPECT_TRUE(thumb.Bluish(c.width / 2, c.height - 3));
    } else {
      EXPECT_TRUE(thumb.Reddish(2, c.height / 2));
      EXPECT_TRUE(thumb.Bluish(c.width - 3, c.height / 2));
    }
  }
  EXPECT_EQ(ThumbnailName(root_ / "IMG_1.MOV"), root_ / "thumbs" / "IMG_1.MOV.jpg");
}

TEST_F(MediaTest, HevcVideoGetsAnH264CopyOnlyWhenAskedWithItsSoundAndRotation) {
  const fs::path movie = Data("hevc-portrait.mov");
  ASSERT_TRUE(IsHevcVideo(movie));
  EXPECT_TRUE(LooksLikeVideo(movie));
  const Probe original = ProbeFile(movie);
  const Outcome outcome = VideoToH264(movie, root_ / H264CopyName(movie.filename()));
  ASSERT_TRUE(outcome.ok()) << outcome.reason;
  EXPECT_EQ(outcome.written, root_ / "hevc-portrait.mov.mp4");
  EXPECT_FALSE(IsHevcVideo(outcome.written));
  const Probe copy = ProbeFile(outcome.written);
  EXPECT_EQ(copy.videoCodec, "h264");
  EXPECT_EQ(copy.width, 96);
  EXPECT_EQ(copy.height, 64);
  EXPECT_EQ(copy.rotation, original.rotation);
  EXPECT_NE(copy.rotation, 0);
  EXPECT_EQ(copy.audioCodec, "aac");
  EXPECT_NEAR(copy.decodedSeconds, original.decodedSeconds, 0.05);
}

}  // namespace
}  // namespace halvern::media
