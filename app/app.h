// Start-up and shut-down of the desktop program.
#pragma once

#include <filesystem>

namespace halvern::app {

// The program: single instance, the skin check, configuration and language texts, the main
// window and its event loop, then the clean-up. Returns the process exit status.
int RunHalvern(int argc, char** argv);

// The clean-up after the event loop: ends the media players this program started and
// deletes the preview files "tmp.jpg", "tmp.wav" and "tmp.avi" of the work folder under
// `appData`.
void ShutDown(const std::filesystem::path& appData);

// Media players started by the preview register here so that shut-down can end them.
void RegisterPlayer(long pid);
void ForgetPlayer(long pid);

}  // namespace halvern::app
