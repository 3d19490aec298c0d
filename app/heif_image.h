// HEIC/HEIF/AVIF pictures (an iPhone's default photo format), which Qt's own readers do not
// know: decoded for the preview through the media library (media/media.h), which also makes
// the JPEG copies on recover.
#pragma once

#include <QImage>
#include <QString>

namespace halvern::app {

// Whether the file begins like a HEIF file (an ISO media "ftyp" box of a HEIF or AVIF brand).
bool LooksLikeHeif(const QString& path);
// The primary picture of a HEIC/HEIF/AVIF file, turned as the camera asked; a null image when
// it cannot be decoded (the reason in `error`).
QImage DecodeHeif(const QString& path, QString* error = nullptr);

}  // namespace halvern::app
