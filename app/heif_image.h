// HEIC/HEIF pictures (an iPhone's default photo format), which Qt's own readers do not know:
// decoded with libheif for the preview, and written as JPEG copies on recover.
#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <filesystem>

namespace halvern::app {

// Whether the file begins like a HEIF file (an ISO media "ftyp" box of a HEIF brand).
bool LooksLikeHeif(const QString& path);
// The primary picture of a HEIC/HEIF file, turned as the camera asked; a null image when it
// cannot be decoded (libheif's message in `error`).
QImage DecodeHeif(const QString& path, QString* error = nullptr);
// Writes the primary picture of `heic` as the JPEG file `jpeg`: 0, the system's error of the
// write, or 87 when the picture cannot be decoded or encoded.
int32_t HeifToJpeg(const std::filesystem::path& heic, const std::filesystem::path& jpeg);

}  // namespace halvern::app
