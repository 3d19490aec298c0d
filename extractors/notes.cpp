// Notes: the older notes.sqlite (ZNOTE with ZNOTEBODY, HTML bodies) and the modern
// NoteStore.sqlite (ZICCLOUDSYNCINGOBJECT with ZICNOTEDATA, gzip-compressed protobuf).
//
// Locate: HomeDomain-Library/Notes/notes.sqlite (file id
// ca3bc056d4da0bbf88b5fb3be254f3b7147e639c) and
// AppDomainGroup-group.com.apple.notes-NoteStore.sqlite
// (4f98687d8ab0d6d1a371110e6b7300f6e465bef2); the caller passes the paths. A backup of a
// phone that was upgraded may hold both; their notes go into one list.
#include <algorithm>
#include <cctype>
#include <unordered_map>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/note_crypto.h"
#include "extractors/note_document.h"
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

namespace {

// ZFOLDERTYPE of the folder that keeps deleted notes for 30 days.
constexpr int64_t kRecentlyDeletedFolderType = 1;

// A row of ZICCLOUDSYNCINGOBJECT: notes, folders, accounts, attachments and media share the
// table, each entity using its own columns (the others stay NULL on its rows).
struct CloudRow {
  bool deleted = false;
  int64_t pk = 0;  // 0 when lost
  int64_t entity = 0;
  std::string identifier;
  std::string noteTitle;    // ZTITLE1
  std::string folderTitle;  // a folder's name
  std::string title;        // ZTITLE: an attachment's title
  std::string name;         // ZNAME: an account's name
  std::string typeUti, url, fileName, indexableText, altText;
  std::string date;
  int64_t noteData = 0, folder = 0, media = 0, note = 0, parentAttachment = 0, owner = 0;
  int64_t folderType = -1;
  std::vector<int64_t> accounts;  // the row's account references, newest layout's first
  bool hasAccountType = false;    // ZACCOUNTTYPE set: an account
  bool locked = false;
  std::string mergeable;
  std::string salt, wrappedKey, iv, tag;
  int64_t iterations = 0;
};

// Text of a value that is whole valid UTF-8.
bool TextOf(const Value& v, std::string& out) {
  if (!v.IsText() || v.truncated || !IsValidUtf8(v.bytes)) return false;
  out = std::string(v.bytes);
  return true;
}
int64_t IntegerOf(const Value& v, int64_t otherwise = 0) {
  return v.IsInteger() ? v.integer : otherwise;
}
std::string BlobOf(const Value& v) {
  return (v.IsBlob() || v.IsText()) && !v.truncated ? std::string(v.bytes) : std::string();
}

// The number after a column's stem ("ZACCOUNT7" -> 7, "ZACCOUNT" -> 0); -1 when the name is not
// the stem followed by digits only.
int32_t Numbered(std::string_view column, std::string_view stem) {
  if (column.size() < stem.size() || column.substr(0, stem.size()) != stem) return -1;
  const std::string_view digits = column.substr(stem.size());
  int32_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || n > 1000) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The columns of ZICCLOUDSYNCINGOBJECT this reader uses, found in the file's own schema:
// relation columns move between versions (the note's account: ZACCOUNT2, then ZACCOUNT4, then
// ZACCOUNT7), so numbered ones are taken as families.
struct CloudColumns {
  explicit CloudColumns(const TableSchema* t) {
    pk = Column(t, "Z_PK");
    entity = Column(t, "Z_ENT");
    identifier = Column(t, "ZIDENTIFIER");
    noteTitle = Column(t, "ZTITLE1");
    title = Column(t, "ZTITLE");
    name = Column(t, "ZNAME");
    typeUti = Column(t, "ZTYPEUTI");
    url = Column(t, "ZURLSTRING");
    fileName = Column(t, "ZFILENAME");
    indexableText = Column(t, "ZADDITIONALINDEXABLETEXT");
    altText = Column(t, "ZALTTEXT");
    modified = Column(t, "ZMODIFICATIONDATE1");
    noteData = Column(t, "ZNOTEDATA");
    folder = Column(t, "ZFOLDER");
    media = Column(t, "ZMEDIA");
    note = Column(t, "ZNOTE");
    parentAttachment = Column(t, "ZPARENTATTACHMENT");
    owner = Column(t, "ZOWNER");
    folderType = Column(t, "ZFOLDERTYPE");
    accountType = Column(t, "ZACCOUNTTYPE");
    locked = Column(t, "ZISPASSWORDPROTECTED");
    salt = Column(t, "ZCRYPTOSALT");
    wrappedKey = Column(t, "ZCRYPTOWRAPPEDKEY");
    iterations = Column(t, "ZCRYPTOITERATIONCOUNT");
    iv = Column(t, "ZCRYPTOINITIALIZATIONVECTOR");
    tag = Column(t, "ZCRYPTOTAG");
    std::vector<std::pair<int32_t, int32_t>> accountFamily, titleFamily, mergeableFamily;
    for (size_t i = 0; t != nullptr && i < t->columns.size(); ++i) {
      std::string upper = t->columns[i];
      for (char& c : upper) c = char(std::toupper(uint8_t(c)));
      if (const int32_t n = Numbered(upper, "ZACCOUNT"); n >= 0) accountFamily.emplace_back(n, int32_t(i));
      // Folder names: ZTITLE2 on the versions seen; ZTITLE and ZTITLE1 are an attachment's and
      // a note's.
      if (const int32_t n = Numbered(upper, "ZTITLE"); n >= 2) titleFamily.emplace_back(n, int32_t(i));
      if (const int32_t n = Numbered(upper, "ZMERGEABLEDATA"); n >= 0) mergeableFamily.emplace_back(n, int32_t(i));
    }
    auto byNumber = [](auto& family, bool newestFirst) {
      std::sort(family.begin(), family.end());
      if (newestFirst) std::reverse(family.begin(), family.end());
      std::vector<int32_t> out;
      for (const auto& [n, i] : family) out.push_back(i);
      return out;
    };
    accounts = byNumber(accountFamily, true);
    folderTitles = byNumber(titleFamily, false);
    mergeables = byNumber(mergeableFamily, true);
  }
  int32_t pk, entity, identifier, noteTitle, title, name, typeUti, url, fileName, indexableText,
      altText, modified, noteData, folder, media, note, parentAttachment, owner, folderType,
      accountType, locked, salt, wrappedKey, iterations, iv, tag;
  std::vector<int32_t> accounts, folderTitles, mergeables;
};

CloudRow ReadCloudRow(const CloudColumns& c, const ScannedRow& row) {
  const Record& r = row.record;
  CloudRow o;
  o.deleted = row.deleted;
  o.pk = IntegerOf(At(r, c.pk), r.rowid.value_or(0));
  o.entity = IntegerOf(At(r, c.entity));
  TextOf(At(r, c.identifier), o.identifier);
  TextOf(At(r, c.noteTitle), o.noteTitle);
  for (int32_t i : c.folderTitles) {
    if (TextOf(At(r, i), o.folderTitle)) break;
  }
  TextOf(At(r, c.title), o.title);
  TextOf(At(r, c.name), o.name);
  TextOf(At(r, c.typeUti), o.typeUti);
  TextOf(At(r, c.url), o.url);
  TextOf(At(r, c.fileName), o.fileName);
  TextOf(At(r, c.indexableText), o.indexableText);
  TextOf(At(r, c.altText), o.altText);
  const Value& d = At(r, c.modified);
  if (d.IsReal()) o.date = FormatMacDouble(d.real);
  if (d.IsInteger() && d.integer != 0) o.date = FormatMacTime(d.integer);
  o.noteData = IntegerOf(At(r, c.noteData));
  o.folder = IntegerOf(At(r, c.folder));
  o.media = IntegerOf(At(r, c.media));
  o.note = IntegerOf(At(r, c.note));
  o.parentAttachment = IntegerOf(At(r, c.parentAttachment));
  o.owner = IntegerOf(At(r, c.owner));
  o.folderType = IntegerOf(At(r, c.folderType), -1);
  for (int32_t i : c.accounts) {
    if (At(r, i).IsInteger() && At(r, i).integer != 0) o.accounts.push_back(At(r, i).integer);
  }
  o.hasAccountType = At(r, c.accountType).IsInteger();
  o.locked = IntegerOf(At(r, c.locked)) != 0;
  for (int32_t i : c.mergeables) {
    o.mergeable = BlobOf(At(r, i));
    if (!o.mergeable.empty()) break;
  }
  o.salt = BlobOf(At(r, c.salt));
  o.wrappedKey = BlobOf(At(r, c.wrappedKey));
  o.iterations = IntegerOf(At(r, c.iterations));
  o.iv = BlobOf(At(r, c.iv));
  o.tag = BlobOf(At(r, c.tag));
  return o;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) c = char(std::tolower(uint8_t(c)));
  return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}
bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// What an attachment is, from the type the note gives it.
std::string KindOfType(std::string_view uti) {
  const std::string t = AsciiLower(std::string(uti));
  if (t == "com.apple.notes.table") return "table";
  if (t == "com.apple.notes.gallery") return "scan";
  if (StartsWith(t, "com.apple.drawing") || t == "com.apple.paper" ||
      t == "com.apple.notes.sketch")
    return "drawing";
  if (t == "public.url") return "link";
  if (t == "com.adobe.pdf") return "pdf";
  if (StartsWith(t, "com.apple.notes.inlinetextattachment")) return "inline";
  if (t == "public.jpeg" || t == "public.png" || t == "public.heic" || t == "public.heif" ||
      t == "public.tiff" || t == "com.compuserve.gif" || t == "public.image")
    return "picture";
  if (t == "public.audio" || t == "public.mpeg-4-audio" || t == "com.apple.m4a-audio" ||
      t == "com.apple.coreaudio-format" || t == "public.aac-audio" || t == "public.mp3" ||
      t == "com.microsoft.waveform-audio")
    return "audio";
  if (t == "public.movie" || t == "com.apple.quicktime-movie" || t == "public.mpeg-4")
    return "video";
  return "file";
}

std::string MimeOfFileName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string ext = AsciiLower(std::string(name.substr(dot + 1)));
  static constexpr std::pair<const char*, const char*> kTypes[] = {
      {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"}, {"png", "image/png"},
      {"heic", "image/heic"}, {"heif", "image/heif"}, {"gif", "image/gif"},
      {"tif", "image/tiff"},  {"tiff", "image/tiff"}, {"pdf", "application/pdf"},
      {"m4a", "audio/mp4"},   {"aac", "audio/aac"},   {"caf", "audio/x-caf"},
      {"mp3", "audio/mpeg"},  {"wav", "audio/wav"},   {"mov", "video/quicktime"},
      {"mp4", "video/mp4"},   {"m4v", "video/mp4"},   {"txt", "text/plain"},
  };
  for (const auto& [e, m] : kTypes) {
    if (ext == e) return m;
  }
  return {};
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Reads a whole note store and builds its notes.
class NoteStoreReader {
 public:
  NoteStoreReader(CSqliteFileReader& reader, const NoteStoreOptions& options)
      : reader_(reader), options_(options) {}

  void Run(std::vector<NoteItem>& out, NoteUnlockCount& count) {
    ReadCloud();
    ReadNoteData(out, count);
  }

 private:
  void ReadCloud() {
    const TableSchema* cloud = reader_.FindTable("ZICCLOUDSYNCINGOBJECT");
    if (cloud == nullptr) return;
    // The entity numbers of accounts, from Z_PRIMARYKEY (they move between versions).
    if (reader_.FindTable("Z_PRIMARYKEY") != nullptr) {
      const TableSchema* keys = reader_.FindTable("Z_PRIMARYKEY");
      const int32_t ent = Column(keys, "Z_ENT"), name = Column(keys, "Z_NAME");
      ScanTable(reader_, "Z_PRIMARYKEY", ScanOptions{.carve = false, .freelist = false},
                [&](const ScannedRow& row) {
                  std::string n;
                  if (!row.deleted && TextOf(At(row.record, name), n) && n == "ICAccount")
                    accountEntities_.push_back(IntegerOf(At(row.record, ent), -1));
                  return true;
                });
    }
    const CloudColumns columns(cloud);
    ScanTable(reader_, "ZICCLOUDSYNCINGOBJECT", ScanOptions{}, [&](const ScannedRow& row) {
      rows_.push_back(ReadCloudRow(columns, row));
      return true;
    });
    // First live, else first carved.
    for (size_t pass = 0; pass < 2; ++pass) {
      for (size_t i = 0; i < rows_.size(); ++i) {
        const CloudRow& o = rows_[i];
        if (o.deleted != (pass == 1)) continue;
        if (o.pk != 0) byPk_.try_emplace(o.pk, i);
        if (!o.identifier.empty()) byIdentifier_.try_emplace(o.identifier, i);
        if (o.noteData != 0) byNoteData_.try_emplace(o.noteData, i);
      }
    }
  }

  // Whether row i is a carved copy of a row still live (the same identifier or key): an older
  // version of a note that the store still holds.
  bool IsOlderCopyOfLiveRow(size_t i) const {
    const CloudRow& o = rows_[i];
    if (!o.deleted) return false;
    const auto live = [&](const std::unordered_map<std::string, size_t>::const_iterator it) {
      return it != byIdentifier_.end() && it->second != i && !rows_[it->second].deleted;
    };
    if (!o.identifier.empty() && live(byIdentifier_.find(o.identifier))) return true;
    if (o.pk == 0) return false;
    const auto it = byPk_.find(o.pk);
    return it != byPk_.end() && it->second != i && !rows_[it->second].deleted;
  }

  const CloudRow* ByPk(int64_t pk) const {
    const auto it = byPk_.find(pk);
    return pk == 0 || it == byPk_.end() ? nullptr : &rows_[it->second];
  }

  bool IsAccount(const CloudRow& o) const {
    if (!accountEntities_.empty()) {
      return std::find(accountEntities_.begin(), accountEntities_.end(), o.entity) !=
             accountEntities_.end();
    }
    return o.hasAccountType;
  }

  // The note's account: the first of its account references that names an account row, else
  // its folder's owner.
  const CloudRow* AccountOf(const CloudRow& note) const {
    for (int64_t ref : note.accounts) {
      if (const CloudRow* a = ByPk(ref); a != nullptr && IsAccount(*a)) return a;
    }
    if (const CloudRow* f = ByPk(note.folder)) {
      if (const CloudRow* a = ByPk(f->owner); a != nullptr && IsAccount(*a)) return a;
      for (int64_t ref : f->accounts) {
        if (const CloudRow* a = ByPk(ref); a != nullptr && IsAccount(*a)) return a;
      }
    }
    return nullptr;
  }

  // The container's file that satisfies `match`, preferring one under the account's folder.
  template <class Match>
  const NoteStoreFile* FindFile(const std::string& account, Match match) const {
    const NoteStoreFile* any = nullptr;
    const std::string prefix = "Accounts/" + account + "/";
    for (const NoteStoreFile& f : options_.files) {
      if (!match(f.relative)) continue;
      if (!account.empty() && StartsWith(f.relative, prefix)) return &f;
      if (any == nullptr) any = &f;
    }
    return any;
  }

  const NoteStoreFile* MediaFile(const std::string& account, const CloudRow& media) const {
    if (media.identifier.empty() || media.fileName.empty()) return nullptr;
    const std::string folder = "Media/" + media.identifier + "/";
    return FindFile(account, [&](const std::string& rel) {
      const size_t at = rel.find(folder);
      if (at == std::string::npos || (at != 0 && rel[at - 1] != '/')) return false;
      // The file itself, or one generation folder deeper.
      const std::string_view rest = std::string_view(rel).substr(at + folder.size());
      return rest == media.fileName ||
             (EndsWith(rest, "/" + media.fileName) &&
              rest.find('/') == rest.size() - media.fileName.size() - 1);
    });
  }

  // A rendering kept beside scans and drawings (FallbackPDFs, FallbackImages), or a preview.
  const NoteStoreFile* StandInFile(const std::string& account, const std::string& identifier,
                                   bool pdfFirst) const {
    if (identifier.empty()) return nullptr;
    auto inFolder = [&](std::string_view folder) {
      return FindFile(account, [&](const std::string& rel) {
        const std::string marker = std::string(folder) + identifier;
        const size_t at = rel.find(marker);
        return at != std::string::npos && (at == 0 || rel[at - 1] == '/') &&
               rel.find('/', at + marker.size()) == std::string::npos;
      });
    };
    const char* order[] = {pdfFirst ? "FallbackPDFs/" : "FallbackImages/",
                           pdfFirst ? "FallbackImages/" : "FallbackPDFs/", "Previews/"};
    for (const char* folder : order) {
      if (const NoteStoreFile* f = inFolder(folder)) return f;
    }
    return nullptr;
  }

  NoteAttachment MakeAttachment(const notes::AttributeRun& run, const std::string& account) const {
    NoteAttachment a;
    const auto it = byIdentifier_.find(run.attachmentId);
    const CloudRow* row = it == byIdentifier_.end() ? nullptr : &rows_[it->second];
    a.uti = row != nullptr && !row->typeUti.empty() ? row->typeUti : run.attachmentType;
    a.kind = KindOfType(a.uti);
    if (row == nullptr) return a;
    a.deleted = row->deleted;
    a.title = row->title;
    a.url = row->url;
    if (a.kind == "audio") a.transcript = row->indexableText;
    if (a.kind == "table" && !row->mergeable.empty()) {
      std::string inflated;
      if (notes::Gunzip(row->mergeable, inflated)) {
        if (auto rows = notes::ReadNoteTable(inflated)) a.rows = std::move(*rows);
      }
    }
    if (a.kind == "link") a.name = !a.title.empty() ? a.title : a.url;
    if (a.kind == "inline") a.name = !row->altText.empty() ? row->altText : a.title;
    const NoteStoreFile* file = nullptr;
    const CloudRow* media = ByPk(row->media);
    if (media != nullptr) {
      a.name = media->fileName;
      file = MediaFile(account, *media);
    }
    // A scanned document's pages are attachments of their own; the phone keeps one PDF of them
    // all, and drawings a picture of what was drawn.
    if (file == nullptr && (a.kind == "scan" || a.kind == "drawing" || media == nullptr ||
                            a.kind == "picture" || a.kind == "pdf")) {
      if (a.kind != "link" && a.kind != "table" && a.kind != "inline")
        file = StandInFile(account, row->identifier, a.kind == "scan");
    }
    if (a.name.empty()) a.name = a.title;
    // The file of an attachment of a locked note is enciphered with its own key: it is not
    // handed out as if it were the picture or document.
    const bool enciphered = row->locked || (media != nullptr && media->locked);
    if (file != nullptr && !enciphered) {
      a.path = file->path;
      if (a.name.empty()) a.name = BaseName(file->relative);
    }
    a.mime = MimeOfFileName(file != nullptr ? BaseName(file->relative) : a.name);
    return a;
  }

  // Fills the note's text, paragraphs, attachments and checklist from its protobuf.
  bool FillFromProtobuf(std::string_view protobuf, const CloudRow* owner, NoteItem& n) const {
    std::optional<notes::NoteDocument> document = notes::ReadNoteDocument(protobuf);
    if (!document || !IsValidUtf8(document->text)) return false;
    std::string account;
    if (owner != nullptr) {
      if (const CloudRow* a = AccountOf(*owner)) account = a->identifier;
    }
    n.body = document->text;
    n.attachments.clear();
    n.paragraphs = notes::Paragraphs(*document, [&](const notes::AttributeRun& run) {
      n.attachments.push_back(MakeAttachment(run, account));
      return int32_t(n.attachments.size() - 1);
    });
    n.checklist = notes::ChecklistOf(n.paragraphs);
    return true;
  }

  // The folder, account and marks a note row gives.
  void Place(const CloudRow& o, NoteItem& n) const {
    if (o.deleted) n.deleted = 1;
    n.title = o.noteTitle;
    n.date = o.date;
    n.identifier = o.identifier;
    if (const CloudRow* f = ByPk(o.folder)) {
      n.folder = f->folderTitle;
      if (f->folderType == kRecentlyDeletedFolderType) n.deleted = 1;
    }
    if (const CloudRow* a = AccountOf(o)) n.account = a->name;
    if (o.locked) {
      n.locked = 1;
      n.body = kNoteLockedText;
    }
  }

  // Opens a locked note's data with the password; nullopt when it does not open.
  std::optional<std::string> Open(const CloudRow& o, std::string_view iv, std::string_view tag,
                                  std::string_view data) const {
    if (!options_.password) return std::nullopt;
    const std::optional<std::string> key =
        notes::UnwrapNoteKey(*options_.password, o.salt, o.iterations, o.wrappedKey);
    if (!key) return std::nullopt;
    std::optional<std::string> plain =
        notes::OpenNoteData(*key, iv.empty() ? o.iv : iv, tag.empty() ? o.tag : tag, data);
    if (!plain) return std::nullopt;
    std::string inflated;
    if (!notes::Gunzip(*plain, inflated)) return std::nullopt;
    return inflated;
  }

  size_t OwnerByTitle(const std::string& title, const std::vector<bool>& used) const {
    if (title.empty()) return SIZE_MAX;
    size_t found = SIZE_MAX;
    for (size_t i = 0; i < rows_.size(); ++i) {
      const CloudRow& o = rows_[i];
      if (used[i] || o.noteData == 0 || o.locked || o.noteTitle != title) continue;
      if (o.deleted) return i;
      if (found == SIZE_MAX) found = i;
    }
    return found;
  }

  void ReadNoteData(std::vector<NoteItem>& out, NoteUnlockCount& count) {
    const TableSchema* data = reader_.FindTable("ZICNOTEDATA");
    if (data == nullptr) return;
    const int32_t pk = Column(data, "Z_PK");
    const int32_t noteColumn = Column(data, "ZNOTE");
    const int32_t dataColumn = Column(data, "ZDATA");
    const int32_t ivColumn = Column(data, "ZCRYPTOINITIALIZATIONVECTOR");
    const int32_t tagColumn = Column(data, "ZCRYPTOTAG");
    std::vector<bool> used(rows_.size(), false);
    std::vector<NoteItem> notes;
    ScanTable(reader_, "ZICNOTEDATA", ScanOptions{}, [&](const ScannedRow& row) {
      const Record& r = row.record;
      const Value& blob = At(r, dataColumn);
      if (!blob.IsBlob() || blob.truncated) return true;
      NoteItem n;
      n.deleted = row.deleted ? 1 : 0;
      n.bodyId = IntegerOf(At(r, pk), r.rowid.value_or(0));
      size_t owner = SIZE_MAX;
      if (const auto it = byPk_.find(IntegerOf(At(r, noteColumn))); it != byPk_.end())
        owner = it->second;
      if (owner == SIZE_MAX && n.bodyId != 0) {
        if (const auto it = byNoteData_.find(n.bodyId); it != byNoteData_.end()) owner = it->second;
      }
      const CloudRow* o = owner == SIZE_MAX ? nullptr : &rows_[owner];
      if (o != nullptr) Place(*o, n);
      bool filled = false;
      if (o != nullptr && o->locked) {
        if (!o->salt.empty() && !o->wrappedKey.empty()) {
          ++count.locked;
          if (options_.password) {
            const auto plain = Open(*o, BlobOf(At(r, ivColumn)), BlobOf(At(r, tagColumn)), blob.bytes);
            if (plain && FillFromProtobuf(*plain, o, n)) {
              n.opened = 1;
              ++count.opened;
            } else {
              ++count.refused;
            }
          }
        } else {
          ++count.outOfReach;
        }
        filled = true;
      } else {
        std::string inflated;
        if (!notes::Gunzip(blob.bytes, inflated)) return true;  // enciphered or damaged
        if (o == nullptr) {
          // A data row carved without its note reference: the note row whose title is the
          // text's first line and that has no data yet, a deleted one first.
          if (const auto document = notes::ReadNoteDocument(inflated)) {
            owner = OwnerByTitle(document->text.substr(0, document->text.find('\n')), used);
            if (owner != SIZE_MAX) {
              o = &rows_[owner];
              Place(*o, n);
            }
          }
        }
        filled = FillFromProtobuf(inflated, o, n);
      }
      if (!filled) return true;
      if (o != nullptr) used[owner] = true;
      if (!n.body.empty() || !n.title.empty()) notes.push_back(std::move(n));
      return true;
    });
    // Locked notes whose data row is gone and notes whose text is gone but whose title
    // survives.
    for (size_t i = 0; i < rows_.size(); ++i) {
      const CloudRow& o = rows_[i];
      if (used[i] || o.noteData == 0 || (o.noteTitle.empty() && !o.locked)) continue;
      if (IsOlderCopyOfLiveRow(i)) continue;  // the live note is listed (a note before locking)
      NoteItem n;
      Place(o, n);
      notes.push_back(std::move(n));
    }
    out.insert(out.end(), std::make_move_iterator(notes.begin()),
               std::make_move_iterator(notes.end()));
  }

  CSqliteFileReader& reader_;
  const NoteStoreOptions& options_;
  std::vector<CloudRow> rows_;
  std::vector<int64_t> accountEntities_;
  std::unordered_map<int64_t, size_t> byPk_, byNoteData_;
  std::unordered_map<std::string, size_t> byIdentifier_;
};

}  // namespace

int32_t ExtractNoteStore(const std::string& noteStorePath, std::vector<NoteItem>& out,
                         const NoteStoreOptions& options, NoteUnlockCount* unlock) {
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, noteStorePath);
  if (opened != 0) return opened;
  NoteUnlockCount count;
  NoteStoreReader(reader, options).Run(out, count);
  if (unlock != nullptr) *unlock = count;
  return 0;
}

NoteUnlockCount UnlockNotes(const std::string& noteStorePath, std::vector<NoteItem>& notes,
                            const NoteStoreOptions& options) {
  NoteUnlockCount count;
  std::vector<NoteItem> fresh;
  if (ExtractNoteStore(noteStorePath, fresh, options, &count) != 0) return count;
  for (NoteItem& n : notes) {
    if (n.locked == 0 || n.opened != 0) continue;
    for (NoteItem& f : fresh) {
      if (f.opened == 0 || f.bodyId != n.bodyId || f.deleted != n.deleted || f.title != n.title)
        continue;
      n.body = std::move(f.body);
      n.paragraphs = std::move(f.paragraphs);
      n.attachments = std::move(f.attachments);
      n.checklist = std::move(f.checklist);
      n.opened = 1;
      f.opened = 0;
      break;
    }
  }
  return count;
}


}  // namespace halvern
