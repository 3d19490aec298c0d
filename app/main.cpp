// halvern: the desktop program.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "device/device_recovery.h"
#include "platform/platform.h"
#include "platform/version.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer builds only. Closing the print window after the page was printed makes
// Qt WebEngine (libQt6WebEngineCore, Chromium inside) delete an object of its own with a sized
// delete smaller than its allocation ("new-delete-type-mismatch", 88 bytes allocated, 24
// deleted): both the allocation and the delete are frames of libQt6WebEngineCore, reached
// from QWebEnginePagePrivate::~QWebEnginePagePrivate and WebContentsAdapter::~WebContentsAdapter,
// whoever owns the page (the print window owns its page and deletes its view first). This
// sanitizer cannot suppress that report by frame or library, so this one check is off in this
// program alone; every other check stays on, and the tests and halvern-cli keep it.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }
#endif

int main(int argc, char** argv) {
  halvern::platform::KeepLargeAllocationsApart();
  // Answered before any window or display is set up.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("halvern %s\n", halvern::kProgramVersion);
      return 0;
    }
  }
  halvern::RegisterDeviceEngine();  // a device scan opens the attached phone
  return halvern::app::RunHalvern(argc, argv);
}
