// halvern: the desktop program.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "device/device_recovery.h"
#include "halvern_version.h"

int main(int argc, char** argv) {
  // Answered before any window or display is set up.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("halvern %s\n", halvern::kVersion);
      return 0;
    }
  }
  halvern::RegisterDeviceEngine();  // a device scan opens the attached phone
  return halvern::app::RunHalvern(argc, argv);
}
