// Note documents and tables of NoteStore.sqlite (see note_document.h).
#include "extractors/note_document.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <set>

#include "extractors/protobuf_wire.h"

namespace halvern::notes {
namespace {

using protobuf::Field;
using protobuf::ForEachField;

constexpr int32_t kChecklistStyle = 103;
constexpr size_t kMaxInflated = 64u << 20;
constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";  // U+FFFC

// The data of the document wrapper: field 2 (version) -> field 3 (data).
std::optional<std::string_view> Unwrapped(std::string_view document) {
  return protobuf::FindPath(document, {2, 3});
}

void ReadParagraphStyle(std::string_view style, AttributeRun& run) {
  ForEachField(style, [&](const Field& f) {
    if (f.number == 1 && f.wireType == 0) run.style = int32_t(f.varint);
    if (f.number == 4 && f.wireType == 0) run.indent = int32_t(f.varint);
    if (f.number == 5 && f.wireType == 2) {
      run.checklistItem = true;
      ForEachField(f.bytes, [&](const Field& g) {
        if (g.number == 2 && g.wireType == 0) run.done = g.varint != 0;
        return true;
      });
    }
    return true;
  });
}

AttributeRun ReadRun(std::string_view bytes) {
  AttributeRun run;
  ForEachField(bytes, [&](const Field& f) {
    if (f.number == 1 && f.wireType == 0) run.length = uint32_t(std::min<uint64_t>(f.varint, UINT32_MAX));
    if (f.number == 2 && f.wireType == 2) ReadParagraphStyle(f.bytes, run);
    if (f.number == 9 && f.wireType == 2) run.link = std::string(f.bytes);
    if (f.number == 12 && f.wireType == 2) {
      ForEachField(f.bytes, [&](const Field& g) {
        if (g.number == 1 && g.wireType == 2) run.attachmentId = std::string(g.bytes);
        if (g.number == 2 && g.wireType == 2) run.attachmentType = std::string(g.bytes);
        return true;
      });
    }
    return true;
  });
  return run;
}

// The length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// ----- Tables -------------------------------------------------------------------------------

// A value of the object graph: a reference to an object, an integer or a text.
struct ObjectId {
  std::optional<uint64_t> object;
  std::optional<uint64_t> integer;
  std::optional<std::string_view> text;
};

ObjectId ReadObjectId(std::string_view bytes) {
  ObjectId id;
  ForEachField(bytes, [&](const Field& f) {
    if (f.number == 2 && f.wireType == 0) id.integer = f.varint;
    if (f.number == 4 && f.wireType == 2) id.text = f.bytes;
    if (f.number == 6 && f.wireType == 0) id.object = f.varint;
    return true;
  });
  return id;
}

class ObjectGraph {
 public:
  explicit ObjectGraph(std::string_view data) {
    ForEachField(data, [&](const Field& f) {
      if (f.wireType != 2) return true;
      if (f.number == 3) objects_.push_back(f.bytes);
      if (f.number == 4) keys_.push_back(f.bytes);
      if (f.number == 5) types_.push_back(f.bytes);
      if (f.number == 6) uuids_.push_back(f.bytes);
      return true;
    });
  }

  size_t size() const { return objects_.size(); }

  // The payload of the object's own kind (its field `kind`), if the object is of that kind.
  std::optional<std::string_view> Kind(uint64_t index, uint32_t kind) const {
    if (index >= objects_.size()) return std::nullopt;
    return protobuf::FindBytes(objects_[size_t(index)], kind);
  }

  // The entries of a custom object by key name.
  std::map<std::string, ObjectId, std::less<>> Entries(uint64_t index) const {
    std::map<std::string, ObjectId, std::less<>> out;
    const auto custom = Kind(index, 13);
    if (!custom) return out;
    ForEachField(*custom, [&](const Field& f) {
      if (f.number != 3 || f.wireType != 2) return true;
      std::optional<uint64_t> key;
      ObjectId value;
      ForEachField(f.bytes, [&](const Field& g) {
        if (g.number == 1 && g.wireType == 0) key = g.varint;
        if (g.number == 2 && g.wireType == 2) value = ReadObjectId(g.bytes);
        return true;
      });
      if (key && *key < keys_.size()) out.emplace(std::string(keys_[size_t(*key)]), value);
      return true;
    });
    return out;
  }

  // The UUID an id stands for: a custom object holding "UUIDIndex" into the UUID list.
  std::optional<std::string_view> Uuid(const ObjectId& id) const {
    if (!id.object) return std::nullopt;
    const auto entries = Entries(*id.object);
    const auto at = entries.find("UUIDIndex");
    if (at == entries.end() || !at->second.integer || *at->second.integer >= uuids_.size())
      return std::nullopt;
    return uuids_[size_t(*at->second.integer)];
  }

  // The elements of a dictionary object: key id, value id.
  std::vector<std::pair<ObjectId, ObjectId>> Dictionary(std::string_view dictionary) const {
    std::vector<std::pair<ObjectId, ObjectId>> out;
    ForEachField(dictionary, [&](const Field& f) {
      if (f.number != 1 || f.wireType != 2) return true;
      ObjectId key, value;
      ForEachField(f.bytes, [&](const Field& g) {
        if (g.number == 1 && g.wireType == 2) key = ReadObjectId(g.bytes);
        if (g.number == 2 && g.wireType == 2) value = ReadObjectId(g.bytes);
        return true;
      });
      out.emplace_back(key, value);
      return true;
    });
    return out;
  }

  // The UUIDs of an ordered set in their order: the array's positions that are still elements
  // of the set, each mapped through the array's contents; a UUID met twice counts once.
  std::vector<std::string> OrderedUuids(const ObjectId& id) const {
    std::vector<std::string> out;
    if (!id.object) return out;
    const auto set = Kind(*id.object, 16);
    if (!set) return out;
    const auto ordering = protobuf::FindBytes(*set, 1);
    const auto elements = protobuf::FindBytes(*set, 2);
    if (!ordering) return out;
    std::set<std::string, std::less<>> live;
    if (elements) {
      for (const auto& [k, v] : Dictionary(*elements))
        if (const auto u = Uuid(k)) live.emplace(*u);
    }
    std::map<std::string, std::string, std::less<>> contents;
    if (const auto c = protobuf::FindBytes(*ordering, 2)) {
      for (const auto& [k, v] : Dictionary(*c)) {
        const auto ku = Uuid(k);
        const auto vu = Uuid(v);
        if (ku && vu) contents.emplace(std::string(*ku), std::string(*vu));
      }
    }
    std::set<std::string, std::less<>> seen;
    if (const auto array = protobuf::FindBytes(*ordering, 1)) {
      ForEachField(*array, [&](const Field& f) {
        if (f.number != 2 || f.wireType != 2) return true;
        const auto uuid = protobuf::FindBytes(f.bytes, 2);
        if (!uuid || (elements && !live.count(*uuid))) return true;
        const auto mapped = contents.find(*uuid);
        if (mapped == contents.end()) return true;
        if (seen.insert(mapped->second).second) out.push_back(mapped->second);
        return true;
      });
    }
    return out;
  }

  // The text of a string object.
  std::optional<std::string> Text(const ObjectId& id) const {
    if (!id.object) return std::nullopt;
    const auto string = Kind(*id.object, 10);
    if (!string) return std::nullopt;
    const auto text = protobuf::FindBytes(*string, 2);
    return text ? std::string(*text) : std::string();
  }

 private:
  std::vector<std::string_view> objects_, keys_, types_, uuids_;
};

}  // namespace

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
    if (out.size() > kMaxInflated) rc = Z_MEM_ERROR;
    if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) rc = Z_BUF_ERROR;  // cut short
  }
  inflateEnd(&zs);
  return rc == Z_STREAM_END;
}

std::optional<NoteDocument> ReadNoteDocument(std::string_view protobuf) {
  const auto data = Unwrapped(protobuf);
  if (!data) return std::nullopt;
  NoteDocument document;
  bool hasText = false;
  ForEachField(*data, [&](const Field& f) {
    if (f.wireType != 2) return true;
    if (f.number == 2 && !hasText) {
      document.text = std::string(f.bytes);
      hasText = true;
    }
    if (f.number == 5) document.runs.push_back(ReadRun(f.bytes));
    return true;
  });
  if (!hasText) return std::nullopt;
  return document;
}

std::vector<NoteParagraph> Paragraphs(
    const NoteDocument& document,
    const std::function<int32_t(const AttributeRun&)>& attachmentOf) {
  std::vector<NoteParagraph> out;
  NoteParagraph current;
  bool styled = false;  // the current paragraph took its style from a run
  const std::string_view text = document.text;
  static const AttributeRun kPlain;
  size_t runIndex = 0;
  uint64_t runLeft = document.runs.empty() ? 0 : document.runs[0].length;
  auto addText = [&](std::string_view bytes, const AttributeRun& run) {
    if (!current.pieces.empty() && current.pieces.back().attachment < 0 &&
        current.pieces.back().link == run.link) {
      current.pieces.back().text.append(bytes);
    } else {
      current.pieces.push_back(NotePiece{std::string(bytes), -1, run.link});
    }
  };
  for (size_t at = 0; at < text.size();) {
    // The run of this character: runs of length 0 are passed over.
    while (runIndex < document.runs.size() && runLeft == 0) {
      ++runIndex;
      if (runIndex < document.runs.size()) runLeft = document.runs[runIndex].length;
    }
    const AttributeRun& run = runIndex < document.runs.size() ? document.runs[runIndex] : kPlain;
    const size_t length = std::min(SequenceLength(uint8_t(text[at])), text.size() - at);
    const std::string_view character = text.substr(at, length);
    const uint32_t units = length == 4 ? 2 : 1;
    runLeft = runLeft > units ? runLeft - units : 0;
    at += length;
    if (!styled) {
      current.style = run.style;
      current.indent = run.indent;
      current.done = run.checklistItem && run.done;
      if (run.checklistItem && current.style < 0) current.style = kChecklistStyle;
      styled = true;
    }
    if (character == "\n") {
      out.push_back(std::move(current));
      current = NoteParagraph{};
      styled = false;
      continue;
    }
    if (character == kObjectReplacement && !run.attachmentId.empty()) {
      current.pieces.push_back(NotePiece{std::string(), attachmentOf(run), {}});
      continue;
    }
    addText(character, run);
  }
  if (styled) out.push_back(std::move(current));
  return out;
}

std::vector<NoteChecklistItem> ChecklistOf(const std::vector<NoteParagraph>& paragraphs) {
  std::vector<NoteChecklistItem> out;
  for (const NoteParagraph& p : paragraphs) {
    if (p.style != kChecklistStyle) continue;
    NoteChecklistItem item;
    item.done = p.done;
    for (const NotePiece& piece : p.pieces) item.text += piece.text;
    out.push_back(std::move(item));
  }
  return out;
}

std::optional<std::vector<std::vector<std::string>>> ReadNoteTable(std::string_view protobuf) {
  const auto data = Unwrapped(protobuf);
  if (!data) return std::nullopt;
  const ObjectGraph graph(*data);
  if (graph.size() == 0) return std::nullopt;
  const auto root = graph.Entries(0);
  const auto rowsAt = root.find("crRows");
  const auto columnsAt = root.find("crColumns");
  const auto cellsAt = root.find("cellColumns");
  if (rowsAt == root.end() || columnsAt == root.end() || cellsAt == root.end())
    return std::nullopt;
  const std::vector<std::string> rows = graph.OrderedUuids(rowsAt->second);
  const std::vector<std::string> columns = graph.OrderedUuids(columnsAt->second);
  // Column UUID -> (row UUID -> cell text).
  std::map<std::string, std::map<std::string, std::string>, std::less<>> cells;
  if (cellsAt->second.object) {
    if (const auto dictionary = graph.Kind(*cellsAt->second.object, 6)) {
      for (const auto& [columnId, rowsId] : graph.Dictionary(*dictionary)) {
        const auto column = graph.Uuid(columnId);
        if (!column || !rowsId.object) continue;
        const auto byRow = graph.Kind(*rowsId.object, 6);
        if (!byRow) continue;
        auto& into = cells[std::string(*column)];
        for (const auto& [rowId, cellId] : graph.Dictionary(*byRow)) {
          const auto row = graph.Uuid(rowId);
          const auto text = graph.Text(cellId);
          if (row && text) into.emplace(std::string(*row), *text);
        }
      }
    }
  }
  std::vector<std::vector<std::string>> out;
  for (const std::string& row : rows) {
    std::vector<std::string> line;
    for (const std::string& column : columns) {
      const auto c = cells.find(column);
      std::string text;
      if (c != cells.end()) {
        if (const auto cell = c->second.find(row); cell != c->second.end()) text = cell->second;
      }
      line.push_back(std::move(text));
    }
    out.push_back(std::move(line));
  }
  return out;
}

}  // namespace halvern::notes
