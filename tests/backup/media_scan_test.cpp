// File typing, the category walks over the manifest and the single-file copies.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <set>
#include <tuple>

#include "backup/media_scan.h"
#include "platform/platform.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::MediaBytes;
using fixtures::TempDir;

std::string Padded(std::string head) {
  head.resize(512, '\x01');
  return head;
}

TEST(Sniff, SignaturesInTableOrder) {
  std::string ico = std::string("\0\0\1\0\1\0", 6) + std::string(16, '\0');
  ico[6 + 8] = 10;       // image size 10
  ico[6 + 12] = 6 + 16;  // image offset right after the directory
  struct Case {
    const char* what;
    std::string bytes;
    std::optional<std::string> type;
  };
  const Case cases[] = {
      {"mpeg", Padded(std::string("\0\0\1\xBA....\0\0\1\xBB", 12)), "mpeg"},
      {"mp4 iso", Padded(std::string("\0\0\0\x18" "ftypisom", 12)), "mp4"},
      {"mp4 mp42", MediaBytes("mp4", 512), "mp4"},
      {"quicktime ftyp", MediaBytes("mov", 512), "mov"},
      {"quicktime moov", Padded("moov"), "mov"},
      {"3gp", Padded(std::string("\0\0\0\x18" "ftyp3gp4", 12)), "3gp"},
      {"asf", Padded("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"), std::nullopt},
      {"asf full", Padded(std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16)), "wmv"},
      {"avi", Padded("RIFF\x10\x10\x10\x10" "AVI LIST"), "avi"},
      {"wav", MediaBytes("wav", 512), "wav"},
      {"mp3", MediaBytes("mp3", 512), "mp3"},
      {"midi", Padded(std::string("MThd\0\0\0\x06\0\1\0\1\0\x60MTrk", 18)), "mid"},
      {"gif", MediaBytes("gif", 512), "gif"},
      {"gif bad version", Padded("GIFx9a"), std::nullopt},
      {"bmp", Padded(std::string("BM\x36\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0", 18)), "bmp"},
      {"jpeg jfif", MediaBytes("jpg", 512), "jpg"},
      {"jpeg exif", Padded(std::string("\xFF\xD8\xFF\xE1\0\x10" "Exif", 10)), "jpg"},
      {"png", MediaBytes("png", 512), "png"},
      {"ico", Padded(ico), "ico"},
      {"heic", Padded(std::string("\0\0\0\x18" "ftypheic", 12)), "heic"},
      {"heif mif1", Padded(std::string("\0\0\0\x18" "ftypmif1", 12)), "heic"},
      {"short png is typed on what it has", MediaBytes("png", 100), "png"},
      {"short jpeg", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10), "jpg"},
      {"cut signature", std::string("\xFF\xD8", 2), std::nullopt},
      // Any JPEG by its first marker, whatever segment follows.
      {"jpeg quantisation table", Padded(std::string("\xFF\xD8\xFF\xDB\0\x43", 6)), "jpg"},
      {"jpeg icc profile", Padded(std::string("\xFF\xD8\xFF\xE2\x0C\x58ICC_PROFILE", 17)), "jpg"},
      // ISO media of any brand by the ftyp box.
      {"mp4 mp41", Padded(std::string("\0\0\0\x18" "ftypmp41", 12)), "mp4"},
      {"mp4 avc1", Padded(std::string("\0\0\0\x18" "ftypavc1", 12)), "mp4"},
      {"m4a", Padded(std::string("\0\0\0\x1C" "ftypM4A \0\0\0\0M4A mp42isom", 28)), "m4a"},
      {"m4v", Padded(std::string("\0\0\0\x18" "ftypM4V ", 12)), "m4v"},
      {"avif", Padded(std::string("\0\0\0\x1C" "ftypavif\0\0\0\0avifmif1miaf", 28)), "avif"},
      {"mif1 with avif", Padded(std::string("\0\0\0\x18" "ftypmif1\0\0\0\0avif", 20)), "avif"},
      {"quicktime mdat first", Padded(std::string("\0\0\x10\0mdat", 8)), "mov"},
      // Voice and stickers.
      {"caf", Padded(std::string("caff\0\x01\0\0desc", 12)), "caf"},
      {"amr", Padded("#!AMR\n"), "amr"},
      {"opus", Padded(std::string("OggS\0\x02", 6) + std::string(22, '\0') + "OpusHead"), "opus"},
      {"ogg vorbis", Padded(std::string("OggS\0\x02", 6) + std::string(22, '\0') + "\x01vorbis"), "ogg"},
      {"webp", Padded("RIFF\x10\x10\x10\x10WEBPVP8 "), "webp"},
      {"pdf", Padded("%PDF-1.7\n"), "pdf"},
      {"vcard", Padded("BEGIN:VCARD\r\nVERSION:3.0\r\n"), "vcf"},
      {"vcard bom lower case", Padded("\xEF\xBB\xBF\r\nbegin:vcard\r\n"), "vcf"},
      {"riff of another kind", Padded("RIFF\x10\x10\x10\x10XXXX"), std::nullopt},
      {"cut bmp header", std::string("BM\0\0\0\0\0\0\0", 9), std::nullopt},
      {"empty", std::string(), std::nullopt},
      {"text", Padded("hello"), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SniffBytes(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size()),
              c.type)
        << c.what;
  }
  EXPECT_EQ(SniffFileType("/no/such/file"), std::nullopt);
}

TEST(Kinds, ByExtensionAndClass) {
  EXPECT_EQ(KindByExtension("voice.CAF"), "caf");
  EXPECT_EQ(KindByExtension("sticker.webp"), "webp");
  EXPECT_EQ(KindByExtension("report.docx"), "docx");
  EXPECT_EQ(KindByExtension("Contact.vcf"), "vcf");
  EXPECT_EQ(KindByExtension("store.sqlite"), std::nullopt);
  EXPECT_EQ(KindByExtension("noext"), std::nullopt);
  EXPECT_EQ(KindByExtension("trailing."), std::nullopt);
  const std::pair<const char*, const char*> classes[] = {
      {"jpg", "image"}, {"heic", "image"}, {"webp", "image"}, {"avif", "image"},
      {"mp4", "video"}, {"mov", "video"},  {"m4v", "video"},  {"3gp", "video"},
      {"caf", "audio"}, {"m4a", "audio"},  {"opus", "audio"}, {"ogg", "audio"},
      {"amr", "audio"}, {"mp3", "audio"},  {"pdf", "document"}, {"vcf", "document"},
      {"", ""}};
  for (const auto& [kind, media] : classes) EXPECT_STREQ(MediaClassOf(kind), media) << kind;
}

TEST(AppName, FromTheContainerName) {
  EXPECT_EQ(AppNameOf("AppDomain-com.example.notes-Documents/a.png"), "example.notes");
  EXPECT_EQ(AppNameOf("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-Message/x.jpg"),
            "whatsapp.WhatsApp.shared");
  EXPECT_EQ(AppNameOf("AppDomain-org.example.app-Documents/a.png"), "other");
  EXPECT_EQ(AppNameOf("AppDomain-com.example"), "other");  // no "-" after the marker
}

struct Recorder {
  std::vector<int32_t> reports;
  int32_t stopAt = -1;
  static int32_t Callback(void* self, int32_t percent) {
    auto* r = static_cast<Recorder*>(self);
    r->reports.push_back(percent);
    return static_cast<int32_t>(r->reports.size()) == r->stopAt ? 2 : 0;
  }
};

class CategoryWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spec_ = fixtures::SampleMediaBackup();
    spec_.files.push_back({"CameraRollDomain", "Media/DCIM/100APPLE/gone.JPG", MediaBytes("jpg", 600), false});
    spec_.files.push_back({"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/Media/empty.jpg", "", true});
    spec_.files.push_back({"AppDomain-com.example.notes", "Documents/empty.png", "", true});
    spec_.files.push_back({"MediaDomain", "Media/PhotoStreamsData/1/100APPLE/A_FIRST.JPG", MediaBytes("jpg", 700)});
    ASSERT_TRUE(fixtures::WriteBackup(dir_.path(), spec_));
    ASSERT_EQ(ReadManifestDb(dir_ / "Manifest.db", manifest_), 0);
  }
  CategoryWalk Walk(Recorder& r) {
    return CategoryWalk{manifest_,
                        [this](const std::string& id) {
                          return DataFilePath(dir_.path(), id, false, true);
                        },
                        ProgressSink{&Recorder::Callback, &r}, 12, 11};
  }
  TempDir dir_;
  fixtures::BackupSpec spec_;
  std::vector<ManifestEntry> manifest_;
};

TEST_F(CategoryWalkTest, PhotosKeepTheirNamesSortedAndSkipMissingFiles) {
  Recorder r;
  std::vector<MediaFileItem> roll, stream;
  ASSERT_EQ(WalkPhotos(Walk(r), roll, stream), 0);
  ASSERT_EQ(roll.size(), 4u);  // gone.JPG has no data file; short.JPG (300 bytes) is typed
  EXPECT_EQ(roll[0].displayName, "IMG_0001.PNG");
  EXPECT_EQ(roll[1].displayName, "IMG_0002.JPG");
  EXPECT_EQ(roll[2].displayName, "IMG_0003.MOV");
  EXPECT_EQ(roll[3].displayName, "short.JPG");
  EXPECT_EQ(roll[2].kind, "mov");
  EXPECT_EQ(roll[3].kind, "jpg");
  EXPECT_EQ(roll[1].size, 4096u);
  ASSERT_EQ(stream.size(), 2u);
  EXPECT_EQ(stream[0].displayName, "A_FIRST.JPG");
  // Every entry reports but the missing one and the folder row; the last is base + 2 x step.
  EXPECT_EQ(r.reports.size(), manifest_.size() - 2);
  EXPECT_EQ(r.reports.back(), 12 + 22);
}

TEST_F(CategoryWalkTest, AttachmentsKeepTheirNamesAndAreTypedByTheirBytes) {
  Recorder r;
  std::vector<AttachmentItem> out;
  ASSERT_EQ(WalkMessageAttachments(Walk(r), out), 0);
  // IMG_0004.jpeg holds a PNG: typed so, named as the phone names it; voice.caf has no
  // signature and is typed by its extension.
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].displayName, "IMG_0004.jpeg");
  EXPECT_EQ(out[0].kind, "png");
  EXPECT_EQ(out[1].displayName, "voice.caf");
  EXPECT_EQ(out[1].kind, "caf");
}

// A file that has a name keeps it, extension and case included; only a name without an
// extension gets one, from the file's signature.
TEST(AttachmentNames, OnlyANameWithoutExtensionTakesTheSignaturesOne) {
  struct Case {
    const char* domain;
    const char* path;
    const char* kind;  // the bytes
    const char* listed;
  };
  const Case cases[] = {
      {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/Media/a/b/1a2b3c.opus", "ogg",
       "1a2b3c.opus"},
      {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/Media/a/b/photo.jpg", "jpg",
       "photo.jpg"},
      {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "Message/Media/a/b/5f3e9a", "jpg",
       "5f3e9a.jpg"},
      {"MediaDomain", "Library/SMS/Attachments/0c/12/Audio Message.caf", "caf", "Audio Message.caf"},
      {"MediaDomain", "Library/SMS/Attachments/0d/13/IMG_0005.HEIC", "jpg", "IMG_0005.HEIC"},
      {"MediaDomain", "Library/SMS/Attachments/0e/14/scan", "pdf", "scan.pdf"},
      {"MediaDomain", "Library/SMS/Attachments/0f/15/v1.2 draft", "png", "v1.2 draft.png"},
  };
  // Signatures of the kinds the builder's MediaBytes does not make.
  const auto bytes = [](const std::string& kind) {
    std::string head;
    if (kind == "ogg") head = std::string("OggS\0\x02", 6);
    if (kind == "caf") head = std::string("caff\0\x01\0\0", 8);
    if (kind == "pdf") head = "%PDF-1.4\n";
    if (head.empty()) return MediaBytes(kind, 800);
    return head + std::string(800 - head.size(), 'x');
  };
  TempDir dir;
  fixtures::BackupSpec spec;
  for (const Case& c : cases) spec.files.push_back({c.domain, c.path, bytes(c.kind)});
  ASSERT_TRUE(fixtures::WriteBackup(dir.path(), spec));
  std::vector<ManifestEntry> manifest;
  ASSERT_EQ(ReadManifestDb(dir / "Manifest.db", manifest), 0);
  Recorder r;
  const CategoryWalk walk{manifest,
                          [&](const std::string& id) {
                            return DataFilePath(dir.path(), id, false, true);
                          },
                          ProgressSink{&Recorder::Callback, &r}, 0, 10};
  std::vector<AttachmentItem> attachments;
  ASSERT_EQ(WalkMessageAttachments(walk, attachments), 0);
  std::vector<AppFileItem> apps;
  std::vector<MediaFileItem> whatsApp;
  ASSERT_EQ(WalkAppFiles(walk, apps, whatsApp), 0);
  std::set<std::string> listed;
  for (const auto& a : attachments) listed.insert(a.displayName);
  for (const auto& w : whatsApp) listed.insert(w.displayName);
  for (const Case& c : cases) EXPECT_EQ(listed.count(c.listed), 1u) << c.path;
  EXPECT_EQ(listed.size(), std::size(cases));
}

TEST_F(CategoryWalkTest, AppFilesCoverGroupAndPluginContainersAndSetWhatsAppAside) {
  Recorder r;
  std::vector<AppFileItem> apps;
  std::vector<MediaFileItem> whatsApp = {MediaFileItem{1, "stale", {}}};
  ASSERT_EQ(WalkAppFiles(Walk(r), apps, whatsApp), 0);
  ASSERT_EQ(whatsApp.size(), 1u);  // empty files have no type and drop out
  EXPECT_EQ(whatsApp[0].displayName, "photo.jpg");
  ASSERT_EQ(apps.size(), 3u);
  std::vector<std::pair<std::string, std::string>> got;
  for (const auto& a : apps) got.emplace_back(a.appName, a.displayName);
  EXPECT_EQ(got[0], (std::pair<std::string, std::string>{"example.notes", "clip.mp4"}));
  EXPECT_EQ(got[1], (std::pair<std::string, std::string>{"example.notes", "photo.png"}));
  EXPECT_EQ(got[2], (std::pair<std::string, std::string>{"example.share.ext", "thumb.gif"}));
  EXPECT_EQ(r.reports.size(), manifest_.size());
}

TEST_F(CategoryWalkTest, AStopAnswerEndsTheWalkWithWhatWasFound) {
  Recorder r;
  r.stopAt = 3;
  std::vector<MediaFileItem> roll, stream;
  EXPECT_EQ(WalkPhotos(Walk(r), roll, stream), 2);
  EXPECT_EQ(r.reports.size(), 3u);
  EXPECT_LE(roll.size(), 3u);
}

TEST(Copies, PreviewReplacesTheOldFileAndCopyCreatesFolders) {
  TempDir dir;
  const std::string longWav = MediaBytes("wav", 200000), shortWav = MediaBytes("wav", 600);
  std::ofstream(dir / "long", std::ios::binary) << longWav;
  std::ofstream(dir / "short", std::ios::binary) << shortWav;
  std::string preview;
  Recorder r;
  ASSERT_EQ(ExtractForPreview(dir / "long", dir.path(), preview, {&Recorder::Callback, &r}), 0);
  EXPECT_EQ(preview, (dir / "tmp.wav").string());
  EXPECT_EQ(r.reports.back(), 100);
  ASSERT_EQ(ExtractForPreview(dir / "short", dir.path(), preview, {}), 0);
  EXPECT_EQ(*platform::ReadFile(preview), shortWav);
  EXPECT_EQ(ExtractForPreview(dir / "missing", dir.path(), preview, {}), kInvalidParameter);
  EXPECT_EQ(preview, "");

  struct Seen {
    std::vector<std::tuple<int32_t, int32_t, std::string>> calls;
  } seen;
  auto callback = [](void* s, int32_t pct, int32_t err, const std::string& path) -> int32_t {
    static_cast<Seen*>(s)->calls.emplace_back(pct, err, path);
    return 0;
  };
  const fs::path dest = dir / "out" / "deep" / "copy.wav";
  ASSERT_EQ(CopyDataFile(dir / "long", dest, callback, &seen), 0);
  EXPECT_EQ(*platform::ReadFile(dest), longWav);
  EXPECT_EQ(std::get<0>(seen.calls.back()), 100);
  seen.calls.clear();
  EXPECT_EQ(CopyDataFile(dir / "missing", dir / "x" / "y", callback, &seen), kInvalidParameter);
  ASSERT_EQ(seen.calls.size(), 1u);
  EXPECT_EQ(seen.calls[0], std::make_tuple(100, kInvalidParameter, (dir / "x" / "y").string()));
}

TEST(HostileDataFiles, FifosAndLinksAreSkippedWithANoteAndNeverRead) {
  TempDir dir;
  const std::string outside = MediaBytes("jpg", 2048);
  std::ofstream(dir / "outside.jpg", std::ios::binary) << outside;
  fixtures::BackupSpec spec;
  spec.files = {{"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", MediaBytes("jpg", 1024)},
                {"CameraRollDomain", "Media/DCIM/100APPLE/FIFO.JPG", "", false},
                {"CameraRollDomain", "Media/DCIM/100APPLE/LINK.JPG", "", false},
                {"MediaDomain", "Library/SMS/Attachments/aa/LINK2.JPG", "", false},
                {"AppDomain-com.example.app", "Documents/FIFO.PNG", "", false}};
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", spec));
  auto data = [&](const std::string& domain, const std::string& path) {
    const std::string id = fixtures::FileId(domain, path);
    return DataFilePath(dir / "b", id, false, true);
  };
  fs::create_directories(data("CameraRollDomain", "Media/DCIM/100APPLE/FIFO.JPG").parent_path());
  ASSERT_EQ(mkfifo(data("CameraRollDomain", "Media/DCIM/100APPLE/FIFO.JPG").c_str(), 0600), 0);
  fs::create_directories(data("CameraRollDomain", "Media/DCIM/100APPLE/LINK.JPG").parent_path());
  fs::create_symlink(dir / "outside.jpg", data("CameraRollDomain", "Media/DCIM/100APPLE/LINK.JPG"));
  fs::create_directories(data("MediaDomain", "Library/SMS/Attachments/aa/LINK2.JPG").parent_path());
  fs::create_symlink(dir / "outside.jpg", data("MediaDomain", "Library/SMS/Attachments/aa/LINK2.JPG"));
  fs::create_directories(data("AppDomain-com.example.app", "Documents/FIFO.PNG").parent_path());
  ASSERT_EQ(mkfifo(data("AppDomain-com.example.app", "Documents/FIFO.PNG").c_str(), 0600), 0);

  std::vector<ManifestEntry> manifest;
  ASSERT_EQ(ReadManifestDb(dir / "b" / "Manifest.db", manifest), 0);
  std::vector<std::string> notes;
  CategoryWalk walk{manifest,
                    [&](const std::string& id) { return DataFilePath(dir / "b", id, false, true); },
                    {}, 0, 11, &notes};
  std::vector<MediaFileItem> roll, stream, attachments, whatsApp;
  std::vector<AppFileItem> apps;
  // A FIFO opened without O_NONBLOCK would block here forever.
  ASSERT_EQ(WalkPhotos(walk, roll, stream), 0);
  ASSERT_EQ(WalkMessageAttachments(walk, attachments), 0);
  ASSERT_EQ(WalkAppFiles(walk, apps, whatsApp), 0);
  ASSERT_EQ(roll.size(), 1u);
  EXPECT_EQ(roll[0].displayName, "IMG_0001.JPG");
  EXPECT_TRUE(attachments.empty());
  EXPECT_TRUE(apps.empty());
  std::string all;
  for (const auto& n : notes) all += n + "\n";
  EXPECT_NE(all.find("FIFO.JPG: it is a FIFO"), std::string::npos) << all;
  EXPECT_NE(all.find("LINK.JPG: it is a symbolic link"), std::string::npos) << all;
  EXPECT_NE(all.find("LINK2.JPG: it is a symbolic link"), std::string::npos) << all;
  EXPECT_NE(all.find("FIFO.PNG: it is a FIFO"), std::string::npos) << all;

  // A copy never reads through a link, nor from a FIFO.
  const fs::path link = data("CameraRollDomain", "Media/DCIM/100APPLE/LINK.JPG");
  EXPECT_EQ(CopyDataFile(link, dir / "out" / "a.jpg", nullptr, nullptr), kInvalidParameter);
  EXPECT_EQ(CopyDataFile(data("CameraRollDomain", "Media/DCIM/100APPLE/FIFO.JPG"),
                         dir / "out" / "b.jpg", nullptr, nullptr),
            kInvalidParameter);
  EXPECT_FALSE(fs::exists(dir / "out"));  // not even the folder is made for a refused source
  std::string preview;
  EXPECT_EQ(ExtractForPreview(link, dir.path(), preview, {}), kInvalidParameter);
}

TEST(Copies, NothingIsReplacedAndAStoppedCopyLeavesNothing) {
  TempDir dir;
  const std::string big = MediaBytes("mov", 1 << 20);
  std::ofstream(dir / "src", std::ios::binary) << big;
  fs::create_directories(dir / "out");
  std::ofstream(dir / "out" / "IMG.MOV") << "theirs";
  std::vector<std::string> paths;
  auto record = [](void* p, int32_t pct, int32_t, const std::string& path) -> int32_t {
    if (pct == 100) static_cast<std::vector<std::string>*>(p)->push_back(path);
    return 0;
  };
  ASSERT_EQ(CopyDataFile(dir / "src", dir / "out" / "IMG.MOV", record, &paths), 0);
  EXPECT_EQ(*platform::ReadFile(dir / "out" / "IMG.MOV"), "theirs");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0], (dir / "out" / "IMG(1).MOV").string());
  EXPECT_EQ(*platform::ReadFile(dir / "out" / "IMG(1).MOV"), big);
  // An empty file is reported once too, under its final name.
  std::ofstream(dir / "empty") << "";
  paths.clear();
  ASSERT_EQ(CopyDataFile(dir / "empty", dir / "out" / "IMG.MOV", record, &paths), 0);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0], (dir / "out" / "IMG(2).MOV").string());

  // Stopped after the first chunk: neither the name nor the temporary file remains.
  auto stopAtOnce = [](void*, int32_t, int32_t, const std::string&) -> int32_t { return kStopped; };
  EXPECT_EQ(CopyDataFile(dir / "src", dir / "out" / "STOP.MOV", stopAtOnce, nullptr), kStopped);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir / "out")) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"IMG.MOV", "IMG(1).MOV", "IMG(2).MOV"}));
  // A target folder that cannot be made: the real error, never taken for a stop.
  std::ofstream(dir / "file") << "x";
  std::vector<std::tuple<int32_t, int32_t>> failures;
  auto failure = [](void* p, int32_t pct, int32_t err, const std::string&) -> int32_t {
    static_cast<std::vector<std::tuple<int32_t, int32_t>>*>(p)->emplace_back(pct, err);
    return 0;
  };
  EXPECT_EQ(CopyDataFile(dir / "src", dir / "file" / "x.MOV", failure, &failures), ENOTDIR);
  EXPECT_EQ(failures, (std::vector<std::tuple<int32_t, int32_t>>{{100, ENOTDIR}}));
}

}  // namespace
}  // namespace halvern
