// HEIC/HEIF decoding through libheif.
#include "app/heif_image.h"

#include <libheif/heif.h>

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <cstring>
#include <memory>

#include "export/writers.h"
#include "platform/codes.h"

namespace halvern::app {

namespace {

struct ContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};

bool Failed(const heif_error& e, QString* error) {
  if (e.code == heif_error_Ok) return false;
  if (error != nullptr) *error = QString::fromUtf8(e.message ? e.message : "libheif error");
  return true;
}

}  // namespace

bool LooksLikeHeif(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = file.read(12);
  if (head.size() < 12 || head.mid(4, 4) != "ftyp") return false;
  const QByteArray brand = head.mid(8, 4);
  for (const char* b : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1"}) {
    if (brand == b) return true;
  }
  return false;
}

QImage DecodeHeif(const QString& path, QString* error) {
  std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
  if (!context) return {};
  const QByteArray name = QFile::encodeName(path);
  if (Failed(heif_context_read_from_file(context.get(), name.constData(), nullptr), error)) {
    return {};
  }
  heif_image_handle* rawHandle = nullptr;
  if (Failed(heif_context_get_primary_image_handle(context.get(), &rawHandle), error)) return {};
  std::unique_ptr<heif_image_handle, HandleFree> handle(rawHandle);
  heif_image* rawImage = nullptr;
  // libheif applies the picture's rotation and mirroring while decoding.
  if (Failed(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                               heif_chroma_interleaved_RGBA, nullptr),
             error)) {
    return {};
  }
  std::unique_ptr<heif_image, ImageFree> image(rawImage);
  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved,
                                                       &stride);
  if (plane == nullptr || width <= 0 || height <= 0) {
    if (error != nullptr) *error = QStringLiteral("the picture has no pixels");
    return {};
  }
  // The plane belongs to the heif image: copy it out.
  return QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy();
}

int32_t HeifToJpeg(const std::filesystem::path& heic, const std::filesystem::path& jpeg) {
  const QImage picture = DecodeHeif(QString::fromStdString(heic.string()));
  if (picture.isNull()) return kInvalidParameter;
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpg");
  writer.setQuality(92);
  if (!writer.write(picture.convertToFormat(QImage::Format_RGB888))) return kInvalidParameter;
  return WriteWholeFile(jpeg, std::string_view(bytes.constData(), size_t(bytes.size())));
}

}  // namespace halvern::app
