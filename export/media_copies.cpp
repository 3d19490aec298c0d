// The copies for browsers of recovered files, and the thread that makes them.
#include "export/media_copies.h"

#include <algorithm>

#include "media/media.h"
#include "platform/platform.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

MediaCopy FromOutcome(MediaCopy::Kind kind, const fs::path& original, const fs::path& wanted,
                      media::Outcome outcome) {
  MediaCopy copy;
  copy.kind = kind;
  copy.original = original;
  copy.written = outcome.ok() ? outcome.written : wanted;
  copy.error = outcome.error;
  copy.reason = std::move(outcome.reason);
  return copy;
}

}  // namespace

bool MayNeedMediaCopies(const fs::path& original, const MediaCopyOptions& options) {
  if (!options.convert && !options.convertVideo) return false;
  if (options.convert && (media::LooksLikePicture(original) || media::LooksLikeAudio(original))) {
    return true;
  }
  return media::LooksLikeVideo(original) || (options.convert && media::IsHeifFamily(original));
}

std::vector<MediaCopy> MakeMediaCopies(const fs::path& original, const MediaCopyOptions& options) {
  using Kind = MediaCopy::Kind;
  std::vector<MediaCopy> copies;
  const auto make = [&](Kind kind, const fs::path& wanted, auto&& convert) {
    copies.push_back(FromOutcome(kind, original, wanted, convert(original, wanted)));
  };
  if (options.convert) {
    // A file named as a HEIF picture that is none is tried too: its failure is reported.
    const std::string ext = platform::AsciiLower(original.extension().string());
    const bool heif =
        media::IsHeifFamily(original) || ext == ".heic" || ext == ".heif" || ext == ".avif";
    if (heif) make(Kind::kJpeg, media::JpegCopyName(original), media::PictureToJpeg);
    if (heif || media::LooksLikePicture(original) || media::LooksLikeVideo(original)) {
      // Of the JPEG copy when there is one: libheif decodes the picture only once then.
      const fs::path from = heif && copies.back().error == 0 ? copies.back().written : original;
      const fs::path wanted = media::ThumbnailName(original);
      copies.push_back(
          FromOutcome(Kind::kThumbnail, original, wanted, media::Thumbnail(from, wanted)));
    } else if (media::LooksLikeAudio(original) && !media::IsBrowserPlayableAudio(original)) {
      make(Kind::kPlayableAudio, media::PlayableAudioName(original), media::ConvertAudio);
    }
  }
  if (options.convertVideo && media::LooksLikeVideo(original) && media::IsHevcVideo(original)) {
    make(Kind::kH264, media::H264CopyName(original), media::VideoToH264);
  }
  return copies;
}

MediaCopyQueue::MediaCopyQueue(MediaCopyOptions options) : options_(options) {}

MediaCopyQueue::~MediaCopyQueue() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    queue_.clear();
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint64_t MediaCopyQueue::Add(const fs::path& original, bool urgent) {
  if (!MayNeedMediaCopies(original, options_)) return 0;
  std::lock_guard lock(mutex_);
  const uint64_t ticket = next_++;
  // An urgent file goes after the urgent ones already waiting, before the rest.
  const auto at =
      urgent ? std::find_if(queue_.begin(), queue_.end(), [](const Task& t) { return !t.urgent; })
             : queue_.end();
  queue_.insert(at, Task{ticket, original, urgent});
  if (!thread_.joinable()) thread_ = std::thread([this] { Work(); });
  changed_.notify_all();
  return ticket;
}

void MediaCopyQueue::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return quit_ || !queue_.empty(); });
    if (queue_.empty()) return;  // quit_ with nothing left
    Task task = std::move(queue_.front());
    queue_.pop_front();
    busy_ = task.ticket;
    lock.unlock();
    std::vector<MediaCopy> copies = MakeMediaCopies(task.original, options_);
    lock.lock();
    busy_ = 0;
    done_[task.ticket] = std::move(copies);
    doneOrder_.push_back(task.ticket);
    changed_.notify_all();
    if (quit_) return;
  }
}

std::vector<MediaCopy> MediaCopyQueue::Wait(const std::vector<uint64_t>& tickets) {
  std::vector<MediaCopy> copies;
  std::unique_lock lock(mutex_);
  for (const uint64_t ticket : tickets) {
    if (ticket == 0) continue;
    changed_.wait(lock, [&] {
      if (done_.count(ticket) != 0) return true;
      if (busy_ == ticket) return false;
      // Dropped (a stop), or taken already: nothing to wait for.
      return std::none_of(queue_.begin(), queue_.end(),
                          [&](const Task& t) { return t.ticket == ticket; });
    });
    const auto found = done_.find(ticket);
    if (found == done_.end()) continue;
    for (MediaCopy& c : found->second) copies.push_back(std::move(c));
    done_.erase(found);
    doneOrder_.erase(std::remove(doneOrder_.begin(), doneOrder_.end(), ticket), doneOrder_.end());
  }
  return copies;
}

std::vector<MediaCopy> MediaCopyQueue::Take() {
  std::vector<MediaCopy> copies;
  std::lock_guard lock(mutex_);
  for (const uint64_t ticket : doneOrder_) {
    for (MediaCopy& c : done_[ticket]) copies.push_back(std::move(c));
  }
  done_.clear();
  doneOrder_.clear();
  return copies;
}

std::vector<MediaCopy> MediaCopyQueue::Finish() {
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && busy_ == 0; });
  }
  return Take();
}

void MediaCopyQueue::Drop() {
  std::lock_guard lock(mutex_);
  queue_.clear();
  changed_.notify_all();
}

}  // namespace halvern
