// Media and file categories found by walking the manifest: Camera Roll, Photo Stream,
// message attachments and the files of installed apps (WhatsApp's set aside), with the
// signature test that keeps only files of a known type, and the two single-file copies.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backup/file_items.h"
#include "backup/manifest.h"
#include "platform/codes.h"

namespace halvern {

// Markers searched in a manifest entry's domain path (case-sensitive).
inline constexpr const char* kCameraRollMarker = "CameraRollDomain-Media/DCIM/";
inline constexpr const char* kPhotoStreamMarker = "MediaDomain-Media/PhotoStreamsData/";
inline constexpr const char* kAttachmentMarker = "/Attachments/";
// Matches app, app-group and plug-in containers alike (AppDomain-, AppDomainGroup-,
// AppDomainPlugin-).
inline constexpr const char* kAppMarker = "AppDomain";
inline constexpr const char* kWhatsAppMarker = "net.whatsapp.WhatsApp";

// Extension lists; an extension matches when it (or it followed by "|") occurs in the list.
inline constexpr const char* kImageList =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.heic|*.heif|*.avif|*.webp|"
    "*.cr3";
inline constexpr const char* kAudioList =
    "*.mp3|*.wav|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|*.amr|"
    "*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.opus|*.aac";
inline constexpr const char* kVideoList =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.ape|*.m4v|*.3gp|*.dv|"
    "*.3g2|*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|"
    "*.hdmov|*.mod|*.m2t|*.lrv";

// Documents a phone keeps beside its media (typed by extension unless the bytes tell).
inline constexpr const char* kDocumentList =
    "*.pdf|*.vcf|*.doc|*.docx|*.xls|*.xlsx|*.ppt|*.pptx|*.pages|*.numbers|*.rtf";

// The type of a file from the signature in its first 512 bytes (or all of a shorter file):
// "jpg" (any JPEG), "png", "gif", "heic", "avif", ISO media by the ftyp box ("mp4" for any
// brand not named otherwise, "mov", "m4a", "m4v", "3gp"), "caf", "amr", "opus", "ogg",
// "webp", "pdf", "vcf", ...; nullopt for a missing, unreadable or unknown file.
std::optional<std::string> SniffFileType(const std::filesystem::path& file);
// The same test over the first bytes already read.
std::optional<std::string> SniffBytes(const unsigned char* bytes, size_t size);
// The kind a name's extension gives (lower case, without the dot) when it is one of the
// image, audio, video or document lists; nullopt otherwise.
std::optional<std::string> KindByExtension(const std::string& name);
// The kind of a data file: its signature, else the extension of `name`; "" for neither.
std::string FileKind(const std::filesystem::path& file, const std::string& name);
// "image", "video", "audio" or "document" for a kind; "" for an empty kind.
const char* MediaClassOf(const std::string& kind);

// What a category walk needs: the manifest, where data files lie, and the progress state.
struct CategoryWalk {
  const std::vector<ManifestEntry>& manifest;
  std::function<std::filesystem::path(const std::string& fileID)> dataFilePath;
  ProgressSink sink;
  int32_t progress = 0;  // the scan's progress base before the walk
  int32_t step = 11;
  // Receives one line per data file skipped because it is a symbolic link, a FIFO, a folder
  // or a device ("skipped <domain path>: it is a FIFO"); may be null.
  std::vector<std::string>* notes = nullptr;
};

// Opens a data file of a backup for reading: a regular file only, never through a symbolic
// link (nor through a linked two-level subfolder), never blocking on a FIFO. -1 when refused.
int OpenDataFile(const std::filesystem::path& file);
// Why a data file would be refused ("it is a FIFO", "it is a symbolic link", ...); empty for
// a regular file or a missing one.
std::string DataFileRefusal(const std::filesystem::path& file);

// Each returns 0, or the callback's non-zero answer when it stopped; the vectors keep what
// was appended until then. Vectors are sorted by display name, ignoring case.
int32_t WalkPhotos(const CategoryWalk& walk, std::vector<MediaFileItem>& cameraRoll,
                   std::vector<MediaFileItem>& photoStream);
int32_t WalkMessageAttachments(const CategoryWalk& walk, std::vector<AttachmentItem>& out);
// `whatsApp` is emptied first and receives the WhatsApp attachments.
int32_t WalkAppFiles(const CategoryWalk& walk, std::vector<AppFileItem>& out,
                     std::vector<MediaFileItem>& whatsApp);

// The app an app-file entry belongs to ("example.notes" for AppDomain-com.example.notes-...),
// or "other".
std::string AppNameOf(const std::string& domainPath);

// Copies `dataFile` to the preview file of its class in `workFolder` ("tmp.jpg" for a
// picture, "tmp.wav" for any sound, "tmp.avi" for a film) and puts that path in
// `previewPath`; a document gets no preview file (0, empty path). 87: no known type or a file
// cannot be opened; 30: short read; errno of a failed write; the callback's non-zero answer.
int32_t ExtractForPreview(const std::filesystem::path& dataFile,
                          const std::filesystem::path& workFolder, std::string& previewPath,
                          const ProgressSink& sink);

// Copies `dataFile` to `destination`, creating its folder. The target is `destination` or, when
// that name is taken, the next free "name(n).ext" (never replacing anything); the bytes go to a
// file that gets its name only when whole (platform::OutputFile::Open), and a stopped or failed
// copy leaves nothing. Reports during the copy name `destination`; a whole file is always
// reported once at 100, under the name it took (a stop answered there removes it again). Same
// codes as ExtractForPreview, or the errno of the target; on failure (not on a stop) the
// callback hears (100, result, path) once more.
int32_t CopyDataFile(const std::filesystem::path& dataFile,
                     const std::filesystem::path& destination, ExportCallback callback,
                     void* userData);

}  // namespace halvern
