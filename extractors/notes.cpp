// Notes: the older notes.sqlite (ZNOTE with ZNOTEBODY, HTML bodies) and the modern
// NoteStore.sqlite (ZICCLOUDSYNCINGOBJECT with ZICNOTEDATA, gzip-compressed protobuf).
//
// Locate: HomeDomain-Library/Notes/notes.sqlite (file id
// ca3bc056d4da0bbf88b5fb3be254f3b7147e639c) and
// AppDomainGroup-group.com.apple.notes-NoteStore.sqlite
// (4f98687d8ab0d6d1a371110e6b7300f6e465bef2); the caller passes the paths. A backup of a
// phone that was upgraded may hold both; their notes go into one list.
#include <zlib.h>

#include <algorithm>
#include <unordered_map>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/protobuf_wire.h"
#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

// Every occurrence of `from` replaced by `to`, scanning on after each replacement.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    size_t at = text.find(from, pos);
    if (at == std::string::npos) break;
    out.append(text, pos, at - pos);
    out.append(to);
    pos = at + from.size();
  }
  out.append(text, pos, std::string::npos);
  text = std::move(out);
}

// The note store's text protobuf is gzip-compressed; an inflated size above this is refused.
constexpr size_t kMaxNoteBytes = 64u << 20;

bool Gunzip(std::string_view in, std::string& out) {
  out.clear();
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 32) != Z_OK) return false;  // 32: gzip or zlib header
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = uInt(std::min<size_t>(in.size(), UINT32_MAX));
  char buffer[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(buffer);
    zs.avail_out = sizeof buffer;
    rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(buffer, sizeof buffer - zs.avail_out);
    if (out.size() > kMaxNoteBytes) rc = Z_MEM_ERROR;
    if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) rc = Z_BUF_ERROR;  // cut short
  }
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

struct CloudNote {
  bool deleted = false;
  int64_t rowId = 0;     // Z_PK; 0 when lost
  int64_t noteData = 0;  // ZNOTEDATA; 0 when absent
  int64_t folder = 0;    // ZFOLDER; 0 when absent
  bool locked = false;   // ZISPASSWORDPROTECTED
  std::string title;
  std::string date;
  bool used = false;
};

// A folder of the note store (a row of ZICCLOUDSYNCINGOBJECT with a ZTITLE2).
struct CloudFolder {
  std::string name;
  bool recentlyDeleted = false;  // ZFOLDERTYPE 1
};

// ZFOLDERTYPE of the folder that keeps deleted notes for 30 days.
constexpr int64_t kRecentlyDeletedFolderType = 1;

int32_t Column(const TableSchema* table, std::string_view name) {
  return table ? table->ColumnIndex(name) : -1;
}

const Value& At(const Record& r, int32_t i) {
  static const Value kNone{};
  return i < 0 ? kNone : r[size_t(i)];
}

}  // namespace

std::string NoteBodyToText(std::string_view html) {
  std::string text(html);
  static constexpr std::pair<std::string_view, std::string_view> kReplacements[] = {
      {"&#39;", "'"}, {"&quot;", "\""}, {"&lt;", "<"},  {"&gt;", ">"},  {"&nbsp;", " "},
      {"&amp;", "&"}, {"<div>", "\n"},  {"</div>", ""}, {"<br>", "\n"},
  };
  for (const auto& [from, to] : kReplacements) ReplaceAll(text, from, to);
  return text;
}

int32_t ExtractNotes(const std::string& notesPath, std::vector<NoteItem>& out) {
  // Read.
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, notesPath);
  if (opened != 0) return opened;
  std::vector<NoteRow> bodies;
  std::vector<NoteRow> notes;
  DecodeNoteBodies(reader, bodies);
  DecodeNotes(reader, notes);
  // The folders: each account's store (ZSTORE.ZNAME, e.g. "Notes" or a mail account's name).
  std::unordered_map<int64_t, std::string> stores;
  if (const TableSchema* store = reader.FindTable("ZSTORE")) {
    const int32_t pk = Column(store, "Z_PK");
    const int32_t name = Column(store, "ZNAME");
    ScanTable(reader, "ZSTORE", ScanOptions{.carve = false, .freelist = false, .wal = false},
              [&](const ScannedRow& row) {
                if (row.deleted) return true;
                const Record& r = row.record;
                int64_t id = r.rowid.value_or(0);
                if (At(r, pk).IsInteger()) id = At(r, pk).integer;
                const Value& n = At(r, name);
                if (id != 0 && n.IsText() && !n.truncated && IsValidUtf8(n.bytes)) {
                  stores.try_emplace(id, std::string(n.bytes));
                }
                return true;
              });
  }

  // Map: each body takes the title and date of the first note that points to it; notes left
  // over follow, when they have a title.
  std::vector<bool> paired(notes.size(), false);
  std::unordered_multimap<int64_t, size_t> notesByBody;
  for (size_t i = 0; i < notes.size(); ++i) notesByBody.emplace(notes[i].bodyId, i);
  std::vector<NoteItem> result;
  result.reserve(bodies.size() + notes.size());
  for (NoteRow& body : bodies) {
    size_t best = SIZE_MAX;
    auto [first, last] = notesByBody.equal_range(body.bodyId);
    for (auto it = first; it != last; ++it) {
      if (!paired[it->second]) best = std::min(best, it->second);
    }
    if (best != SIZE_MAX) {
      paired[best] = true;
      body.title = notes[best].title;
      body.date = notes[best].date;
      body.folderId = notes[best].folderId;
      body.deletedFlag = notes[best].deletedFlag;  // deleted on the phone, not yet synced
    }
    result.push_back(std::move(body));
  }
  for (size_t i = 0; i < notes.size(); ++i) {
    if (!paired[i]) result.push_back(std::move(notes[i]));
  }
  for (NoteItem& n : result) {
    if (n.body.empty() && n.title.empty()) continue;
    if (n.deletedFlag) n.deleted = 1;
    n.body = NoteBodyToText(n.body);
    n.title = NoteBodyToText(n.title);
    if (const auto f = stores.find(n.folderId); n.folderId != 0 && f != stores.end()) {
      n.folder = f->second;
    }
    out.push_back(std::move(n));
  }
  return 0;
}

int32_t ExtractNoteStore(const std::string& noteStorePath, std::vector<NoteItem>& out) {
  // Read.
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, noteStorePath);
  if (opened != 0) return opened;
  const TableSchema* cloud = reader.FindTable("ZICCLOUDSYNCINGOBJECT");
  const TableSchema* data = reader.FindTable("ZICNOTEDATA");
  if (data == nullptr) return 0;

  std::vector<CloudNote> objects;
  std::unordered_map<int64_t, CloudFolder> folders;  // by row
  if (cloud != nullptr) {
    const int32_t pk = Column(cloud, "Z_PK");
    const int32_t title = Column(cloud, "ZTITLE1");
    const int32_t modified = Column(cloud, "ZMODIFICATIONDATE1");
    const int32_t noteData = Column(cloud, "ZNOTEDATA");
    const int32_t folder = Column(cloud, "ZFOLDER");
    const int32_t locked = Column(cloud, "ZISPASSWORDPROTECTED");
    const int32_t folderName = Column(cloud, "ZTITLE2");
    const int32_t folderType = Column(cloud, "ZFOLDERTYPE");
    ScanTable(reader, "ZICCLOUDSYNCINGOBJECT", ScanOptions{}, [&](const ScannedRow& row) {
      const Record& r = row.record;
      CloudNote o;
      o.deleted = row.deleted;
      o.rowId = r.rowid.value_or(0);
      if (At(r, pk).IsInteger()) o.rowId = At(r, pk).integer;
      // A folder: its name, and whether it is the Recently Deleted one. Live folders only: a
      // carved folder row may be an older state of a folder renamed since.
      const Value& fn = At(r, folderName);
      if (!row.deleted && o.rowId != 0 && fn.IsText() && !fn.truncated && IsValidUtf8(fn.bytes)) {
        CloudFolder f;
        f.name = std::string(fn.bytes);
        f.recentlyDeleted =
            At(r, folderType).IsInteger() && At(r, folderType).integer == kRecentlyDeletedFolderType;
        folders.try_emplace(o.rowId, std::move(f));
      }
      if (At(r, noteData).IsInteger()) o.noteData = At(r, noteData).integer;
      if (At(r, folder).IsInteger()) o.folder = At(r, folder).integer;
      o.locked = At(r, locked).IsInteger() && At(r, locked).integer != 0;
      const Value& t = At(r, title);
      if (t.IsText() && !t.truncated && IsValidUtf8(t.bytes)) o.title = std::string(t.bytes);
      const Value& d = At(r, modified);
      if (d.IsReal()) o.date = FormatMacDouble(d.real);
      if (d.IsInteger() && d.integer != 0) o.date = FormatMacTime(d.integer);
      // Folders, accounts and attachments share the table; a note has note data or a title.
      if (o.noteData != 0 || !o.title.empty()) objects.push_back(std::move(o));
      return true;
    });
  }
  std::unordered_map<int64_t, size_t> byRowId, byNoteData;  // first live, else first carved
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].rowId != 0) byRowId.try_emplace(objects[i].rowId, i);
    if (objects[i].noteData != 0) byNoteData.try_emplace(objects[i].noteData, i);
  }

  // The folder of a note and the marks it gives: a note in Recently Deleted is a deleted one.
  auto place = [&](const CloudNote& o, NoteItem& n) {
    if (o.deleted) n.deleted = 1;
    if (auto f = folders.find(o.folder); o.folder != 0 && f != folders.end()) {
      n.folder = f->second.name;
      if (f->second.recentlyDeleted) n.deleted = 1;
    }
    if (o.locked) {
      n.locked = 1;
      n.body = kNoteLockedText;
    }
  };

  const int32_t pk = Column(data, "Z_PK");
  const int32_t noteColumn = Column(data, "ZNOTE");
  const int32_t dataColumn = Column(data, "ZDATA");
  std::vector<NoteItem> notes;
  ScanTable(reader, "ZICNOTEDATA", ScanOptions{}, [&](const ScannedRow& row) {
    const Record& r = row.record;
    const Value& blob = At(r, dataColumn);
    if (!blob.IsBlob() || blob.truncated) return true;
    std::string inflated;
    if (!Gunzip(blob.bytes, inflated)) return true;  // encrypted or damaged
    std::optional<std::string_view> text = protobuf::FindPath(inflated, {2, 3, 2});
    if (!text || !IsValidUtf8(*text)) return true;
    NoteItem n;
    n.deleted = row.deleted ? 1 : 0;
    n.bodyId = r.rowid.value_or(0);
    if (At(r, pk).IsInteger()) n.bodyId = At(r, pk).integer;
    n.body = std::string(*text);
    size_t owner = SIZE_MAX;
    if (At(r, noteColumn).IsInteger()) {
      if (auto it = byRowId.find(At(r, noteColumn).integer); it != byRowId.end())
        owner = it->second;
    }
    if (owner == SIZE_MAX && n.bodyId != 0) {
      if (auto it = byNoteData.find(n.bodyId); it != byNoteData.end()) owner = it->second;
    }
    if (owner != SIZE_MAX) {
      CloudNote& o = objects[owner];
      o.used = true;
      n.title = o.title;
      n.date = o.date;
      place(o, n);
    }
    if (!n.body.empty() || !n.title.empty()) notes.push_back(std::move(n));
    return true;
  });
  // Locked notes (their text is enciphered) and notes whose text is gone but whose title
  // survives.
  for (const CloudNote& o : objects) {
    if (o.used || o.noteData == 0 || (o.title.empty() && !o.locked)) continue;
    NoteItem n;
    n.title = o.title;
    n.date = o.date;
    place(o, n);
    notes.push_back(std::move(n));
  }
  out.insert(out.end(), std::make_move_iterator(notes.begin()),
             std::make_move_iterator(notes.end()));
  return 0;
}

}  // namespace halvern
