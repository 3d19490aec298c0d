// QuitCounter: the process-wide request to end a running device backup. Above zero, the
// device backup loop stops; the phone's cancel notice, the device page and a scan's Stop raise it.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvern {

inline std::atomic<int32_t> QuitCounter{0};

}  // namespace halvern
