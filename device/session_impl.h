// The handles a DeviceSession holds, shared by the session and the backup driver.
#pragma once

#include <mutex>

#include "device/device_session.h"
#include "device/handles.h"

namespace halvern {

struct DeviceSession::Impl {
  device::DeviceHandle device;      // the attached device; null when none was found
  device::LockdownHandle lockdown;  // kept for property queries and Info.plist
  device::NotifyHandle notify;      // observes the phone's sync requests
  device::AfcHandle afc;            // reaches the sync lock file and the iTunes files
  uint64_t syncLock = 0;            // AFC handle of the sync lock file; 0 when not open
  device::BackupHandle backup;      // mobilebackup2
  std::mutex lockdownMutex;         // one request at a time on the kept lockdown client
};

}  // namespace halvern
