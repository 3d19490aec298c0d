// halvern: the desktop program.
#include "app/app.h"
#include "device/device_recovery.h"

int main(int argc, char** argv) {
  halvern::RegisterDeviceEngine();  // a device scan opens the attached phone
  return halvern::app::RunHalvern(argc, argv);
}
