// The attached phone from the command line: connecting it, and the sentences for the codes of
// a device backup. Shared by `device` and `scan --device`.
#pragma once

#include <cstdint>
#include <string>

namespace halvern::cli {

// Connects the process-wide device session to the first attached phone. 0 with `willEncrypt`
// set, else 1 with the cause in `error`.
int ConnectDevice(bool& willEncrypt, std::string& error);

// A sentence for a failed device backup.
std::string DeviceFailureText(int32_t code);

}  // namespace halvern::cli
