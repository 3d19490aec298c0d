// The copies for browsers that a recover run makes beside the files it copies (media/media.h):
// a JPEG of each HEIC/HEIF/AVIF picture, a thumbnail of each picture and video, an .m4a of each
// sound browsers cannot play, and on request an H.264 copy of each HEVC video.
//
// They are made on a thread of their own, so that they take the second core while the run
// copies on the first: the run hands over each copied file and goes on; a conversation that
// links its attachments' copies asks for its own files first (they go to the front of the
// queue) and waits for those alone. Results are collected by the run's thread, which reports
// them; nothing here reports on its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace halvern {

// What the copies of one recovered file are made of.
struct MediaCopyOptions {
  bool convert = true;        // JPEG copies, thumbnails, playable sounds
  bool convertVideo = false;  // H.264 copies of HEVC videos
};

// One copy made (or that failed) of a recovered file.
struct MediaCopy {
  enum class Kind { kJpeg, kThumbnail, kPlayableAudio, kH264 };
  Kind kind = Kind::kThumbnail;
  std::filesystem::path original;
  std::filesystem::path written;  // the copy's name (the wanted one when it failed)
  int32_t error = 0;              // 0, 87 (undecodable) or an errno value
  std::string reason;             // for a failure, a short sentence
};

// The copies `original` gets under `options` (by its name and first bytes), made one after
// the other on the calling thread.
std::vector<MediaCopy> MakeMediaCopies(const std::filesystem::path& original,
                                       const MediaCopyOptions& options);

// Whether `original` is a kind of file that gets copies (a picture, video or sound by its name,
// or a HEIF picture by its first bytes).
bool MayNeedMediaCopies(const std::filesystem::path& original, const MediaCopyOptions& options);

class MediaCopyQueue {
 public:
  explicit MediaCopyQueue(MediaCopyOptions options);
  ~MediaCopyQueue();  // drops what is still queued and waits for the file being converted
  MediaCopyQueue(const MediaCopyQueue&) = delete;
  MediaCopyQueue& operator=(const MediaCopyQueue&) = delete;

  // Queues the copies of `original`; `urgent` puts it before every file not urgent. A ticket
  // for Wait, or 0 when the file gets no copies.
  uint64_t Add(const std::filesystem::path& original, bool urgent);
  // Blocks until the files of `tickets` are done; their copies (taken out of the queue's
  // results: Take will not return them again).
  std::vector<MediaCopy> Wait(const std::vector<uint64_t>& tickets);
  // The copies finished since the last Take or Wait, in the order finished.
  std::vector<MediaCopy> Take();
  // Waits for every file queued; the copies not taken yet.
  std::vector<MediaCopy> Finish();
  // Drops every file not yet begun (a stopped run).
  void Drop();

 private:
  struct Task {
    uint64_t ticket;
    std::filesystem::path original;
    bool urgent;
  };
  void Work();

  const MediaCopyOptions options_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> queue_;
  std::unordered_map<uint64_t, std::vector<MediaCopy>> done_;  // by ticket, not yet taken
  std::vector<uint64_t> doneOrder_;
  uint64_t next_ = 1;
  uint64_t busy_ = 0;  // the ticket being converted
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace halvern
