// Photos: the picture library as the Photos app shows it — every picture and video with the
// date it was taken (in the zone it was taken in), the name it came in with, its kind, size,
// place, favourite and hidden marks, its albums, the trash ("Recently Deleted") and the records
// of pictures deleted for good that the database's freed pages still hold.
//
// Where: CameraRollDomain Media/PhotoData/Photos.sqlite (every plain backup). A Core Data store:
//
//   ZASSET (iOS 14 on) / ZGENERICASSET (iOS 9-13): Z_PK, ZDIRECTORY ("DCIM/100APPLE"),
//       ZFILENAME, ZDATECREATED, ZADDEDDATE, ZTRASHEDDATE (seconds since 2001), ZTRASHEDSTATE
//       (1: in Recently Deleted), ZHIDDEN, ZFAVORITE, ZKIND (0 picture, 1 video), ZKINDSUBTYPE
//       (1 panorama, 2 Live Photo, 10 screenshot, 101 slow motion, 102 time-lapse, 103 screen
//       recording), ZDURATION, ZWIDTH, ZHEIGHT, ZLATITUDE/ZLONGITUDE (-180: no place; iOS 11 on),
//       ZADDITIONALATTRIBUTES, ZUUID
//   ZADDITIONALASSETATTRIBUTES: Z_PK (= the asset's ZADDITIONALATTRIBUTES), ZASSET,
//       ZORIGINALFILENAME, ZTIMEZONEOFFSET (seconds east of UTC), ZTIMEZONENAME, ZTITLE
//   ZGENERICALBUM: Z_PK, ZTITLE, ZKIND (2: an album the user made), ZTRASHEDSTATE
//   Z_<n>ASSETS (Z_<n>ALBUMS, Z_<m>ASSETS): the albums' members, n and m being the entity
//       numbers Z_PRIMARYKEY gives the album and asset entities (they differ per version)
//
// The files: CameraRollDomain Media/<ZDIRECTORY>/<ZFILENAME>; a Live Photo's video is the .MOV
// of the same stem beside it; an edited picture's result lies at
// Media/PhotoData/Mutations/<ZDIRECTORY>/<stem>/Adjustments/FullSizeRender.jpg (.mov for a
// video, .heic on newer phones).
//
// Map: one row per asset; deleted when in Recently Deleted (with the date it was trashed) or
// carved from freed pages (its file is gone: the row says so). An older copy of an asset that
// is still in the library (the database rewrites its rows all the time) is not a second item.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "platform/platform.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

constexpr const char* kDomain = "CameraRollDomain";
constexpr const char* kDatabase = "Media/PhotoData/Photos.sqlite";
constexpr const char* kNoLongerOnPhone = "file no longer on the phone";
constexpr const char* kNotInBackup = "not in the backup";

enum Col {
  kOriginalName,
  kDateTaken,
  kKind,
  kWidth,
  kHeight,
  kDuration,
  kLatitude,
  kLongitude,
  kFavorite,
  kHidden,
  kAlbums,
  kTitle,
  kFile,
  kFolder,
  kAdded,
  kDeletedDate,
  kFileStatus,
  kAssetId,
  kColumnCount
};

std::vector<TableColumn> Columns() {
  return {
      {"originalName", "Original Name", ColumnType::kText},
      {"dateTaken", "Date Taken", ColumnType::kDate},
      {"kind", "Kind", ColumnType::kText},
      {"width", "Width", ColumnType::kNumber},
      {"height", "Height", ColumnType::kNumber},
      {"duration", "Duration", ColumnType::kDuration},
      {"latitude", "Latitude", ColumnType::kNumber},
      {"longitude", "Longitude", ColumnType::kNumber},
      {"favorite", "Favourite", ColumnType::kFlag},
      {"hidden", "Hidden", ColumnType::kFlag},
      {"albums", "Albums", ColumnType::kList},
      {"title", "Title", ColumnType::kText},
      {"file", "File", ColumnType::kFile},
      {"folder", "Folder", ColumnType::kText},
      {"addedDate", "Added", ColumnType::kDate},
      {"deletedDate", "Deleted on", ColumnType::kDate},
      {"fileStatus", "File Status", ColumnType::kText},
      {"assetId", "Asset Id", ColumnType::kNumber},
  };
}

// What the phone calls the kind of an asset.
std::string KindText(std::optional<int64_t> kind, std::optional<int64_t> subtype) {
  const int64_t sub = subtype.value_or(0);
  if (kind == 0) {
    switch (sub) {
      case 1: return "panorama";
      case 2: return "Live Photo";
      case 10: return "screenshot";
      default: return "photo";
    }
  }
  if (kind == 1) {
    switch (sub) {
      case 101: return "slow motion";
      case 102: return "time-lapse";
      case 103: return "screen recording";
      default: return "video";
    }
  }
  if (!kind) return {};
  return "kind " + std::to_string(*kind) + " subtype " + std::to_string(sub);
}

struct Attributes {
  std::optional<std::string> originalName, zoneName, title;
  std::optional<int64_t> offset;
};

struct Album {
  std::string title;
  int64_t kind = 0;
  int64_t trashed = 0;
};

std::string Stem(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}
std::string Extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

OwnedFile Owned(const std::string& relativePath, const std::filesystem::path& data) {
  const size_t slash = relativePath.rfind('/');
  const std::string name = slash == std::string::npos ? relativePath : relativePath.substr(slash + 1);
  std::error_code ec;
  const auto size = std::filesystem::file_size(data, ec);
  return {name, std::string(kDomain) + "-" + relativePath, data, MimeOfName(name),
          ec ? 0 : uint64_t(size)};
}

// The entity numbers of the store by their names (Z_PRIMARYKEY).
std::map<int64_t, std::string> ReadEntities(CSqliteFileReader& reader) {
  std::map<int64_t, std::string> entities;
  if (reader.FindTable("Z_PRIMARYKEY") == nullptr) return entities;
  ForEachRow(reader, "Z_PRIMARYKEY", [&](const RowView& r) {
    if (r.deleted()) return true;
    auto ent = r.Integer("Z_ENT");
    if (!ent) ent = r.Rowid();
    const auto name = r.Text("Z_NAME");
    if (ent && name) entities.emplace(*ent, *name);
    return true;
  });
  return entities;
}

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The albums' member table and its two columns: Z_<n>ASSETS with Z_<n>ALBUMS and Z_<m>ASSETS,
// n an album entity and m an asset entity of Z_PRIMARYKEY. Without a readable Z_PRIMARYKEY, the
// table whose name and columns have that form.
struct JoinTable {
  std::string table, albumColumn, assetColumn;
};
std::optional<JoinTable> FindJoinTable(CSqliteFileReader& reader,
                                       const std::map<int64_t, std::string>& entities) {
  for (const auto& [albumEnt, albumName] : entities) {
    if (!EndsWith(albumName, "Album")) continue;
    const std::string n = std::to_string(albumEnt);
    const TableSchema* join = reader.FindTable("Z_" + n + "ASSETS");
    if (join == nullptr || join->ColumnIndex("Z_" + n + "ALBUMS") < 0) continue;
    for (const auto& [assetEnt, assetName] : entities) {
      if (!EndsWith(assetName, "Asset")) continue;
      const std::string column = "Z_" + std::to_string(assetEnt) + "ASSETS";
      if (join->ColumnIndex(column) >= 0) return JoinTable{join->name, "Z_" + n + "ALBUMS", column};
    }
  }
  if (!entities.empty()) return std::nullopt;
  for (const TableSchema& t : reader.Tables()) {
    if (t.name.size() < 9 || t.name.compare(0, 2, "Z_") != 0 || !EndsWith(t.name, "ASSETS")) continue;
    const std::string n = t.name.substr(2, t.name.size() - 8);
    if (n.empty() || !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    if (t.ColumnIndex("Z_" + n + "ALBUMS") < 0) continue;
    for (const std::string& c : t.columns) {
      if (c != t.name && c.size() > 8 && c.compare(0, 2, "Z_") == 0 && EndsWith(c, "ASSETS") &&
          c.find("FOK") == std::string::npos) {
        return JoinTable{t.name, "Z_" + n + "ALBUMS", c};
      }
    }
  }
  return std::nullopt;
}

std::optional<int64_t> PrimaryKey(const RowView& r) {
  auto pk = r.Integer("Z_PK");
  if (!pk) pk = r.Rowid();
  return pk;
}

// The phone's picture library: everything read before the assets.
struct Library {
  std::unordered_map<int64_t, Attributes> attributesByPk, attributesByAsset;
  std::unordered_map<int64_t, Album> albums;
  // Asset Z_PK to its albums' Z_PK: from the live member rows, and from the carved ones (which
  // only a carved asset's own memberships are taken from).
  std::map<int64_t, std::set<int64_t>> members, carvedMembers;
};

Library ReadLibrary(CSqliteFileReader& reader) {
  Library lib;
  if (reader.FindTable("ZADDITIONALASSETATTRIBUTES") != nullptr) {
    ForEachRow(reader, "ZADDITIONALASSETATTRIBUTES", [&](const RowView& r) {
      Attributes a;
      a.originalName = r.Text("ZORIGINALFILENAME");
      a.zoneName = r.Text("ZTIMEZONENAME");
      a.title = r.Text("ZTITLE");
      a.offset = r.Integer("ZTIMEZONEOFFSET");
      // Live rows come first: a carved older copy never replaces them.
      if (const auto pk = PrimaryKey(r)) lib.attributesByPk.emplace(*pk, a);
      if (const auto asset = r.Integer("ZASSET")) lib.attributesByAsset.emplace(*asset, a);
      return true;
    });
  }
  if (reader.FindTable("ZGENERICALBUM") != nullptr) {
    ForEachRow(reader, "ZGENERICALBUM", [&](const RowView& r) {
      const auto pk = PrimaryKey(r);
      const auto title = r.Text("ZTITLE");
      if (pk && title) {
        lib.albums.emplace(*pk, Album{*title, r.Integer("ZKIND").value_or(0),
                                      r.Integer("ZTRASHEDSTATE").value_or(0)});
      }
      return true;
    });
  }
  if (const auto join = FindJoinTable(reader, ReadEntities(reader))) {
    ForEachRow(reader, join->table, [&](const RowView& r) {
      const auto album = r.Integer(join->albumColumn);
      const auto asset = r.Integer(join->assetColumn);
      if (album && asset) (r.deleted() ? lib.carvedMembers : lib.members)[*asset].insert(*album);
      return true;
    });
  }
  return lib;
}

// An asset's identity across the copies the database keeps of it.
std::string AssetKey(const RowView& r) {
  if (const auto uuid = r.Text("ZUUID"); uuid && !uuid->empty()) return "uuid:" + *uuid;
  return "file:" + r.Text("ZDIRECTORY").value_or("") + "/" + r.Text("ZFILENAME").value_or("");
}

CategoryOutcome ReadPhotos(const CategoryContext& context, const std::filesystem::path& db,
                           CategoryTable& out) {
  CategoryOutcome outcome;
  outcome.error = DatabaseProblem(db, "Photos.sqlite");
  if (!outcome.error.empty()) return outcome;
  CSqliteFileReader reader;
  const char* assetTable = nullptr;
  if (reader.Open(db.string()) == 0) {
    if (reader.FindTable("ZASSET") != nullptr) assetTable = "ZASSET";
    else if (reader.FindTable("ZGENERICASSET") != nullptr) assetTable = "ZGENERICASSET";
  }
  if (assetTable == nullptr) {
    outcome.error = "Photos.sqlite could not be read: it has no table of pictures";
    return outcome;
  }
  const Library lib = ReadLibrary(reader);
  const PhoneFiles& files = *context.files;

  std::set<std::string> seen;  // the assets listed (live ones first)
  const int32_t scanned = ForEachRow(reader, assetTable, [&](const RowView& r) {
    const bool live = r.origin() == ItemSource::kLive;
    const auto directory = r.Text("ZDIRECTORY");
    const auto fileName = r.Text("ZFILENAME");
    const auto created = r.Real("ZDATECREATED");
    if (!live && (!fileName || fileName->empty() || !created ||
                  !PlausibleUnixDate(*created + kMacEpochOffset))) {
      return true;  // no picture's record
    }
    if (!seen.insert(AssetKey(r)).second && !live) return true;  // an older copy of one listed
    const auto pk = PrimaryKey(r);

    TableRow row;
    row.origin = r.origin();
    row.cells.resize(kColumnCount);
    const Attributes* attrs = nullptr;
    if (const auto ref = r.Integer("ZADDITIONALATTRIBUTES")) {
      const auto it = lib.attributesByPk.find(*ref);
      if (it != lib.attributesByPk.end()) attrs = &it->second;
    }
    if (attrs == nullptr && pk) {
      const auto it = lib.attributesByAsset.find(*pk);
      if (it != lib.attributesByAsset.end()) attrs = &it->second;
    }
    if (attrs != nullptr && attrs->originalName) row.cells[kOriginalName] = Cell::Text(*attrs->originalName);
    if (attrs != nullptr && attrs->title) row.cells[kTitle] = Cell::Text(*attrs->title);
    if (created) {
      const double unix = *created + kMacEpochOffset;
      const std::string zone = attrs != nullptr ? attrs->zoneName.value_or("") : "";
      row.cells[kDateTaken] = attrs != nullptr && attrs->offset
                                  ? Cell::DateAt(unix, *attrs->offset, zone)
                                  : Cell::Date(unix, zone);
    }
    const auto kind = r.Integer("ZKIND");
    const std::string kindText = KindText(kind, r.Integer("ZKINDSUBTYPE"));
    if (!kindText.empty()) row.cells[kKind] = Cell::Text(kindText);
    if (const auto v = r.Integer("ZWIDTH")) row.cells[kWidth] = Cell::Integer(*v);
    if (const auto v = r.Integer("ZHEIGHT")) row.cells[kHeight] = Cell::Integer(*v);
    if (const auto v = r.Real("ZDURATION")) row.cells[kDuration] = Cell::Real(*v);
    const auto latitude = r.Real("ZLATITUDE");
    const auto longitude = r.Real("ZLONGITUDE");
    // -180 in either is the phone's "no place".
    if (latitude && longitude && *latitude != -180.0 && *longitude != -180.0) {
      row.cells[kLatitude] = Cell::Real(*latitude);
      row.cells[kLongitude] = Cell::Real(*longitude);
    }
    if (const auto v = r.Integer("ZFAVORITE")) row.cells[kFavorite] = Cell::Integer(*v);
    if (const auto v = r.Integer("ZHIDDEN")) row.cells[kHidden] = Cell::Integer(*v);
    if (pk) {
      std::vector<int64_t> albumKeys;
      const auto add = [&](const std::map<int64_t, std::set<int64_t>>& from) {
        const auto it = from.find(*pk);
        if (it != from.end()) albumKeys.insert(albumKeys.end(), it->second.begin(), it->second.end());
      };
      add(lib.members);
      if (!live) add(lib.carvedMembers);
      std::sort(albumKeys.begin(), albumKeys.end());
      albumKeys.erase(std::unique(albumKeys.begin(), albumKeys.end()), albumKeys.end());
      std::vector<std::string> titles;
      for (const int64_t key : albumKeys) {
        const auto it = lib.albums.find(key);
        if (it != lib.albums.end() && it->second.kind == 2 && it->second.trashed != 1)
          titles.push_back(it->second.title);
      }
      row.cells[kAlbums] = Cell::List(std::move(titles));
      row.cells[kAssetId] = Cell::Integer(*pk);
    }
    if (fileName) row.cells[kFile] = Cell::Text(*fileName);
    if (directory) row.cells[kFolder] = Cell::Text(*directory);
    if (const auto v = r.Real("ZADDEDDATE")) row.cells[kAdded] = Cell::Date(*v + kMacEpochOffset);
    const bool trashed = r.Integer("ZTRASHEDSTATE").value_or(0) == 1;
    if (const auto v = r.Real("ZTRASHEDDATE"); v && (trashed || !live))
      row.cells[kDeletedDate] = Cell::Date(*v + kMacEpochOffset);
    row.deleted = trashed || !live ? 1 : 0;

    // The files: the picture or video, a Live Photo's video, an edit's result.
    if (directory && fileName && !fileName->empty()) {
      const std::string folder = "Media/" + *directory + "/";
      const std::string main = folder + *fileName;
      if (const auto data = files.Find(kDomain, main); !data.empty())
        row.files.push_back(Owned(main, data));
      // Looked up by name, never by listing the folder: a library holds tens of thousands.
      if (kind == 0 && platform::AsciiLower(Extension(*fileName)) != ".mov") {
        for (const char* ext : {".MOV", ".mov"}) {
          const std::string video = folder + Stem(*fileName) + ext;
          if (const auto data = files.Find(kDomain, video); !data.empty()) {
            row.files.push_back(Owned(video, data));
            break;
          }
        }
      }
      // An edit, unless the row says there is none (a carved row may not say).
      if (r.Integer("ZHASADJUSTMENTS").value_or(1) != 0) {
        const std::string edits = "Media/PhotoData/Mutations/" + *directory + "/" +
                                  Stem(*fileName) + "/Adjustments/FullSizeRender";
        for (const char* ext : {".jpg", ".JPG", ".heic", ".HEIC", ".mov", ".MOV"}) {
          if (const auto data = files.Find(kDomain, edits + ext); !data.empty())
            row.files.push_back(Owned(edits + ext, data));
        }
      }
      // A record carved from freed pages is of a picture deleted for good; a library's picture
      // without its file was left out of the backup (an original kept only in iCloud).
      if (row.files.empty() || row.files.front().phonePath != std::string(kDomain) + "-" + main)
        row.cells[kFileStatus] = Cell::Text(live ? kNotInBackup : kNoLongerOnPhone);
    }
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) outcome.result = kStopped;
  return outcome;
}

CategoryOutcome ExtractPhotos(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  const std::filesystem::path db = context.files->Find(kDomain, kDatabase);
  if (db.empty()) {
    outcome.notice =
        "The backup holds no Photos library (Photos.sqlite): its pictures are listed by file "
        "under Camera Roll";
    return outcome;
  }
  outcome = ReadPhotos(context, db, out);
  // The library's order: by the date taken, records without one last.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    const bool ad = !a.cells[kDateTaken].IsNull(), bd = !b.cells[kDateTaken].IsNull();
    if (ad != bd) return ad;
    return a.cells[kDateTaken].Number() < b.cells[kDateTaken].Number();
  });
  return outcome;
}

bool Flag(const TableRow& row, int column) {
  const Cell& c = row.cells[size_t(column)];
  return c.kind == Cell::Kind::kInteger && c.integer != 0;
}
bool Trashed(const TableRow& row) { return row.origin == ItemSource::kLive && row.deleted != 0; }

std::vector<CategoryView> PhotoViews(const CategoryTable& table) {
  CategoryView all{"all", "All Photos", {}}, favorites{"favorites", "Favourites", {}},
      hidden{"hidden", "Hidden", {}}, trash{"recentlyDeleted", "Recently Deleted", {}},
      records{"deletedRecords", "Deleted records", {}};
  std::map<std::string, std::vector<size_t>> albums;
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const TableRow& row = table.rows[i];
    if (row.cells.size() != kColumnCount) continue;
    if (row.origin != ItemSource::kLive) {
      records.rows.push_back(i);
    } else if (Trashed(row)) {
      trash.rows.push_back(i);
    } else if (Flag(row, kHidden)) {
      hidden.rows.push_back(i);
    } else {
      all.rows.push_back(i);
      if (Flag(row, kFavorite)) favorites.rows.push_back(i);
      for (const std::string& album : row.cells[kAlbums].items) albums[album].push_back(i);
    }
  }
  std::vector<CategoryView> views = {std::move(all)};
  for (auto& [title, rows] : albums) views.push_back({"", title, std::move(rows)});
  views.push_back(std::move(favorites));
  views.push_back(std::move(hidden));
  views.push_back(std::move(trash));
  views.push_back(std::move(records));
  return views;
}

// A picture keeps the name it came in with; a Live Photo's video and an edit take its stem.
std::vector<FileFiling> PhotoFiling(const CategoryTable&, const TableRow& row) {
  std::vector<FileFiling> out;
  if (row.cells.size() != kColumnCount) return out;
  const Cell& original = row.cells[kOriginalName];
  const Cell& taken = row.cells[kDateTaken];
  const double modified =
      taken.kind == Cell::Kind::kDate ? taken.real : std::numeric_limits<double>::quiet_NaN();
  const std::string mainName = row.cells[kFile].kind == Cell::Kind::kText ? row.cells[kFile].text : "";
  for (const OwnedFile& f : row.files) {
    FileFiling filing;
    filing.modified = modified;
    if (original.kind == Cell::Kind::kText && !original.text.empty()) {
      const std::string stem = Stem(original.text);
      if (f.phonePath.find("/PhotoData/Mutations/") != std::string::npos) {
        filing.name = stem + " (edited)" + Extension(f.name);
      } else if (f.name == mainName) {
        filing.name = original.text;
      } else {
        filing.name = stem + Extension(f.name);
      }
    }
    out.push_back(std::move(filing));
  }
  return out;
}

}  // namespace

extern const TableCategory kPhotosCategory = {
    "photos", "Photos", TreeGroup::kPhotosAndVideos,
    "CameraRollDomain Media/PhotoData/Photos.sqlite; the files under Media/DCIM and "
    "Media/PhotoData/Mutations",
    &ExtractPhotos,
    // The page of the whole library: month by month of the date taken.
    {"dateTaken", SectionBy::kMonth},
    {},
    &PhotoViews,
    &PhotoFiling,
    "originalName,title,dateTaken,kind,duration,latitude,longitude,albums,deletedDate,fileStatus"};

}  // namespace halvern
