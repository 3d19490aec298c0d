// halvern: the desktop program.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "device/device_recovery.h"

int main(int argc, char** argv) {
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("halvern %s\n", HALVERN_VERSION);
    return 0;
  }
  halvern::RegisterDeviceEngine();  // a device scan opens the attached phone
  return halvern::app::RunHalvern(argc, argv);
}
