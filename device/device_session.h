// The session with an attached iPhone: whether phones can be reached at all, the service
// connections to the first attached one, the properties the front ends show, and the device
// backup that the phone drives through its mobilebackup2 service while this computer serves
// its requests (backup_driver.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/codes.h"

namespace halvern {

// Where libusbmuxd looks for the usbmuxd service: the value of USBMUXD_SOCKET_ADDRESS when it
// names a socket ("UNIX:/path" or "host:port"), else the default socket /var/run/usbmuxd.
std::string UsbmuxdAddress();

// The support check: true when the usbmuxd service can be contacted at UsbmuxdAddress()
// (a connection is made and closed at once). Without it no phone can be reached.
bool IsAppleMobileSupportInstalled();

// The identifiers of the attached devices, as usbmuxd lists them (USB only).
std::vector<std::string> ListAttachedDevices();

// Notification names the session posts and observes.
namespace device_notice {
inline constexpr const char* kSyncCancel = "com.apple.itunes-client.syncCancelRequest";
inline constexpr const char* kSyncSuspend = "com.apple.itunes-client.syncSuspendRequest";
inline constexpr const char* kSyncResume = "com.apple.itunes-client.syncResumeRequest";
inline constexpr const char* kHostAttached = "com.apple.mobile.lockdown.host_attached";
inline constexpr const char* kHostDetached = "com.apple.mobile.lockdown.host_detached";
inline constexpr const char* kSyncWillStart = "com.apple.itunes-mobdev.syncWillStart";
inline constexpr const char* kSyncLockRequest = "com.apple.itunes-mobdev.syncLockRequest";
inline constexpr const char* kSyncDidStart = "com.apple.itunes-mobdev.syncDidStart";
inline constexpr const char* kSyncDidFinish = "com.apple.itunes-mobdev.syncDidFinish";
}  // namespace device_notice

// The label every lockdown connection of the program carries.
inline constexpr const char* kLockdownLabel = "idevicebackup2";

class DeviceSession {
 public:
  // The one session of the process, created on first use; closed and purged at exit.
  static DeviceSession& Instance();

  DeviceSession();
  ~DeviceSession();  // Close, then PurgeBackupFolder
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Opens the first device usbmuxd lists: lockdown with handshake, the notification proxy
  // (observing the sync requests), AFC with the sync lock, mobilebackup2 with its version
  // exchange; reads WillEncrypt into `willEncryptOut` and fills the property caches.
  // 0; -1 no device, no notification service or no backup client; a lockdown, mobilebackup2
  // or AFC error code of the failing step. What was opened stays until Close.
  int32_t Connect(bool& willEncryptOut);

  // Property getters: 0 when the value was queried from the device now, 87 when it came from
  // the cache or the query failed (the output is then the cached value, or unchanged).
  int32_t GetDeviceName(std::string& out);
  int32_t GetProductVersion(std::string& out);
  int32_t GetDeviceClass(std::string& out);

  // True when usbmuxd lists at least one device.
  static bool IsDeviceAttached();
  // Whether the device still answers: listed by usbmuxd and answering a fresh lockdown query.
  enum class Presence { kGone, kSilent, kAnswering };
  Presence ProbeDevice();

  // Releases the sync lock (posting syncDidFinish) and every client; a backup password that
  // RemoveBackupPassword took off and no backup has set back yet is set back first.
  void Close();

  bool HasDevice() const;
  std::string udid() const;

  // ----- Device backup (backup_driver.cpp) -----------------------------------------------------

  // The progress hook of the next backup: callback(userData, weight * percent / 100).
  void SetProgressHook(ProgressCallback callback, void* userData, int32_t weight);

  // Makes a full, unencrypted backup into destination/<udid>. An encrypting phone has its
  // backup password removed with `password` first and set back when the backup has ended,
  // whatever its outcome (passwordRestoreResult() tells how that went). 0 success; 87 missing
  // destination, or an encrypting phone and no password; the device's code for a refused
  // password; -n for the device's ErrorCode n; -1 stopped (QuitCounter: device gone, cancel
  // on the phone, Stop); the progress callback's non-zero answer. A failed backup's loose
  // files are deleted.
  int32_t RunBackup(const std::filesystem::path& destination, const char* password);

  // Turns the phone's backup encryption off with its current password. 0 when the phone no
  // longer encrypts (or never did); 87 without a password; otherwise the device's code. On
  // success the password is remembered so that RestoreBackupPassword (run by RunBackup and
  // Close) can set it back.
  int32_t RemoveBackupPassword(const char* password);
  // Sets back the password RemoveBackupPassword removed. 0 (also when there is nothing to set
  // back), else the code of the failed request; the result is kept in passwordRestoreResult.
  int32_t RestoreBackupPassword();
  // 0, or the code of the last failed attempt to set the backup password back: the phone then
  // makes unencrypted backups until its owner sets a password again.
  int32_t passwordRestoreResult() const { return passwordRestoreResult_.load(); }

  // destination/<udid> of the last RunBackup.
  std::filesystem::path GetBackupFolder() const;
  // Deletes the loose files of the backup folder and of its Snapshot subfolder, then the
  // Snapshot folder when it is empty. Subfolders and the folder itself stay.
  void PurgeBackupFolder();
  // Hands the last backup over to the caller: it is no longer purged when the session ends
  // (a backup made into a folder the user chose).
  void KeepBackupFolder();

  // Flags read by the device engine and the device start page.
  std::atomic<bool> isIos10OrLater{false};  // major iOS version above 9; never cleared
  std::atomic<bool> isIos12OrLater{false};  // major iOS version above 11; never cleared
  std::atomic<bool> willEncrypt{true};
  std::atomic<bool> idle{true};  // no device backup runs

  // Waits of the backup driver, in milliseconds.
  int32_t lockRetryDelayMs = 2000;    // between two tries of the busy sync lock
  int32_t emptyReceiveWaitMs = 3000;  // after a receive that brought nothing

  struct Impl;

 private:
  int32_t GetProperty(const char* key, std::string& cache, std::string& out);
  int32_t RunBackupRequest(const std::filesystem::path& destination);
  int32_t RunMessageLoop(const std::filesystem::path* backupDirectory);
  void ReleaseSyncLock();
  void PostNotification(const char* name);

  std::unique_ptr<Impl> impl_;
  mutable std::mutex mutex_;  // guards the text fields read from other threads
  std::string udid_;
  std::filesystem::path backupFolder_;
  std::string productVersion_, deviceName_, deviceClass_;
  ProgressCallback progressCallback_ = nullptr;
  void* progressUserData_ = nullptr;
  int32_t progressWeight_ = 0;
  std::string removedPassword_;  // the password RemoveBackupPassword took off, to set back
  bool passwordRemoved_ = false;
  std::atomic<int32_t> passwordRestoreResult_{0};

  friend class BackupDriver;
};

}  // namespace halvern
