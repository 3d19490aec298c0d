// The engine contract: the one interface through which the front ends drive a recovery,
// over a backup folder (mode 1) or an attached phone (mode 0).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "backup/file_items.h"
#include "categories/category.h"
#include "extractors/extractors.h"
#include "platform/codes.h"
#include "sqlite_recovery/records.h"

namespace halvern {

class BackupSession;

// MessageMap and ChatMap, the conversation model of Messages and WhatsApp: see extractors.h.
// QQ and WeChat: conversation (account and peer) to its messages.
using ImChatMap = std::map<std::string, std::vector<ImMessageRow>>;

// The 23 operations in their fixed slot order, then the destructor. Every operation returns
// a result code (platform/codes.h); none throws.
class IPhoneRecoveryParse {
 public:
  virtual int32_t AttachSession(BackupSession* session) = 0;                            // 0
  virtual int32_t SetProgressCallback(ProgressCallback callback, void* userData) = 0;   // 1
  virtual int32_t ReservedQuery(int32_t unused) = 0;                                    // 2
  virtual bool IsLocalBackup(int32_t unused) = 0;                                       // 3
  virtual int32_t Open(const std::string& password) = 0;                                // 4
  virtual int32_t ScanMessages(MessageMap& out) = 0;                                    // 5
  virtual int32_t ScanMessageAttachments(std::vector<AttachmentItem>& out) = 0;         // 6
  virtual int32_t ScanContacts(std::vector<ContactItem>& out) = 0;                      // 7
  virtual int32_t ScanNotes(std::vector<NoteItem>& out) = 0;                            // 8
  virtual int32_t ScanCallHistory(std::vector<CallItem>& out) = 0;                      // 9
  virtual int32_t ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                             std::vector<MediaFileItem>& photoStream) = 0;              // 10
  virtual int32_t TakeWhatsAppAttachments(std::vector<MediaFileItem>& out) = 0;         // 11
  virtual int32_t ScanAppFiles(std::vector<AppFileItem>& out) = 0;                      // 12
  virtual int32_t ScanQQ(ImChatMap& out) = 0;                                           // 13
  virtual int32_t ScanWeChat(ImChatMap& out) = 0;                                       // 14
  virtual int32_t ScanWhatsApp(ChatMap& out) = 0;                                       // 15
  virtual int32_t ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                                    ProgressCallback callback, void* userData) = 0;     // 16
  virtual int32_t CopyDataFile(const std::string& dataFile, const std::string& destination,
                               ExportCallback callback, void* userData) = 0;            // 17
  virtual int32_t ExportMessagesCsv(const std::string& destination) = 0;                // 18
  virtual int32_t ExportContactsCsv(const std::string& destination) = 0;                // 19
  virtual int32_t ExportWhatsAppChat(int32_t chatKey, const std::string& destination,
                                     ExportCallback callback, void* userData) = 0;      // 20
  virtual int32_t ExportQQChat(const std::string& account, const std::string& peer,
                               const std::string& destination, ExportCallback callback,
                               void* userData) = 0;                                     // 21
  virtual int32_t ExportWeChatChat(const std::string& account, const std::string& peer,
                                   const std::string& destination, ExportCallback callback,
                                   void* userData) = 0;                                 // 22
  virtual ~IPhoneRecoveryParse() = default;                                             // 23
  // The databases of the current scan that exist but could not be read: category code to a
  // sentence naming the database and the cause. Null when the engine keeps no such record.
  virtual const std::map<int32_t, std::string>* DatabaseErrors() const { return nullptr; }
  // Every table category goes through this one operation: the category's extractor over the
  // files of the backup (or of the phone's fresh backup). Its unreadable databases land in
  // DatabaseErrors under `code`, what the backup cannot hold in Notices.
  virtual int32_t ScanTable(int32_t code, const TableCategory& category, CategoryTable& out) = 0;
  // What the backup of the current scan cannot hold, by category code ("Call history is only
  // in encrypted backups"). Null when the engine keeps no such record.
  virtual const std::map<int32_t, std::string>* Notices() const { return nullptr; }
};

// The engine over a backup folder: every operation forwards to the BackupSession.
class CLocalBuckupRecovery final : public IPhoneRecoveryParse {
 public:
  int32_t AttachSession(BackupSession* session) override;
  int32_t SetProgressCallback(ProgressCallback callback, void* userData) override;
  int32_t ReservedQuery(int32_t) override { return 0; }
  bool IsLocalBackup(int32_t) override { return true; }
  int32_t Open(const std::string& password) override;
  int32_t ScanMessages(MessageMap& out) override;
  int32_t ScanMessageAttachments(std::vector<AttachmentItem>& out) override;
  int32_t ScanContacts(std::vector<ContactItem>& out) override;
  int32_t ScanNotes(std::vector<NoteItem>& out) override;
  int32_t ScanCallHistory(std::vector<CallItem>& out) override;
  int32_t ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                     std::vector<MediaFileItem>& photoStream) override;
  int32_t TakeWhatsAppAttachments(std::vector<MediaFileItem>& out) override;
  int32_t ScanAppFiles(std::vector<AppFileItem>& out) override;
  int32_t ScanQQ(ImChatMap& out) override;
  int32_t ScanWeChat(ImChatMap& out) override;
  int32_t ScanWhatsApp(ChatMap& out) override;
  int32_t ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                            ProgressCallback callback, void* userData) override;
  int32_t CopyDataFile(const std::string& dataFile, const std::string& destination,
                       ExportCallback callback, void* userData) override;
  int32_t ExportMessagesCsv(const std::string& destination) override;
  int32_t ExportContactsCsv(const std::string& destination) override;
  int32_t ExportWhatsAppChat(int32_t chatKey, const std::string& destination,
                             ExportCallback callback, void* userData) override;
  int32_t ExportQQChat(const std::string& account, const std::string& peer,
                       const std::string& destination, ExportCallback callback,
                       void* userData) override;
  int32_t ExportWeChatChat(const std::string& account, const std::string& peer,
                           const std::string& destination, ExportCallback callback,
                           void* userData) override;

  const std::map<int32_t, std::string>* DatabaseErrors() const override;
  int32_t ScanTable(int32_t code, const TableCategory& category, CategoryTable& out) override;
  const std::map<int32_t, std::string>* Notices() const override;

  BackupSession* session() const { return session_; }

 private:
  BackupSession* session_ = nullptr;  // not owned
};

// Makes the device engine; the device library installs it at start-up.
using DeviceEngineFactory = IPhoneRecoveryParse* (*)();
void RegisterDeviceEngineFactory(DeviceEngineFactory factory);

// Mode 1: a CLocalBuckupRecovery attached to `session`; mode 0: the device engine (null until
// a device engine is registered); any other mode: null. The caller owns the result.
IPhoneRecoveryParse* CreateEngine(int32_t mode, BackupSession* session);

}  // namespace halvern
