// The Photos library through the command line: every asset of Photos.sqlite of iOS 9, 11, 14, 17
// and 18 in `scan --json` (names, dates in their zones, kinds, places, marks, albums from the
// member table each version numbers its own way, the trash, records carved from freed pages,
// a Live Photo's two files, an edit), the recovered folder (album folders, original names
// with numbers on a clash, one file linked into every album, times set to the date taken,
// pages per album, the CSV of every asset), and a backup whose library is missing or damaged
// keeping its Camera Roll list.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <set>

#include "platform/platform.h"
#include "tests/fixtures/photos_dbs.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::PhotosLayout;
using fixtures::TempDir;

struct Outputs {
  int status = -1;
  std::string out, err;
};
Outputs Cli(const std::string& args, const TempDir& dir) {
  const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
  const std::string cmd = "TZ=UTC XDG_DATA_HOME=" + fixtures::Quote(dir / "home") +
                          " '" HALVERN_BIN_DIR "/halvern-cli' " + args + " >" +
                          fixtures::Quote(out) + " 2>" + fixtures::Quote(err) + " </dev/null";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, platform::ReadFile(out).value_or(""),
          platform::ReadFile(err).value_or("")};
}

// A current phone's backup (messages, DCIM files, ...) with the picture library of `layout`;
// `library` false leaves Photos.sqlite out.
fs::path WriteBackup(const TempDir& dir, PhotosLayout layout, fixtures::ScanExpectation* expected,
                     bool library = true,
                     const std::vector<fixtures::PhotoAsset>& assets = fixtures::SamplePhotoAssets()) {
  fixtures::BackupSpec spec;
  fixtures::ScanExpectation local;
  std::string error;
  const fs::path work = dir / "work";
  fs::create_directories(work);
  EXPECT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, work, spec,
                                           expected ? *expected : local, &error))
      << error;
  // The probe backup's own DCIM files give way to the library's.
  std::erase_if(spec.files, [](const fixtures::BackupFile& f) {
    return f.domain == "CameraRollDomain";
  });
  EXPECT_EQ(fixtures::AddPhotos(spec, work, layout, assets), "");
  if (expected) {
    expected->cameraRoll.clear();
    for (const auto& f : spec.files) {
      if (f.domain == "CameraRollDomain" && f.relativePath.starts_with("Media/DCIM/"))
        expected->cameraRoll.push_back(f.relativePath);
    }
  }
  if (!library) {
    std::erase_if(spec.files, [](const fixtures::BackupFile& f) {
      return f.relativePath == "Media/PhotoData/Photos.sqlite";
    });
  }
  const fs::path backup = dir / "backup";
  EXPECT_TRUE(fixtures::WriteBackup(backup, spec, &error)) << error;
  return backup;
}

std::map<std::string, nlohmann::json> ByFile(const nlohmann::json& category) {
  std::map<std::string, nlohmann::json> out;
  for (const auto& item : category["items"]) out[item["file"].get<std::string>()] = item;
  return out;
}

std::vector<std::string> FileNames(const nlohmann::json& item) {
  std::vector<std::string> names;
  for (const auto& f : item["files"]) names.push_back(f["name"]);
  return names;
}

class PhotosLayouts : public ::testing::TestWithParam<PhotosLayout> {};

TEST_P(PhotosLayouts, EveryAssetWithItsNameDateKindPlaceMarksAlbumsAndFiles) {
  const PhotosLayout layout = GetParam();
  TempDir dir;
  const fs::path backup = WriteBackup(dir, layout, nullptr);
  const Outputs run = Cli("scan --json " + fixtures::Quote(backup), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  const auto& photos = doc["categories"]["photos"];
  ASSERT_EQ(photos["items"].size(), 8u) << photos.dump(1);
  auto items = ByFile(photos);
  const bool places = layout != PhotosLayout::kIos9;

  // A favourite in two albums (the trashed album it was also in is none of them), taken in
  // Paris, edited: the original and its edit.
  const auto& first = items.at("IMG_0001.HEIC");
  EXPECT_EQ(first["originalName"], "IMG_4501.HEIC");
  EXPECT_EQ(first["dateTaken"], "2021-07-03T14:00:00+02:00");
  EXPECT_EQ(first["kind"], "photo");
  EXPECT_EQ(first["width"], 64);
  EXPECT_EQ(first["height"], 48);
  EXPECT_EQ(first["favorite"], true);
  EXPECT_EQ(first["hidden"], false);
  EXPECT_EQ(first["albums"], (nlohmann::json{"Holidays", "Family"}));
  EXPECT_EQ(first["deleted"], 0);
  EXPECT_TRUE(first["deletedDate"].is_null());
  EXPECT_TRUE(first["fileStatus"].is_null());
  if (places) {
    EXPECT_EQ(first["latitude"], 48.8584);
    EXPECT_EQ(first["longitude"], 2.2945);
  } else {
    EXPECT_TRUE(first["latitude"].is_null());
  }
  EXPECT_EQ(FileNames(first), (std::vector<std::string>{"IMG_0001.HEIC", "FullSizeRender.jpg"}));
  EXPECT_EQ(first["files"][1]["phonePath"],
            "CameraRollDomain-Media/PhotoData/Mutations/DCIM/100APPLE/IMG_0001/Adjustments/"
            "FullSizeRender.jpg");
  for (const auto& f : first["files"])
    EXPECT_TRUE(fs::is_regular_file(f["path"].get<std::string>())) << f;

  // A Live Photo is one item with its picture and its video.
  const auto& live = items.at("IMG_0002.HEIC");
  EXPECT_EQ(live["kind"], "Live Photo");
  EXPECT_EQ(FileNames(live), (std::vector<std::string>{"IMG_0002.HEIC", "IMG_0002.MOV"}));
  EXPECT_EQ(items.count("IMG_0002.MOV"), 0u);

  // A video with its length, in New York's zone, without a place (-180).
  const auto& video = items.at("IMG_0003.MOV");
  EXPECT_EQ(video["kind"], "video");
  EXPECT_EQ(video["duration"], 3);
  EXPECT_EQ(video["dateTaken"], "2021-07-03T10:00:00-04:00");
  EXPECT_TRUE(video["latitude"].is_null());
  EXPECT_TRUE(video["longitude"].is_null());
  EXPECT_EQ(video["albums"], (nlohmann::json{"Family"}));

  const auto& screenshot = items.at("IMG_0004.PNG");
  EXPECT_EQ(screenshot["kind"], "screenshot");
  EXPECT_EQ(screenshot["hidden"], true);
  EXPECT_EQ(screenshot["dateTaken"], "2021-07-04T12:00:00+00:00");
  EXPECT_EQ(screenshot["albums"], nlohmann::json::array());

  // In Recently Deleted: deleted, with the date it was trashed; its file still there.
  const auto& trashed = items.at("IMG_0005.JPG");
  EXPECT_EQ(trashed["deleted"], 1);
  EXPECT_EQ(trashed["source"], "live");
  EXPECT_EQ(trashed["deletedDate"], "2021-07-10T12:00:00+00:00");
  EXPECT_EQ(trashed["originalName"], "party.jpg");
  EXPECT_EQ(FileNames(trashed), (std::vector<std::string>{"IMG_0005.JPG"}));

  // Deleted for good: its record carved from the freed pages, its file gone.
  const auto& carved = items.at("IMG_0006.JPG");
  EXPECT_EQ(carved["deleted"], 1);
  EXPECT_EQ(carved["source"], "carved");
  EXPECT_EQ(carved["dateTaken"], "2021-07-06T12:00:00+00:00");
  EXPECT_EQ(carved["width"], 160);
  EXPECT_EQ(carved["fileStatus"], "file no longer on the phone");
  EXPECT_TRUE(carved["files"].empty());
  if (places) EXPECT_EQ(carved["latitude"], 43.2965);

  EXPECT_EQ(items.at("IMG_0007.JPG")["title"], "Sunset at the pier");
  EXPECT_EQ(items.at("IMG_0008.HEIC")["originalName"], "IMG_4501.HEIC");

  // The column types: the albums a list.
  for (const auto& c : photos["columns"]) {
    if (c["key"] == "albums") EXPECT_EQ(c["type"], "list");
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotosLayouts,
                         ::testing::Values(PhotosLayout::kIos9, PhotosLayout::kIos11,
                                           PhotosLayout::kIos14, PhotosLayout::kIos17,
                                           PhotosLayout::kIos18),
                         [](const auto& info) { return fixtures::PhotosLayoutName(info.param); });

std::vector<std::string> CameraRoll(const nlohmann::json& doc) {
  std::vector<std::string> paths;
  for (const auto& item : doc["categories"]["cameraRoll"]) paths.push_back(item["displayName"]);
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Without Photos.sqlite, or with one that is no database, Camera Roll lists every DCIM file as
// before; the library says why it is empty.
TEST(Photos, AMissingOrDamagedLibraryLeavesTheCameraRollList) {
  TempDir dir;
  fixtures::ScanExpectation expected;
  const fs::path backup = WriteBackup(dir, PhotosLayout::kIos17, &expected, false);
  std::vector<std::string> wanted;
  for (const std::string& path : expected.cameraRoll) wanted.push_back(fs::path(path).filename());
  std::sort(wanted.begin(), wanted.end());
  ASSERT_EQ(wanted.size(), 8u);

  const Outputs run = Cli("scan --json " + fixtures::Quote(backup), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(CameraRoll(doc), wanted) << doc["categories"]["cameraRoll"].dump(1);
  EXPECT_TRUE(doc["categories"]["photos"]["items"].empty());
  EXPECT_EQ(doc["notices"]["photos"],
            "The backup holds no Photos library (Photos.sqlite): its pictures are listed by "
            "file under Camera Roll");

  TempDir damaged;
  fixtures::BackupSpec spec;
  spec.files = {{"CameraRollDomain", "Media/PhotoData/Photos.sqlite", std::string(8192, 'x')},
                {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG",
                 fixtures::MediaBytes("jpg", 4096)}};
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(damaged / "backup", spec, &error)) << error;
  const Outputs bad = Cli("scan --json " + fixtures::Quote(damaged / "backup"), damaged);
  EXPECT_NE(bad.status, 0);
  doc = nlohmann::json::parse(bad.out);
  EXPECT_EQ(doc["errors"]["photos"],
            "Photos.sqlite could not be read: it is not a SQLite database (its header is damaged "
            "or it is enciphered)");
  EXPECT_EQ(CameraRoll(doc), (std::vector<std::string>{"IMG_0001.JPG"}));
}


size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

// The recovered library: a folder per album and per part of the library, the names the pictures
// came in with (a number on a clash), each file written once and linked into its other
// albums, dated when it was taken; a page per album and a CSV of every asset.
TEST(Photos, RecoverFilesThePicturesAsTheUserFiledThem) {
  TempDir dir;
  // One picture also in albums named like a part of the library and like the thumbnails'
  // folder: they get folders of their own.
  auto assets = fixtures::SamplePhotoAssets();
  assets[6].albums = {"Holidays", "Hidden", "thumbnails"};
  const fs::path backup = WriteBackup(dir, PhotosLayout::kIos14, nullptr, true, assets);
  const fs::path out = dir / "out";
  const Outputs run = Cli("recover " + fixtures::Quote(backup) + " --to " + fixtures::Quote(out) +
                              " --only photos",
                          dir);
  ASSERT_EQ(run.status, 0) << run.err << run.out;
  const fs::path photos = out / "Photos";
  const std::set<std::string> top = Names(photos);
  for (const char* folder : {"All Photos", "Holidays", "Family", "Favourites", "Hidden",
                             "Recently Deleted", "Deleted records", "thumbnails"}) {
    EXPECT_EQ(top.count(folder), 1u) << folder;
  }
  // The pictures are dated: their timeline comes with them.
  EXPECT_EQ(Names(out), (std::set<std::string>{"Photos", "Timeline", "index.html"}));

  EXPECT_EQ(Names(photos / "Holidays"),
            (std::set<std::string>{"IMG_4501.HEIC", "IMG_4501 (edited).jpg", "IMG_4502.HEIC",
                                   "IMG_4502.MOV", "IMG_4501.JPG", "IMG_4501(1).HEIC",
                                   "index.html"}));
  EXPECT_EQ(Names(photos / "Family"),
            (std::set<std::string>{"IMG_4501.HEIC", "IMG_4501 (edited).jpg", "IMG_4503.MOV",
                                   "index.html"}));
  EXPECT_EQ(Names(photos / "Hidden"), (std::set<std::string>{"IMG_0004.PNG", "index.html"}));
  EXPECT_EQ(Names(photos / "Hidden (2)"), (std::set<std::string>{"IMG_4501.JPG", "index.html"}));
  EXPECT_EQ(Names(photos / "thumbnails (2)"),
            (std::set<std::string>{"IMG_4501.JPG", "index.html"}));
  EXPECT_EQ(Names(photos / "Recently Deleted"),
            (std::set<std::string>{"party.jpg", "index.html"}));
  EXPECT_EQ(Names(photos / "Deleted records"), (std::set<std::string>{"index.html"}));

  // One file, several names; its time the moment it was taken (2021-07-03 12:00 UTC).
  struct stat all{}, holidays{}, family{}, favourite{};
  ASSERT_EQ(::stat((photos / "All Photos" / "IMG_4501.HEIC").c_str(), &all), 0);
  ASSERT_EQ(::stat((photos / "Holidays" / "IMG_4501.HEIC").c_str(), &holidays), 0);
  ASSERT_EQ(::stat((photos / "Family" / "IMG_4501.HEIC").c_str(), &family), 0);
  ASSERT_EQ(::stat((photos / "Favourites" / "IMG_4501.HEIC").c_str(), &favourite), 0);
  EXPECT_EQ(all.st_ino, holidays.st_ino);
  EXPECT_EQ(all.st_ino, family.st_ino);
  EXPECT_EQ(all.st_ino, favourite.st_ino);
  EXPECT_EQ(all.st_mtime, 1625313600);
  struct stat video{};
  ASSERT_EQ(::stat((photos / "Family" / "IMG_4503.MOV").c_str(), &video), 0);
  EXPECT_EQ(video.st_mtime, 1625313600 + 7200);

  // The album's page: its four pictures with their thumbnails (JPEG, also of the HEIC ones).
  const std::string page = platform::ReadFile(photos / "Holidays" / "index.html").value_or("");
  EXPECT_EQ(Count(page, "<figure class=\"tile\">"), 4u) << page;
  EXPECT_NE(page.find("src=\"../thumbnails/IMG_4501.HEIC.jpg\""), std::string::npos) << page;
  EXPECT_NE(page.find("href=\"IMG_4501.HEIC\""), std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(photos / "thumbnails" / "IMG_4501.HEIC.jpg"));
  const std::string gone =
      platform::ReadFile(photos / "Deleted records" / "index.html").value_or("");
  EXPECT_EQ(Count(gone, "<figure class=\"tile deleted\">"), 1u);
  EXPECT_NE(gone.find("file no longer on the phone"), std::string::npos);
  const std::string trash =
      platform::ReadFile(photos / "Recently Deleted" / "index.html").value_or("");
  EXPECT_NE(trash.find("2021-07-10 12:00:00"), std::string::npos) << trash;

  // The CSV of every asset with every column.
  fs::path csvPath;
  for (const auto& e : fs::directory_iterator(photos))
    if (e.path().extension() == ".csv") csvPath = e.path();
  const std::string csv = platform::ReadFile(csvPath).value_or("");
  EXPECT_EQ(Count(csv, "\r\n"), 9u) << csv;
  EXPECT_NE(csv.find("Original Name,Date Taken,Kind,Width,Height,Duration,Latitude,Longitude,"
                     "Favourite,Hidden,Albums,"),
            std::string::npos);
  EXPECT_NE(csv.find("IMG_4501.HEIC,2021-07-03T14:00:00+02:00,photo,64,48,0,48.8584,2.2945,1,0,"
                     "Holidays; Family,"),
            std::string::npos)
      << csv;
}

}  // namespace
}  // namespace halvern
