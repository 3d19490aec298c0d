// HEIF pictures for the preview, as QImage, through the media library.
#include "app/heif_image.h"

#include <QFile>

#include "media/media.h"

namespace halvern::app {

namespace {
std::filesystem::path PathOf(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}
}  // namespace

bool LooksLikeHeif(const QString& path) { return media::IsHeifFamily(PathOf(path)); }

QImage DecodeHeif(const QString& path, QString* error) {
  media::Picture picture;
  const media::Outcome outcome = media::DecodeHeif(PathOf(path), picture);
  if (!outcome.ok()) {
    if (error != nullptr) *error = QString::fromStdString(outcome.reason);
    return {};
  }
  // The rows belong to `picture`: copied out.
  return QImage(picture.rgba.data(), picture.width, picture.height, picture.width * 4,
                QImage::Format_RGBA8888)
      .copy();
}

}  // namespace halvern::app
