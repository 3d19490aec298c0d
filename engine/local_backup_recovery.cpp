// The engine over a backup folder: one-line forwarders to the backup session, and the
// factory that makes engines.
#include <atomic>

#include "backup/media_scan.h"
#include "engine/backup_session.h"
#include "engine/engine.h"

namespace halvern {

int32_t CLocalBuckupRecovery::AttachSession(BackupSession* session) {
  session_ = session;
  return kOk;
}

int32_t CLocalBuckupRecovery::SetProgressCallback(ProgressCallback callback, void* userData) {
  if (session_) {
    session_->progressCallback = callback;
    session_->userData = userData;
  }
  return kOk;
}

int32_t CLocalBuckupRecovery::Open(const std::string& password) {
  return session_ ? session_->Open(password) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanMessages(MessageMap& out) {
  return session_ ? session_->ScanMessages(out) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanMessageAttachments(std::vector<AttachmentItem>& out) {
  return session_ ? session_->ScanMessageAttachments(out) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanContacts(std::vector<ContactItem>& out) {
  return session_ ? session_->ScanContacts(out) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanNotes(std::vector<NoteItem>& out) {
  return session_ ? session_->ScanNotes(out) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanCallHistory(std::vector<CallItem>& out) {
  return session_ ? session_->ScanCallHistory(out) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                                         std::vector<MediaFileItem>& photoStream) {
  return session_ ? session_->ScanPhotos(cameraRoll, photoStream) : kInvalidParameter;
}

int32_t CLocalBuckupRecovery::TakeWhatsAppAttachments(std::vector<MediaFileItem>& out) {
  if (!session_) return kInvalidParameter;
  out = session_->whatsAppAttachments;
  session_->progress += session_->step;
  return session_->Report(session_->progress);
}

int32_t CLocalBuckupRecovery::ScanAppFiles(std::vector<AppFileItem>& out) {
  return session_ ? session_->ScanAppFiles(out) : kInvalidParameter;
}

// QQ and WeChat are not among the categories a scan shows; nothing calls these slots.
int32_t CLocalBuckupRecovery::ScanQQ(ImChatMap&) { return kOk; }
int32_t CLocalBuckupRecovery::ScanWeChat(ImChatMap&) { return kOk; }
int32_t CLocalBuckupRecovery::ExportQQChat(const std::string&, const std::string&,
                                           const std::string&, ExportCallback, void*) {
  return kOk;
}
int32_t CLocalBuckupRecovery::ExportWeChatChat(const std::string&, const std::string&,
                                               const std::string&, ExportCallback, void*) {
  return kOk;
}
int32_t CLocalBuckupRecovery::ExportWhatsAppChat(int32_t, const std::string&, ExportCallback,
                                                 void*) {
  return kOk;
}

int32_t CLocalBuckupRecovery::ScanWhatsApp(ChatMap& out) {
  return session_ ? session_->ScanWhatsApp(out) : kInvalidParameter;
}

int32_t CLocalBuckupRecovery::ExtractForPreview(const std::string& dataFile,
                                                std::string& previewPath,
                                                ProgressCallback callback, void* userData) {
  return session_ ? session_->ExtractForPreview(dataFile, previewPath, callback, userData)
                  : kInvalidParameter;
}

int32_t CLocalBuckupRecovery::CopyDataFile(const std::string& dataFile,
                                           const std::string& destination,
                                           ExportCallback callback, void* userData) {
  return halvern::CopyDataFile(dataFile, destination, callback, userData);
}

int32_t CLocalBuckupRecovery::ExportMessagesCsv(const std::string& destination) {
  return session_ ? session_->ExportMessagesCsv(destination) : kInvalidParameter;
}
int32_t CLocalBuckupRecovery::ExportContactsCsv(const std::string& destination) {
  return session_ ? session_->ExportContactsCsv(destination) : kInvalidParameter;
}

namespace {
std::atomic<DeviceEngineFactory> g_deviceFactory{nullptr};
}

void RegisterDeviceEngineFactory(DeviceEngineFactory factory) { g_deviceFactory = factory; }

IPhoneRecoveryParse* CreateEngine(int32_t mode, BackupSession* session) {
  IPhoneRecoveryParse* engine = nullptr;
  if (mode == 1) {
    engine = new CLocalBuckupRecovery();
    engine->AttachSession(session);
  } else if (mode == 0) {
    if (auto factory = g_deviceFactory.load()) {
      engine = factory();
      if (engine) engine->AttachSession(nullptr);
    }
  }
  return engine;
}

int32_t CLocalBuckupRecovery::ScanTable(int32_t code, const TableCategory& category,
                                        CategoryTable& out) {
  return session_ ? session_->ScanTable(code, category, out) : kInvalidParameter;
}

const std::map<int32_t, std::string>* CLocalBuckupRecovery::Notices() const {
  return session_ ? &session_->notices : nullptr;
}

const std::map<int32_t, std::string>* CLocalBuckupRecovery::DatabaseErrors() const {
  return session_ ? &session_->databaseErrors : nullptr;
}

}  // namespace halvern
