// The backup session's file categories: photos, message attachments, app files and the
// preview copy, with the progress accounting of a scan step.
#include "backup/media_scan.h"
#include "engine/backup_session.h"

namespace halvern {

namespace {
CategoryWalk MakeWalk(BackupSession& s) {
  return CategoryWalk{s.manifest,
                      [&s](const std::string& id) { return s.DataFilePath(id); },
                      ProgressSink{s.progressCallback, s.userData}, s.progress, s.step,
                      &s.notes};
}
}  // namespace

int32_t BackupSession::ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                                  std::vector<MediaFileItem>& photoStream) {
  const int32_t result = WalkPhotos(MakeWalk(*this), cameraRoll, photoStream);
  if (result != kOk) return result;
  progress += 2 * step;
  Report(progress);
  return kOk;
}

int32_t BackupSession::ScanMessageAttachments(std::vector<AttachmentItem>& out) {
  const int32_t result = WalkMessageAttachments(MakeWalk(*this), out);
  if (result != kOk) return result;
  progress += step;
  Report(progress);
  return kOk;
}

int32_t BackupSession::ScanAppFiles(std::vector<AppFileItem>& out) {
  const int32_t result = WalkAppFiles(MakeWalk(*this), out, whatsAppAttachments);
  if (result != kOk) return result;
  progress += step;
  Report(progress);
  return kOk;
}

int32_t BackupSession::ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                                         ProgressCallback callback, void* data) {
  return halvern::ExtractForPreview(dataFile, workFolder, previewPath,
                                    ProgressSink{callback, data});
}

}  // namespace halvern
