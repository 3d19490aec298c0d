// The device session: the support check, Connect with its service connections and the sync
// lock, the property getters, presence and Close.
#include "device/device_session.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "device/session_impl.h"
#include "engine/quit_counter.h"

namespace halvern {

using namespace device;

namespace {

constexpr const char* kDefaultUsbmuxd = "UNIX:/var/run/usbmuxd";
constexpr int kLockAttempts = 50;

// Called on the notification proxy's own thread: a cancel from the phone asks the running
// backup to stop; every other name (and the "" of a closed connection) is ignored.
void OnDeviceNotification(const char* name, void*) {
  if (name && std::strcmp(name, device_notice::kSyncCancel) == 0) ++QuitCounter;
}

bool ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

bool ConnectTcp(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

// "host:port" or "[v6]:port" with a port of 1..65535, as libusbmuxd accepts it.
bool SplitHostPort(const std::string& value, std::string& host, std::string& port) {
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size()) return false;
  port = value.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const long number = std::strtol(port.c_str(), nullptr, 10);
  if (number < 1 || number > 65535) return false;
  host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return !host.empty();
}

// The major version of a version text, as atoi reads it.
int MajorVersion(const std::string& version) { return std::atoi(version.c_str()); }

}  // namespace

std::string UsbmuxdAddress() {
  const char* value = std::getenv("USBMUXD_SOCKET_ADDRESS");
  if (!value || !*value) return kDefaultUsbmuxd;
  const std::string text = value;
  if (text.rfind("UNIX:", 0) == 0) return text.size() > 5 ? text : kDefaultUsbmuxd;
  std::string host, port;
  return SplitHostPort(text, host, port) ? text : kDefaultUsbmuxd;
}

bool IsAppleMobileSupportInstalled() {
  const std::string address = UsbmuxdAddress();
  if (address.rfind("UNIX:", 0) == 0) return ConnectUnix(address.substr(5));
  std::string host, port;
  return SplitHostPort(address, host, port) && ConnectTcp(host, port);
}

std::vector<std::string> ListAttachedDevices() {
  std::vector<std::string> found;
  char** list = nullptr;
  int count = 0;
  if (idevice_get_device_list(&list, &count) != IDEVICE_E_SUCCESS || !list) return found;
  for (int i = 0; i < count && list[i]; ++i) found.emplace_back(list[i]);
  idevice_device_list_free(list);
  return found;
}

DeviceSession& DeviceSession::Instance() {
  static DeviceSession session;
  return session;
}

DeviceSession::DeviceSession() : impl_(std::make_unique<Impl>()) {
  // A write to a phone that has just gone away (the TLS layer writes on its own, even while
  // closing) must fail with EPIPE instead of ending the program.
  std::signal(SIGPIPE, SIG_IGN);
}

DeviceSession::~DeviceSession() {
  Close();
  PurgeBackupFolder();
}

bool DeviceSession::HasDevice() const { return impl_->device != nullptr; }

std::string DeviceSession::udid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return udid_;
}

void DeviceSession::PostNotification(const char* name) {
  if (!impl_->device) return;
  lockdownd_client_t raw = nullptr;
  if (lockdownd_client_new_with_handshake(impl_->device.get(), &raw, kLockdownLabel) !=
      LOCKDOWN_E_SUCCESS) {
    if (raw) lockdownd_client_free(raw);
    return;
  }
  LockdownHandle lockdown(raw);
  lockdownd_service_descriptor_t rawService = nullptr;
  lockdownd_start_service(lockdown.get(), NP_SERVICE_NAME, &rawService);
  ServiceHandle service(rawService);
  if (service && service->port != 0) {
    np_client_t rawNotify = nullptr;
    np_client_new(impl_->device.get(), service.get(), &rawNotify);
    NotifyHandle notify(rawNotify);
    if (notify) np_post_notification(notify.get(), name);
  } else {
    std::printf("Could not start %s\n", NP_SERVICE_NAME);
  }
}

int32_t DeviceSession::Connect(bool& willEncryptOut) {
  Impl& s = *impl_;
  // 1. The first device usbmuxd lists.
  idevice_t rawDevice = nullptr;
  if (idevice_new(&rawDevice, nullptr) != IDEVICE_E_SUCCESS || !rawDevice) return kDeviceGone;
  s.device.reset(rawDevice);
  char* rawUdid = nullptr;
  idevice_get_udid(s.device.get(), &rawUdid);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    udid_ = rawUdid ? rawUdid : "";
  }
  std::free(rawUdid);

  // 2. Lockdown, kept for the life of the session.
  lockdownd_client_t rawLockdown = nullptr;
  const lockdownd_error_t handshake =
      lockdownd_client_new_with_handshake(s.device.get(), &rawLockdown, kLockdownLabel);
  if (handshake != LOCKDOWN_E_SUCCESS) {
    if (rawLockdown) lockdownd_client_free(rawLockdown);
    return handshake;
  }
  {
    std::lock_guard<std::mutex> lock(s.lockdownMutex);
    s.lockdown.reset(rawLockdown);
  }

  // 3, 4. The notification proxy, observing the phone's sync requests.
  {
    lockdownd_service_descriptor_t raw = nullptr;
    std::lock_guard<std::mutex> lock(s.lockdownMutex);
    if (lockdownd_start_service(s.lockdown.get(), NP_SERVICE_NAME, &raw) != LOCKDOWN_E_SUCCESS ||
        !raw || raw->port == 0) {
      if (raw) lockdownd_service_descriptor_free(raw);
      return kDeviceGone;
    }
    ServiceHandle service(raw);
    np_client_t rawNotify = nullptr;
    np_client_new(s.device.get(), service.get(), &rawNotify);
    s.notify.reset(rawNotify);
    if (s.notify) {
      np_set_notify_callback(s.notify.get(), &OnDeviceNotification, this);
      const char* names[] = {device_notice::kSyncCancel,   device_notice::kSyncSuspend,
                             device_notice::kSyncResume,   device_notice::kHostAttached,
                             device_notice::kHostDetached, nullptr};
      np_observe_notifications(s.notify.get(), names);
    }
  }

  // 5. AFC, for the sync lock and the iTunes files; a phone without it is backed up without
  // the lock.
  {
    lockdownd_service_descriptor_t raw = nullptr;
    std::lock_guard<std::mutex> lock(s.lockdownMutex);
    if (lockdownd_start_service(s.lockdown.get(), AFC_SERVICE_NAME, &raw) == LOCKDOWN_E_SUCCESS &&
        raw && raw->port != 0) {
      afc_client_t rawAfc = nullptr;
      afc_client_new(s.device.get(), raw, &rawAfc);
      s.afc.reset(rawAfc);
    }
    if (raw) lockdownd_service_descriptor_free(raw);
  }

  // 6, 7. mobilebackup2 and its protocol version.
  lockdownd_service_descriptor_t rawBackup = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.lockdownMutex);
    lockdownd_error_t started = lockdownd_start_service_with_escrow_bag(
        s.lockdown.get(), MOBILEBACKUP2_SERVICE_NAME, &rawBackup);
    if (started != LOCKDOWN_E_SUCCESS) {
      if (rawBackup) lockdownd_service_descriptor_free(rawBackup);
      rawBackup = nullptr;
      started = lockdownd_start_service(s.lockdown.get(), MOBILEBACKUP2_SERVICE_NAME, &rawBackup);
      if (started != LOCKDOWN_E_SUCCESS) {
        if (rawBackup) lockdownd_service_descriptor_free(rawBackup);
        return started;
      }
    }
  }
  ServiceHandle backupService(rawBackup);
  if (backupService && backupService->port != 0) {
    mobilebackup2_client_t rawClient = nullptr;
    mobilebackup2_client_new(s.device.get(), backupService.get(), &rawClient);
    s.backup.reset(rawClient);
    if (!s.backup) return kDeviceGone;
    double versions[] = {2.0, 2.1};
    double remote = 0.0;
    const mobilebackup2_error_t exchanged =
        mobilebackup2_version_exchange(s.backup.get(), versions, 2, &remote);
    if (exchanged != MOBILEBACKUP2_E_SUCCESS) return exchanged;

    // 8, 9. Tell the phone a sync starts and take its sync lock.
    PostNotification(device_notice::kSyncWillStart);
    if (s.afc &&
        afc_file_open(s.afc.get(), "/com.apple.itunes.lock_sync", AFC_FOPEN_RW, &s.syncLock) ==
            AFC_E_SUCCESS &&
        s.syncLock != 0) {
      PostNotification(device_notice::kSyncLockRequest);
      for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const afc_error_t locked = afc_file_lock(s.afc.get(), s.syncLock, AFC_LOCK_EX);
        if (locked == AFC_E_SUCCESS) {
          PostNotification(device_notice::kSyncDidStart);
          break;
        }
        if (locked != AFC_E_OP_WOULD_BLOCK) {
          afc_file_close(s.afc.get(), s.syncLock);
          s.syncLock = 0;
          return locked;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(lockRetryDelayMs));
      }
    } else {
      s.syncLock = 0;
    }

    // 10. Whether the phone encrypts its backups; anything but a boolean counts as no.
    willEncrypt = false;
    willEncryptOut = false;
    Plist value;
    {
      std::lock_guard<std::mutex> lock(s.lockdownMutex);
      lockdownd_get_value(s.lockdown.get(), "com.apple.mobile.backup", "WillEncrypt", value.out());
    }
    if (value && plist_get_node_type(value.get()) == PLIST_BOOLEAN) {
      uint8_t flag = 0;
      plist_get_bool_val(value.get(), &flag);
      willEncrypt = flag != 0;
    }
    willEncryptOut = willEncrypt;
  }

  // 11. Fill the empty caches.
  std::string ignored;
  GetProductVersion(ignored);
  GetDeviceName(ignored);
  GetDeviceClass(ignored);
  return kOk;
}

int32_t DeviceSession::GetProperty(const char* key, std::string& cache, std::string& out) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cache.empty()) {
      out = cache;
      return kInvalidParameter;
    }
  }
  Plist all;
  {
    std::lock_guard<std::mutex> lock(impl_->lockdownMutex);
    if (!impl_->lockdown) return kInvalidParameter;
    lockdownd_get_value(impl_->lockdown.get(), nullptr, nullptr, all.out());
  }
  if (!all || plist_get_node_type(all.get()) != PLIST_DICT) return kInvalidParameter;
  std::string value;
  if (!PlistString(plist_dict_get_item(all.get(), key), value)) return kInvalidParameter;
  std::lock_guard<std::mutex> lock(mutex_);
  cache = value;
  out = value;
  return kOk;
}

int32_t DeviceSession::GetDeviceName(std::string& out) {
  return GetProperty("DeviceName", deviceName_, out);
}

int32_t DeviceSession::GetDeviceClass(std::string& out) {
  return GetProperty("DeviceClass", deviceClass_, out);
}

int32_t DeviceSession::GetProductVersion(std::string& out) {
  const int32_t result = GetProperty("ProductVersion", productVersion_, out);
  if (result == kOk) {
    const int major = MajorVersion(out);
    if (major > 9) isIos10OrLater = true;
    if (major > 11) isIos12OrLater = true;
  }
  return result;
}

bool DeviceSession::IsDeviceAttached() {
  idevice_t raw = nullptr;
  if (idevice_new(&raw, nullptr) != IDEVICE_E_SUCCESS || !raw) return false;
  idevice_free(raw);
  return true;
}

DeviceSession::Presence DeviceSession::ProbeDevice() {
  Impl& s = *impl_;
  if (!s.device || !IsDeviceAttached()) return Presence::kGone;
  std::lock_guard<std::mutex> lock(s.lockdownMutex);
  if (s.lockdown) {
    Plist name;
    if (lockdownd_get_value(s.lockdown.get(), nullptr, "DeviceName", name.out()) ==
        LOCKDOWN_E_SUCCESS) {
      return Presence::kAnswering;
    }
  }
  // The kept connection may have been dropped by the phone while the backup ran; a new one
  // tells whether the phone itself still answers.
  lockdownd_client_t raw = nullptr;
  if (lockdownd_client_new_with_handshake(s.device.get(), &raw, kLockdownLabel) ==
      LOCKDOWN_E_SUCCESS) {
    s.lockdown.reset(raw);
    return Presence::kAnswering;
  }
  if (raw) lockdownd_client_free(raw);
  return Presence::kSilent;
}

void DeviceSession::ReleaseSyncLock() {
  Impl& s = *impl_;
  if (s.syncLock == 0 || !s.afc) return;
  afc_file_lock(s.afc.get(), s.syncLock, AFC_LOCK_UN);
  afc_file_close(s.afc.get(), s.syncLock);
  s.syncLock = 0;
  PostNotification(device_notice::kSyncDidFinish);
}

void DeviceSession::Close() {
  Impl& s = *impl_;
  if (s.device && passwordRemoved_) RestoreBackupPassword();
  {
    std::lock_guard<std::mutex> lock(s.lockdownMutex);
    s.lockdown.reset();
  }
  ReleaseSyncLock();
  s.syncLock = 0;
  s.backup.reset();
  s.notify.reset();
  s.afc.reset();
  s.device.reset();
}

}  // namespace halvern
