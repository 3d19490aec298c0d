// Conversions of recovered media through libheif (HEIF family) and FFmpeg (everything else):
// the codecs module, a shared library of its own (libhalvern-media.so) that the programs load
// on first use (media_front.cpp), so that a run that converts nothing never maps FFmpeg,
// libheif and the libraries they pull in.
// Every decoder and encoder runs on the calling thread alone (thread_count 1): a recover run
// converts on its second core beside the copies, and a conversion must not take the first.
#include "media/codecs.h"
#include "media/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <libheif/heif.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/codes.h"
#include "platform/output_file.h"
#include "platform/platform.h"

namespace halvern::media {

namespace fs = std::filesystem;

namespace codecs {

// The conversions, under the names the module's table gives them (codecs.h); called here
// by these names, never through the loader of media_front.cpp.
bool IsBrowserPlayableAudio(const fs::path& file);
bool IsHevcVideo(const fs::path& file);
Outcome DecodeHeif(const fs::path& source, Picture& picture);
Outcome PictureToJpeg(const fs::path& source, const fs::path& target);
Outcome Thumbnail(const fs::path& source, const fs::path& target, int longestSide);
Outcome ConvertAudio(const fs::path& source, const fs::path& target);
Outcome ConvertAudioToWav(const fs::path& source, const fs::path& target);
Outcome VideoToH264(const fs::path& source, const fs::path& target);

namespace {

// ---- Shared helpers ----

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Failures come back as outcomes with their reason; the libraries' own logging would only
    // scatter the same text over the terminal of a command line run.
    av_log_set_level(AV_LOG_QUIET);
    heif_init(nullptr);
  });
}

Outcome Failed(int32_t error, std::string reason) {
  Outcome o;
  o.error = error;
  o.reason = std::move(reason);
  return o;
}

Outcome Undecodable(std::string reason) { return Failed(kInvalidParameter, std::move(reason)); }

std::string AvText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}




// An output file that exists only once it is whole (platform::OutputFile::Open), written
// either as one piece of bytes or by an FFmpeg muxer through its descriptor.
class Output {
 public:
  int32_t Open(const fs::path& wanted) {
    std::error_code ec;
    if (!wanted.parent_path().empty()) fs::create_directories(wanted.parent_path(), ec);
    if (ec) return ec.value();
    return file_.Open(wanted);
  }
  int fd() const { return file_.fd(); }
  int32_t Write(std::string_view bytes) { return file_.Write(bytes); }
  // Gives the file its name; the outcome names it.
  Outcome Commit() {
    if (const int32_t r = file_.Commit(); r != 0) {
      return Failed(r, std::string("the copy could not be written: ") + std::strerror(r));
    }
    Outcome o;
    o.written = file_.path();
    return o;
  }

 private:
  platform::OutputFile file_;
};

Outcome WriteFailed(int32_t error) {
  return Failed(error, std::string("the copy could not be written: ") + std::strerror(error));
}

// ---- FFmpeg handles ----

struct InputClose {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using Input = std::unique_ptr<AVFormatContext, InputClose>;
struct CodecFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using Codec = std::unique_ptr<AVCodecContext, CodecFree>;
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameFree>;
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using Scaler = std::unique_ptr<SwsContext, SwsFree>;
struct SwrFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using Resampler = std::unique_ptr<SwrContext, SwrFree>;
struct FifoFree {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using Fifo = std::unique_ptr<AVAudioFifo, FifoFree>;

// Opens `file` for reading with its streams probed; the reason on failure.
Input OpenInput(const fs::path& file, std::string& reason) {
  InitOnce();
  AVFormatContext* raw = nullptr;
  const int r = avformat_open_input(&raw, file.c_str(), nullptr, nullptr);
  if (r < 0) {
    reason = r == AVERROR(ENOENT) ? "the file is not there"
                                  : "the file cannot be read as media (" + AvText(r) + ")";
    return nullptr;
  }
  Input input(raw);
  if (const int s = avformat_find_stream_info(input.get(), nullptr); s < 0) {
    reason = "the file's streams cannot be read (" + AvText(s) + ")";
    return nullptr;
  }
  return input;
}

// A decoder for stream `index` of `input`, on one thread.
Codec OpenDecoder(AVFormatContext* input, int index, std::string& reason) {
  const AVStream* stream = input->streams[index];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    reason = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
    return nullptr;
  }
  Codec ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) {
    reason = "the decoder cannot be set up";
    return nullptr;
  }
  ctx->pkt_timebase = stream->time_base;
  ctx->thread_count = 1;
  if (const int r = avcodec_open2(ctx.get(), codec, nullptr); r < 0) {
    reason = std::string("the ") + codec->name + " decoder cannot be opened (" + AvText(r) + ")";
    return nullptr;
  }
  return ctx;
}

// AVIO over a descriptor: the muxers write and seek (an MP4 goes back to its box sizes).
int WriteToFd(void* opaque, uint8_t* data, int size) {
  const int fd = *static_cast<int*>(opaque);
  int left = size;
  while (left > 0) {
    const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    data += n;
    left -= static_cast<int>(n);
  }
  return size;
}
int64_t SeekFd(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<int*>(opaque);
  if (whence == AVSEEK_SIZE) {
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    ::lseek(fd, here, SEEK_SET);
    return end < 0 ? AVERROR(errno) : end;
  }
  const off_t at = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

// A muxer writing into an Output's descriptor.
class Muxer {
 public:
  ~Muxer() {
    if (context_ != nullptr) {
      if (context_->pb != nullptr) {
        av_freep(&context_->pb->buffer);
        avio_context_free(&context_->pb);
      }
      avformat_free_context(context_);
    }
  }
  bool Open(const char* format, int fd, std::string& reason) {
    fd_ = fd;
    if (avformat_alloc_output_context2(&context_, nullptr, format, nullptr) < 0) {
      reason = std::string("no ") + format + " writer in the FFmpeg libraries";
      return false;
    }
    constexpr int kBuffer = 1 << 16;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    context_->pb = avio_alloc_context(buffer, kBuffer, 1, &fd_, nullptr, WriteToFd, SeekFd);
    if (context_->pb == nullptr) {
      av_free(buffer);
      reason = "out of memory";
      return false;
    }
    return true;
  }
  AVFormatContext* get() const { return context_; }
  bool globalHeader() const { return (context_->oformat->flags & AVFMT_GLOBALHEADER) != 0; }

 private:
  AVFormatContext* context_ = nullptr;
  int fd_ = -1;
};

// The failure of a write through the muxer: the descriptor's errno when there was one.
Outcome MuxFailed(int r, const std::string& what) {
  if (r < 0 && r > -4096 && AVUNERROR(r) != EINVAL) return WriteFailed(AVUNERROR(r));
  return Undecodable(what + " (" + AvText(r) + ")");
}

// ---- Pictures ----

// Turns `p` as EXIF orientation `o` (1..8) asks: 2 mirrored, 3 turned half round, 4 flipped,
// 5 transposed, 6 turned a quarter clockwise, 7 transversed, 8 a quarter anticlockwise.
void Orient(Picture& p, int o) {
  if (o < 2 || o > 8) return;
  const int w = p.width, h = p.height;
  const bool swap = o >= 5;
  Picture out;
  out.width = swap ? h : w;
  out.height = swap ? w : h;
  out.rgba.resize(p.rgba.size());
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      int sx = x, sy = y;
      switch (o) {
        case 2:
          sx = w - 1 - x;
          break;
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case 4:
          sy = h - 1 - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = h - 1 - x;
          break;
        case 7:
          sx = w - 1 - y;
          sy = h - 1 - x;
          break;
        case 8:
          sx = w - 1 - y;
          sy = x;
          break;
      }
      std::memcpy(&out.rgba[(size_t(y) * out.width + x) * 4], &p.rgba[(size_t(sy) * w + sx) * 4],
                  4);
    }
  }
  p = std::move(out);
}

// A transparent picture shows on white (a JPEG has no transparency; its black would hide a
// dark drawing).
void OntoWhite(Picture& p) {
  for (size_t i = 0; i + 3 < p.rgba.size(); i += 4) {
    const unsigned a = p.rgba[i + 3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c)
      p.rgba[i + c] = uint8_t((p.rgba[i + c] * a + 255 * (255 - a)) / 255);
    p.rgba[i + 3] = 255;
  }
}

// `p` scaled to `width` x `height` as a JPEG (quality scale 2 best .. 31 worst).
Outcome EncodeJpeg(const Picture& p, int width, int height, int quality, const fs::path& target) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (codec == nullptr) return Undecodable("no JPEG encoder in the FFmpeg libraries");
  Codec ctx(avcodec_alloc_context3(codec));
  if (!ctx) return Undecodable("out of memory");
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
  ctx->time_base = AVRational{1, 25};
  ctx->flags |= AV_CODEC_FLAG_QSCALE;
  ctx->global_quality = FF_QP2LAMBDA * quality;
  ctx->thread_count = 1;
  if (const int r = avcodec_open2(ctx.get(), codec, nullptr); r < 0) {
    return Undecodable("the JPEG encoder cannot be opened (" + AvText(r) + ")");
  }
  Frame frame(av_frame_alloc());
  if (!frame) return Undecodable("out of memory");
  frame->format = ctx->pix_fmt;
  frame->width = width;
  frame->height = height;
  frame->quality = ctx->global_quality;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return Undecodable("out of memory");
  Scaler scale(sws_getContext(p.width, p.height, AV_PIX_FMT_RGBA, width, height, ctx->pix_fmt,
                              width < p.width ? SWS_AREA : SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scale) return Undecodable("the picture cannot be scaled");
  const uint8_t* planes[1] = {p.rgba.data()};
  const int strides[1] = {p.width * 4};
  sws_scale(scale.get(), planes, strides, 0, p.height, frame->data, frame->linesize);
  frame->pts = 0;
  Packet packet(av_packet_alloc());
  if (!packet) return Undecodable("out of memory");
  int r = avcodec_send_frame(ctx.get(), frame.get());
  if (r >= 0) r = avcodec_send_frame(ctx.get(), nullptr);
  if (r >= 0) r = avcodec_receive_packet(ctx.get(), packet.get());
  if (r < 0) return Undecodable("the JPEG cannot be encoded (" + AvText(r) + ")");
  Output out;
  if (const int32_t e = out.Open(target); e != 0) return WriteFailed(e);
  if (const int32_t e = out.Write(
          std::string_view(reinterpret_cast<const char*>(packet->data), size_t(packet->size)));
      e != 0) {
    return WriteFailed(e);
  }
  return out.Commit();
}

// The EXIF orientation (1..8) that a display matrix (a video's rotation, or a decoder's
// reading of a JPEG's EXIF) stands for; 1 when there is none.
int OrientationOfMatrix(const int32_t* matrix) {
  if (matrix == nullptr) return 1;
  double angle = -av_display_rotation_get(matrix);  // clockwise degrees to show it upright
  if (std::isnan(angle)) return 1;
  int turn = int(std::lround(angle / 90.0)) % 4;
  if (turn < 0) turn += 4;
  // A negative determinant is a mirror on top of the turn.
  const bool mirrored = (int64_t(matrix[0]) * matrix[4] - int64_t(matrix[1]) * matrix[3]) < 0;
  static const int plain[4] = {1, 6, 3, 8};
  static const int mirror[4] = {2, 7, 4, 5};
  return mirrored ? mirror[turn] : plain[turn];
}

// The first picture of `file` through FFmpeg (a still picture, or a frame near the start of a
// video), upright.
Outcome DecodeWithFfmpeg(const fs::path& file, Picture& picture) {
  std::string reason;
  Input input = OpenInput(file, reason);
  if (!input) return Undecodable(reason);
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return Undecodable("the file holds no picture");
  AVStream* stream = input->streams[index];
  Codec decoder = OpenDecoder(input.get(), index, reason);
  if (!decoder) return Undecodable(reason);
  int orientation = OrientationOfMatrix(reinterpret_cast<const int32_t*>(
      av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr)));

  // A video's first frame is often black (a fade in): a frame a second in, when it is that
  // long, shows what it holds.
  const bool video =
      input->duration > 2 * AV_TIME_BASE && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
  int64_t wanted = AV_NOPTS_VALUE;
  if (video) {
    wanted = av_rescale_q(AV_TIME_BASE, AVRational{1, AV_TIME_BASE}, stream->time_base);
    if (stream->start_time != AV_NOPTS_VALUE) wanted += stream->start_time;
    if (av_seek_frame(input.get(), index, wanted, AVSEEK_FLAG_BACKWARD) < 0) {
      wanted = AV_NOPTS_VALUE;
      av_seek_frame(input.get(), index, 0, AVSEEK_FLAG_BACKWARD);
    }
  }
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc()), kept(av_frame_alloc());
  if (!packet || !frame || !kept) return Undecodable("out of memory");
  bool have = false, done = false, flushed = false;
  int lastError = 0;
  while (!done) {
    int r = flushed ? AVERROR_EOF : av_read_frame(input.get(), packet.get());
    if (r < 0) {
      if (!flushed) avcodec_send_packet(decoder.get(), nullptr);
      flushed = true;
    } else if (packet->stream_index != index) {
      av_packet_unref(packet.get());
      continue;
    } else {
      r = avcodec_send_packet(decoder.get(), packet.get());
      av_packet_unref(packet.get());
      if (r < 0 && r != AVERROR(EAGAIN)) lastError = r;
    }
    for (;;) {
      r = avcodec_receive_frame(decoder.get(), frame.get());
      if (r == AVERROR(EAGAIN)) break;
      if (r < 0) {
        done = true;  // the end (or a decoder that cannot go on)
        break;
      }
      av_frame_unref(kept.get());
      av_frame_move_ref(kept.get(), frame.get());
      have = true;
      const int64_t at = kept->best_effort_timestamp;
      if (wanted == AV_NOPTS_VALUE || at == AV_NOPTS_VALUE || at >= wanted) {
        done = true;
        break;
      }
    }
    if (flushed && !done) done = true;
  }
  if (!have) {
    return Undecodable(lastError < 0 ? "the picture cannot be decoded (" + AvText(lastError) + ")"
                                     : "the file holds no picture that can be decoded");
  }
  if (kept->width <= 0 || kept->height <= 0) return Undecodable("the picture has no pixels");
  picture.width = kept->width;
  picture.height = kept->height;
  picture.rgba.assign(size_t(kept->width) * kept->height * 4, 0);
  Scaler scale(sws_getContext(kept->width, kept->height, AVPixelFormat(kept->format), kept->width,
                              kept->height, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr, nullptr,
                              nullptr));
  if (!scale) return Undecodable("the picture's pixel format cannot be converted");
  uint8_t* planes[1] = {picture.rgba.data()};
  const int strides[1] = {kept->width * 4};
  sws_scale(scale.get(), kept->data, kept->linesize, 0, kept->height, planes, strides);

  // A JPEG's EXIF orientation: as the decoder's display matrix where it gives one, else as
  // the tag it copies into the frame's metadata.
  if (const AVFrameSideData* side = av_frame_get_side_data(kept.get(), AV_FRAME_DATA_DISPLAYMATRIX);
      side != nullptr && side->size >= 9 * sizeof(int32_t)) {
    orientation = OrientationOfMatrix(reinterpret_cast<const int32_t*>(side->data));
  } else if (const AVDictionaryEntry* tag = av_dict_get(kept->metadata, "Orientation", nullptr, 0);
             tag != nullptr) {
    orientation = std::atoi(tag->value);
  }
  Orient(picture, orientation);
  return {};
}

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct HeifImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};

bool HeifFailed(const heif_error& e, std::string& reason) {
  if (e.code == heif_error_Ok) return false;
  reason =
      std::string("the picture cannot be decoded (") + (e.message ? e.message : "libheif") + ")";
  return true;
}

// The picture to make a JPEG from: libheif for the HEIF family, FFmpeg for the rest.
Outcome DecodeAny(const fs::path& source, Picture& picture) {
  if (IsHeifFamily(source)) return codecs::DecodeHeif(source, picture);
  return DecodeWithFfmpeg(source, picture);
}

// ---- Sound ----

// An AAC encoder fed with decoded frames of any layout, rate and sample format, writing its
// packets into stream `stream` of `mux`.
class AacWriter {
 public:
  // AAC by default; 16-bit PCM (for a WAV file) when `pcm`.
  explicit AacWriter(bool pcm = false) : pcm_(pcm) {}
  // Sets up the encoder for `in` (the decoder's parameters) before the muxer's header.
  bool Open(const AVCodecContext* in, AVFormatContext* mux, bool globalHeader,
            std::string& reason) {
    const AVCodec* codec = avcodec_find_encoder(pcm_ ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_AAC);
    if (codec == nullptr) {
      reason = pcm_ ? "no PCM encoder in the FFmpeg libraries"
                    : "no AAC encoder in the FFmpeg libraries";
      return false;
    }
    enc_.reset(avcodec_alloc_context3(codec));
    if (!enc_) return false;
    const int channels = std::clamp(in->ch_layout.nb_channels, 1, 2);
    av_channel_layout_default(&enc_->ch_layout, channels);
    enc_->sample_fmt = pcm_ ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    // The rate is kept where AAC has it, else the next one up (48 kHz at most).
    int rate = 48000;
    if (codec->supported_samplerates != nullptr) {
      // The list runs from high to low: the last one at or above the rate is the nearest.
      int best = 0;
      for (const int* r = codec->supported_samplerates; *r != 0; ++r) {
        if (*r >= in->sample_rate && *r <= 48000) best = *r;
      }
      if (best != 0) rate = best;
    } else if (in->sample_rate > 0 && in->sample_rate <= 48000) {
      rate = in->sample_rate;
    }
    enc_->sample_rate = rate;
    enc_->bit_rate = int64_t(channels) * (rate <= 16000 ? 32000 : 64000);
    enc_->time_base = AVRational{1, rate};
    enc_->thread_count = 1;
    if (globalHeader) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (const int r = avcodec_open2(enc_.get(), codec, nullptr); r < 0) {
      reason = "the AAC encoder cannot be opened (" + AvText(r) + ")";
      return false;
    }
    stream_ = avformat_new_stream(mux, nullptr);
    if (stream_ == nullptr || avcodec_parameters_from_context(stream_->codecpar, enc_.get()) < 0) {
      reason = "out of memory";
      return false;
    }
    stream_->time_base = enc_->time_base;
    mux_ = mux;
    fifo_.reset(av_audio_fifo_alloc(enc_->sample_fmt, channels,
                                    enc_->frame_size > 0 ? enc_->frame_size : 1024));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    return fifo_ && frame_ && packet_;
  }
  int streamIndex() const { return stream_->index; }
  int64_t samples() const { return pts_; }

  // Adds one decoded frame; < 0 on failure.
  int Add(const AVFrame* in) {
    if (!resample_) {
      AVChannelLayout layout{};
      if (in->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || in->ch_layout.nb_channels == 0) {
        av_channel_layout_default(&layout, std::max(in->ch_layout.nb_channels, 1));
      } else {
        av_channel_layout_copy(&layout, &in->ch_layout);
      }
      SwrContext* raw = nullptr;
      int r = swr_alloc_set_opts2(&raw, &enc_->ch_layout, enc_->sample_fmt, enc_->sample_rate,
                                  &layout, AVSampleFormat(in->format), in->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&layout);
      resample_.reset(raw);
      if (r < 0 || (r = swr_init(resample_.get())) < 0) return r;
    }
    return Convert(const_cast<const uint8_t**>(in->extended_data), in->nb_samples);
  }
  // Drains the resampler, the last short frame and the encoder.
  int Finish() {
    if (resample_) {
      if (const int r = Convert(nullptr, 0); r < 0) return r;
    }
    if (const int r = EncodeFrom(true); r < 0) return r;
    return Encode(nullptr);
  }

 private:
  int Convert(const uint8_t** data, int count) {
    const int room = swr_get_out_samples(resample_.get(), count);
    if (room <= 0) return 0;
    uint8_t** out = nullptr;
    if (av_samples_alloc_array_and_samples(&out, nullptr, enc_->ch_layout.nb_channels, room,
                                           enc_->sample_fmt, 0) < 0) {
      return AVERROR(ENOMEM);
    }
    int r = swr_convert(resample_.get(), out, room, data, count);
    if (r > 0) r = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), r);
    av_freep(&out[0]);
    av_freep(&out);
    if (r < 0) return r;
    return EncodeFrom(false);
  }
  int EncodeFrom(bool last) {
    const int size = enc_->frame_size > 0 ? enc_->frame_size : 1024;
    while (av_audio_fifo_size(fifo_.get()) >= size ||
           (last && av_audio_fifo_size(fifo_.get()) > 0)) {
      const int n = std::min(size, av_audio_fifo_size(fifo_.get()));
      av_frame_unref(frame_.get());
      frame_->nb_samples = n;
      frame_->format = enc_->sample_fmt;
      frame_->sample_rate = enc_->sample_rate;
      av_channel_layout_copy(&frame_->ch_layout, &enc_->ch_layout);
      if (const int r = av_frame_get_buffer(frame_.get(), 0); r < 0) return r;
      if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), n) < n) {
        return AVERROR_BUG;
      }
      frame_->pts = pts_;
      pts_ += n;
      if (const int r = Encode(frame_.get()); r < 0) return r;
    }
    return 0;
  }
  int Encode(const AVFrame* frame) {
    int r = avcodec_send_frame(enc_.get(), frame);
    if (r < 0) return r;
    for (;;) {
      r = avcodec_receive_packet(enc_.get(), packet_.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
      if (r < 0) return r;
      av_packet_rescale_ts(packet_.get(), enc_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      r = av_interleaved_write_frame(mux_, packet_.get());
      if (r < 0) return r;
    }
  }

  bool pcm_;
  Codec enc_;
  Resampler resample_;
  Fifo fifo_;
  Frame frame_;
  Packet packet_;
  AVStream* stream_ = nullptr;
  AVFormatContext* mux_ = nullptr;
  int64_t pts_ = 0;
};

// The sound of `input` (stream `index`) decoded, with every frame handed to `take`; packets of
// other streams go to `other` (may be empty). The number of frames decoded, or < 0.
template <class Take, class Other>
int64_t DecodeStream(AVFormatContext* input, AVCodecContext* decoder, int index, Take&& take,
                     Other&& other, int& lastError) {
  Packet packet(av_packet_alloc());
  Frame frame(av_frame_alloc());
  if (!packet || !frame) return AVERROR(ENOMEM);
  int64_t frames = 0;
  bool flushed = false;
  for (;;) {
    int r = flushed ? AVERROR_EOF : av_read_frame(input, packet.get());
    if (r < 0) {
      if (flushed) break;
      avcodec_send_packet(decoder, nullptr);
      flushed = true;
    } else if (packet->stream_index != index) {
      const int o = other(packet.get());
      av_packet_unref(packet.get());
      if (o < 0) return o;
      continue;
    } else {
      r = avcodec_send_packet(decoder, packet.get());
      av_packet_unref(packet.get());
      // A damaged packet is passed over, as a player does; a file of nothing but is refused
      // below (no frame decoded).
      if (r < 0 && r != AVERROR(EAGAIN)) lastError = r;
    }
    for (;;) {
      r = avcodec_receive_frame(decoder, frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) {
        lastError = r;
        break;
      }
      ++frames;
      const int t = take(frame.get());
      av_frame_unref(frame.get());
      if (t < 0) return t;
    }
    if (flushed) break;
  }
  return frames;
}

}  // namespace

// ---- Telling files apart ----





bool IsBrowserPlayableAudio(const fs::path& file) {
  std::string reason;
  Input input = OpenInput(file, reason);
  if (!input) return false;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return false;
  const AVCodecID codec = input->streams[index]->codecpar->codec_id;
  const std::string_view format = input->iformat->name;
  const auto formatIs = [&](std::string_view name) {
    // FFmpeg names a demuxer of several formats by a comma list ("mov,mp4,m4a,3gp,3g2,mj2").
    return format == name || format.substr(0, name.size() + 1) == std::string(name) + ",";
  };
  if (formatIs("mov")) {
    // 3GP files of AMR are MP4 files too: the codec decides.
    return codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_MP3;
  }
  if (formatIs("mp3")) return codec == AV_CODEC_ID_MP3;
  if (formatIs("ogg") || formatIs("matroska")) {
    return codec == AV_CODEC_ID_OPUS || codec == AV_CODEC_ID_VORBIS;
  }
  if (formatIs("flac")) return codec == AV_CODEC_ID_FLAC;
  if (formatIs("wav")) {
    return codec == AV_CODEC_ID_PCM_S16LE || codec == AV_CODEC_ID_PCM_U8 ||
           codec == AV_CODEC_ID_PCM_S24LE || codec == AV_CODEC_ID_PCM_F32LE;
  }
  return false;
}

bool IsHevcVideo(const fs::path& file) {
  std::string reason;
  Input input = OpenInput(file, reason);
  if (!input) return false;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  return index >= 0 && input->streams[index]->codecpar->codec_id == AV_CODEC_ID_HEVC;
}

// ---- Names ----





// ---- Conversions ----

Outcome DecodeHeif(const fs::path& source, Picture& picture) {
  InitOnce();
  std::string reason;
  std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
  if (!context) return Undecodable("out of memory");
  if (HeifFailed(heif_context_read_from_file(context.get(), source.c_str(), nullptr), reason)) {
    return Undecodable(reason);
  }
  heif_image_handle* rawHandle = nullptr;
  if (HeifFailed(heif_context_get_primary_image_handle(context.get(), &rawHandle), reason)) {
    return Undecodable(reason);
  }
  std::unique_ptr<heif_image_handle, HeifHandleFree> handle(rawHandle);
  heif_image* rawImage = nullptr;
  // libheif turns and mirrors the picture as its "irot"/"imir" boxes ask while decoding.
  if (HeifFailed(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                                   heif_chroma_interleaved_RGBA, nullptr),
                 reason)) {
    return Undecodable(reason);
  }
  std::unique_ptr<heif_image, HeifImageFree> image(rawImage);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (plane == nullptr || width <= 0 || height <= 0) {
    return Undecodable("the picture has no pixels");
  }
  picture.width = width;
  picture.height = height;
  picture.rgba.resize(size_t(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    std::memcpy(&picture.rgba[size_t(y) * width * 4], plane + size_t(y) * stride,
                size_t(width) * 4);
  }
  return {};
}

Outcome PictureToJpeg(const fs::path& source, const fs::path& target) {
  Picture picture;
  Outcome decoded = codecs::DecodeHeif(source, picture);
  if (!decoded.ok()) return decoded;
  OntoWhite(picture);
  return EncodeJpeg(picture, picture.width, picture.height, 2, target);
}

Outcome Thumbnail(const fs::path& source, const fs::path& target, int longestSide) {
  if (longestSide <= 0) return Failed(kInvalidParameter, "the thumbnail size must be above 0");
  Picture picture;
  Outcome decoded = DecodeAny(source, picture);
  if (!decoded.ok()) return decoded;
  OntoWhite(picture);
  int width = picture.width, height = picture.height;
  const int longest = std::max(width, height);
  if (longest > longestSide) {
    width = std::max(1, int(int64_t(width) * longestSide / longest));
    height = std::max(1, int(int64_t(height) * longestSide / longest));
  }
  return EncodeJpeg(picture, width, height, 4, target);
}

namespace {

// The sound of `source` as AAC in .m4a, or as 16-bit PCM in .wav when `wav`.
Outcome WriteSound(const fs::path& source, const fs::path& target, bool wav) {
  std::string reason;
  Input input = OpenInput(source, reason);
  if (!input) return Undecodable(reason);
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return Undecodable("the file holds no sound");
  Codec decoder = OpenDecoder(input.get(), index, reason);
  if (!decoder) return Undecodable(reason);

  Output out;
  if (const int32_t e = out.Open(target); e != 0) return WriteFailed(e);
  Muxer mux;
  if (!mux.Open(wav ? "wav" : "ipod", out.fd(), reason)) return Undecodable(reason);
  AacWriter aac(wav);
  if (!aac.Open(decoder.get(), mux.get(), mux.globalHeader(), reason)) return Undecodable(reason);
  if (const int r = avformat_write_header(mux.get(), nullptr); r < 0) {
    return MuxFailed(r, "the sound file cannot be begun");
  }
  int lastError = 0;
  const int64_t frames = DecodeStream(
      input.get(), decoder.get(), index, [&](const AVFrame* f) { return aac.Add(f); },
      [](const AVPacket*) { return 0; }, lastError);
  if (frames < 0) return MuxFailed(int(frames), "the sound cannot be converted");
  if (frames == 0) {
    return Undecodable(lastError < 0 ? "the sound cannot be decoded (" + AvText(lastError) + ")"
                                     : "the file holds no sound that can be decoded");
  }
  if (const int r = aac.Finish(); r < 0) return MuxFailed(r, "the sound cannot be encoded");
  if (const int r = av_write_trailer(mux.get()); r < 0) {
    return MuxFailed(r, "the sound file cannot be finished");
  }
  return out.Commit();
}

}  // namespace

Outcome ConvertAudio(const fs::path& source, const fs::path& target) {
  return WriteSound(source, target, false);
}

Outcome ConvertAudioToWav(const fs::path& source, const fs::path& target) {
  return WriteSound(source, target, true);
}

Outcome VideoToH264(const fs::path& source, const fs::path& target) {
  std::string reason;
  Input input = OpenInput(source, reason);
  if (!input) return Undecodable(reason);
  const int vIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vIndex < 0) return Undecodable("the file holds no video");
  const int aIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, vIndex, nullptr, 0);
  AVStream* vIn = input->streams[vIndex];
  Codec vDec = OpenDecoder(input.get(), vIndex, reason);
  if (!vDec) return Undecodable(reason);
  Codec aDec;
  if (aIndex >= 0) aDec = OpenDecoder(input.get(), aIndex, reason);  // no sound decoder: none

  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  if (h264 == nullptr) h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (h264 == nullptr)
    return Undecodable("no H.264 encoder in the FFmpeg libraries of this system");

  Output out;
  if (const int32_t e = out.Open(target); e != 0) return WriteFailed(e);
  Muxer mux;
  if (!mux.Open("mp4", out.fd(), reason)) return Undecodable(reason);

  Codec vEnc(avcodec_alloc_context3(h264));
  if (!vEnc) return Undecodable("out of memory");
  // 4:2:0 wants even sides.
  vEnc->width = std::max(2, vDec->width & ~1);
  vEnc->height = std::max(2, vDec->height & ~1);
  vEnc->pix_fmt = AV_PIX_FMT_YUV420P;
  vEnc->time_base = vIn->time_base;
  vEnc->framerate = av_guess_frame_rate(input.get(), vIn, nullptr);
  vEnc->sample_aspect_ratio = vDec->sample_aspect_ratio;
  vEnc->thread_count = 1;
  if (mux.globalHeader()) vEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(vEnc->priv_data, "preset", "veryfast", 0);
  av_opt_set(vEnc->priv_data, "crf", "20", 0);
  if (const int r = avcodec_open2(vEnc.get(), h264, nullptr); r < 0) {
    return Undecodable("the H.264 encoder cannot be opened (" + AvText(r) + ")");
  }
  AVStream* vOut = avformat_new_stream(mux.get(), nullptr);
  if (vOut == nullptr || avcodec_parameters_from_context(vOut->codecpar, vEnc.get()) < 0) {
    return Undecodable("out of memory");
  }
  vOut->time_base = vEnc->time_base;
  // The phone's rotation goes over as it is: players turn the copy as they turn the original.
  size_t matrixSize = 0;
  if (const uint8_t* matrix = av_stream_get_side_data(vIn, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
      matrix != nullptr) {
    if (uint8_t* copy = av_stream_new_side_data(vOut, AV_PKT_DATA_DISPLAYMATRIX, matrixSize)) {
      std::memcpy(copy, matrix, matrixSize);
    }
  }
  AacWriter aac;
  const bool sound = aDec && aac.Open(aDec.get(), mux.get(), mux.globalHeader(), reason);
  if (const int r = avformat_write_header(mux.get(), nullptr); r < 0) {
    return MuxFailed(r, "the .mp4 file cannot be begun");
  }

  Packet packet(av_packet_alloc()), encoded(av_packet_alloc());
  Frame frame(av_frame_alloc()), yuv(av_frame_alloc());
  if (!packet || !encoded || !frame || !yuv) return Undecodable("out of memory");
  Scaler scale;
  int scaleFormat = -1, scaleW = 0, scaleH = 0;
  const auto encodeVideo = [&](const AVFrame* f) -> int {
    int r = avcodec_send_frame(vEnc.get(), f);
    if (r < 0) return r;
    for (;;) {
      r = avcodec_receive_packet(vEnc.get(), encoded.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
      if (r < 0) return r;
      av_packet_rescale_ts(encoded.get(), vEnc->time_base, vOut->time_base);
      encoded->stream_index = vOut->index;
      if ((r = av_interleaved_write_frame(mux.get(), encoded.get())) < 0) return r;
    }
  };
  const auto takeVideo = [&](AVFrame* f) -> int {
    if (!scale || scaleFormat != f->format || scaleW != f->width || scaleH != f->height) {
      scale.reset(sws_getContext(f->width, f->height, AVPixelFormat(f->format), vEnc->width,
                                 vEnc->height, vEnc->pix_fmt, SWS_BICUBIC, nullptr, nullptr,
                                 nullptr));
      scaleFormat = f->format;
      scaleW = f->width;
      scaleH = f->height;
      if (!scale) return AVERROR(EINVAL);
    }
    av_frame_unref(yuv.get());
    yuv->format = vEnc->pix_fmt;
    yuv->width = vEnc->width;
    yuv->height = vEnc->height;
    if (const int r = av_frame_get_buffer(yuv.get(), 0); r < 0) return r;
    sws_scale(scale.get(), f->data, f->linesize, 0, f->height, yuv->data, yuv->linesize);
    yuv->pts = f->best_effort_timestamp;
    return encodeVideo(yuv.get());
  };
  // Sound packets are decoded as they come between the pictures.
  Frame aFrame(av_frame_alloc());
  const auto takeOther = [&](AVPacket* p) -> int {
    if (!sound || p->stream_index != aIndex) return 0;
    if (avcodec_send_packet(aDec.get(), p) < 0) return 0;  // a damaged sound packet is passed over
    while (avcodec_receive_frame(aDec.get(), aFrame.get()) >= 0) {
      const int r = aac.Add(aFrame.get());
      av_frame_unref(aFrame.get());
      if (r < 0) return r;
    }
    return 0;
  };
  int lastError = 0;
  const int64_t frames =
      DecodeStream(input.get(), vDec.get(), vIndex, takeVideo, takeOther, lastError);
  if (frames < 0) return MuxFailed(int(frames), "the video cannot be converted");
  if (frames == 0) {
    return Undecodable(lastError < 0 ? "the video cannot be decoded (" + AvText(lastError) + ")"
                                     : "the file holds no picture that can be decoded");
  }
  if (const int r = encodeVideo(nullptr); r < 0) return MuxFailed(r, "the video cannot be encoded");
  if (sound) {
    avcodec_send_packet(aDec.get(), nullptr);
    while (avcodec_receive_frame(aDec.get(), aFrame.get()) >= 0) {
      aac.Add(aFrame.get());
      av_frame_unref(aFrame.get());
    }
    if (const int r = aac.Finish(); r < 0) return MuxFailed(r, "the sound cannot be encoded");
  }
  if (const int r = av_write_trailer(mux.get()); r < 0) {
    return MuxFailed(r, "the .mp4 file cannot be finished");
  }
  return out.Commit();
}

}  // namespace codecs

}  // namespace halvern::media

extern "C" __attribute__((visibility("default"))) const halvern::media::CodecTable*
halvern_media_codecs() {
  namespace c = halvern::media::codecs;
  static const halvern::media::CodecTable table = {
      halvern::media::kCodecTableVersion,
      &c::IsBrowserPlayableAudio,
      &c::IsHevcVideo,
      &c::DecodeHeif,
      &c::PictureToJpeg,
      &c::Thumbnail,
      &c::ConvertAudio,
      &c::ConvertAudioToWav,
      &c::VideoToH264,
  };
  return &table;
}
