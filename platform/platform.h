// Operating-system layer: where the program keeps its data, free space, mounted
// filesystems, the program's own folder, UTF-8 text helpers and local-time texts.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvern::platform {

// The user's application-data folder: $XDG_DATA_HOME, else $HOME/.local/share.
// Empty when neither variable is usable.
std::filesystem::path AppDataFolder();

// The folder that holds the running executable (helper programs and runtime files lie there).
std::filesystem::path ProgramFolder();

// Free bytes available on the filesystem holding `path` (or, for a folder still to be made,
// its nearest existing parent); nullopt when it cannot be read.
std::optional<uint64_t> FreeBytes(const std::filesystem::path& path);

// A mounted filesystem that can hold files (pseudo filesystems are left out).
struct MountedFilesystem {
  std::string device;
  std::filesystem::path mountPoint;
  std::string type;
};
// Real filesystems from /proc/self/mounts (or `mountsFile`), in table order.
std::vector<MountedFilesystem> MountedFilesystems(
    const std::filesystem::path& mountsFile = "/proc/self/mounts");

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);
// `text` with every ill-formed sequence replaced by U+FFFD; valid text comes back unchanged.
std::string SanitizeUtf8(std::string_view text);
// Decodes UTF-8 to code points, ill-formed sequences becoming U+FFFD.
std::u32string DecodeUtf8(std::string_view text);
std::string EncodeUtf8(std::u32string_view text);
// Simple case fold of one code point (Latin, Greek, Cyrillic, Armenian, full-width Latin).
char32_t FoldCase(char32_t c);
// Compares two UTF-8 texts code point by code point after case folding: <0, 0 or >0.
int CompareNoCase(std::string_view a, std::string_view b);
// Lower-cases ASCII letters only (file extensions, markers).
std::string AsciiLower(std::string_view text);
// The columns a UTF-8 text takes on a terminal: combining marks, joiners and variation
// selectors none, East Asian wide and full-width characters and emoji two, others one.
size_t DisplayWidth(std::string_view text);
// `text` followed by spaces up to `width` display columns (unchanged when already as wide).
std::string PadToWidth(std::string_view text, size_t width);

// Local-time text "%04d-%02d-%02d %02d:%02d:%02d" of Unix time `t`; empty when t cannot be
// broken down.
std::string FormatLocalTime(int64_t unixSeconds);

// Makes every large allocation (128 KiB and more) its own mapping, given back to the system
// the moment it is freed. The C library's default moves that limit up as large blocks are
// freed, after which a scan's freed lists stay in the heap beside the lists that replace them
// and the peak memory of a large scan grows by half. Called first thing by the programs.
void KeepLargeAllocationsApart();
// Unix time of a UTC calendar time (no local rules applied).
int64_t UtcToUnix(int year, int month, int day, int hour, int minute, int second);

// Reads a whole regular file (never blocks on a FIFO or a device); nullopt when it is not a
// regular file or cannot be opened or read.
std::optional<std::string> ReadFile(const std::filesystem::path& path);

}  // namespace halvern::platform
