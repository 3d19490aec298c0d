// JSON and text output of scan results.
#include "cli/scan_output.h"

#include <algorithm>
#include <charconv>
#include <type_traits>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "backup/media_scan.h"
#include "platform/platform.h"

namespace halvern::cli {

using nlohmann::json;

namespace {

json Attachments(const std::vector<MessageAttachment>& attachments) {
  json out = json::array();
  for (const MessageAttachment& a : attachments)
    out.push_back({{"name", a.name}, {"path", a.path}, {"mime", a.mime}});
  return out;
}

// The backups an item came from, written only when several backups were read as one.
template <class T>
json WithBackups(json item, const T& source) {
  if (!source.backups.empty()) item["backups"] = source.backups;
  return item;
}

json Labeled(const std::vector<LabeledValue>& values) {
  json out = json::array();
  for (const LabeledValue& v : values) out.push_back({{"label", v.label}, {"value", v.value}});
  return out;
}

json Item(const ContactItem& c) {
  return WithBackups(json{{"deleted", c.deleted}, {"email", c.email},   {"address", c.address},
          {"social", c.social},   {"url", c.url},       {"phones", c.phones},
          {"company", c.company}, {"name", c.name},     {"numbers", Labeled(c.numbers)},
          {"emails", Labeled(c.emails)}, {"addresses", Labeled(c.addresses)}}, c);
}
json Item(const CallItem& c) {
  return WithBackups(json{{"deleted", c.deleted}, {"incoming", c.incoming}, {"duration", c.duration},
                          {"date", c.date},       {"phone", c.phone},       {"name", c.name},
                          {"type", c.type},       {"outcome", c.outcome},   {"uniqueId", c.uniqueId}},
                     c);
}
// A note's attachments in text order: the file's name, its path in the backup and its type,
// what it is, and what a link, a recording or a table holds beside.
json NoteAttachments(const std::vector<NoteAttachment>& attachments) {
  json out = json::array();
  for (const NoteAttachment& a : attachments) {
    json item = {{"name", a.name}, {"path", a.path}, {"mime", a.mime},
                 {"kind", a.kind}, {"type", a.uti},  {"deleted", a.deleted ? 1 : 0}};
    if (!a.title.empty()) item["title"] = a.title;
    if (!a.url.empty()) item["url"] = a.url;
    if (!a.transcript.empty()) item["transcript"] = a.transcript;
    if (a.kind == "table") item["rows"] = a.rows;
    out.push_back(std::move(item));
  }
  return out;
}
json Item(const NoteItem& n) {
  json checklist = json::array();
  for (const NoteChecklistItem& c : n.checklist) checklist.push_back({{"text", c.text}, {"done", c.done}});
  return WithBackups(
      json{{"deleted", n.deleted}, {"bodyId", n.bodyId}, {"date", n.date},
           {"title", n.title},     {"body", n.body},     {"folder", n.folder},
           {"account", n.account}, {"locked", n.locked}, {"opened", n.opened},
           {"identifier", n.identifier},
           {"attachments", NoteAttachments(n.attachments)}, {"checklist", std::move(checklist)}},
      n);
}
json Item(const ChatMessageItem& m) {
  return WithBackups(json{{"deleted", m.deleted},     {"fromMe", m.fromMe},       {"rowId", m.rowId},
          {"sessionId", m.sessionId}, {"memberId", m.memberId},   {"mediaId", m.mediaId},
          {"date", m.date},           {"name", m.name},           {"text", m.text},
          {"phone", m.phone},         {"chatNames", m.chatNames}, {"chatPhones", m.chatPhones},
          {"chatTitle", m.chatTitle}, {"sender", m.fromMe == 1 ? std::string("Me") : m.name},
          {"stanzaId", m.stanzaId},   {"attachments", Attachments(m.attachments)}},
                     m);
}
json Item(const MediaFileItem& f) {
  return WithBackups(json{{"size", f.size},
                          {"displayName", f.displayName},
                          {"path", f.path.string()},
                          {"kind", f.kind},
                          {"class", MediaClassOf(f.kind)}},
                     f);
}
json Item(const AppFileItem& f) {
  return WithBackups(json{{"size", f.size},
                          {"appName", f.appName},
                          {"displayName", f.displayName},
                          {"path", f.path.string()},
                          {"kind", f.kind},
                          {"class", MediaClassOf(f.kind)}},
                     f);
}

json Members(const std::vector<ConversationMember>& members) {
  json out = json::array();
  for (const ConversationMember& m : members)
    out.push_back({{"address", m.address}, {"name", m.name}, {"service", m.service}});
  return out;
}

std::string Dumped(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Writes one JSON document piece by piece in the layout of json::dump(2): objects and arrays
// are opened and closed as the items come, each item is built and written on its own, so the
// whole document never stands in memory. Object keys must come in sorted order (as a json
// object keeps them) for the text to equal the one-document dump.
class JsonStream {
 public:
  explicit JsonStream(std::FILE* out) : out_(out) {}

  // At the top or in an array without `key`, in an object with it.
  void OpenObject(std::optional<std::string_view> key = {}) { Open(key, '{'); }
  void OpenArray(std::optional<std::string_view> key = {}) { Open(key, '['); }
  void Close() {
    const Level level = levels_.back();
    levels_.pop_back();
    if (!level.empty) {
      Put("\n");
      Indent(levels_.size());
    }
    Put(std::string_view(&level.close, 1));
  }
  // One member (with `key`, in an object) or element (in an array).
  void Value(std::optional<std::string_view> key, const json& value) {
    Element(key);
    std::string text = Dumped(value, 2);
    // A dumped string never holds a raw line feed: each one starts a line of the value.
    const std::string indent(2 * levels_.size(), ' ');
    size_t from = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', from)) {
      Put(std::string_view(text).substr(from, at + 1 - from));
      Put(indent);
      from = at + 1;
    }
    Put(std::string_view(text).substr(from));
  }
  void Value(const json& value) { Value(std::nullopt, value); }
  // One element of an array whose text `render(text, depth)` appends, laid out for the depth
  // it stands at.
  template <class Render>
  void Rendered(Render render) {
    Element(std::nullopt);
    render(buffer_, levels_.size());
    if (buffer_.size() >= kBuffer) Drain();
  }
  // Ends the document; 0, or the errno value of the first write that failed.
  int Finish() {
    Put("\n");
    Drain();
    if (std::fflush(out_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    return error_;
  }

 private:
  struct Level {
    char close;
    bool empty = true;
  };
  static constexpr size_t kBuffer = 1 << 20;
  void Put(std::string_view bytes) {
    buffer_.append(bytes);
    if (buffer_.size() >= kBuffer) Drain();
  }
  void Drain() {
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size() && error_ == 0)
      error_ = errno != 0 ? errno : EIO;
    buffer_.clear();
  }
  void Indent(size_t depth) {
    static constexpr std::string_view kSpaces = "                                ";
    for (size_t n = 2 * depth; n > 0;) {
      const size_t part = std::min(n, kSpaces.size());
      Put(kSpaces.substr(0, part));
      n -= part;
    }
  }
  void Element(std::optional<std::string_view> key) {
    if (!levels_.empty()) {
      Put(levels_.back().empty ? "\n" : ",\n");
      levels_.back().empty = false;
      Indent(levels_.size());
    }
    if (key) {
      Put(Dumped(json(*key), -1));
      Put(": ");
    }
  }
  void Open(std::optional<std::string_view> key, char brace) {
    Element(key);
    Put(std::string_view(&brace, 1));
    levels_.push_back(Level{brace == '{' ? '}' : ']'});
  }

  std::FILE* out_;
  std::string buffer_;
  std::vector<Level> levels_;
  int error_ = 0;
};

// A string as json::dump writes it (no ASCII escaping, ill-formed UTF-8 replaced).
void AppendString(std::string& out, std::string_view text) {
  if (!platform::IsValidUtf8(text)) {
    out += Dumped(json(text), -1);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(text.substr(plain));
  out += '"';
}

// An object written member by member straight into the output text, in the layout of
// json::dump(2) at a given depth; members must be added in sorted key order.
class FlatObject {
 public:
  FlatObject(std::string& out, size_t depth) : out_(out), depth_(depth) {}
  void Text(std::string_view key, std::string_view value) {
    Key(key);
    AppendString(out_, value);
  }
  void Number(std::string_view key, int64_t value) {
    Key(key);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
  }
  // Text already in JSON form.
  void Raw(std::string_view key, std::string_view json) {
    Key(key);
    out_ += json;
  }
  // Any other value, through the json library.
  void Value(std::string_view key, const json& value) {
    Key(key);
    const std::string text = Dumped(value, 2);
    const std::string indent(2 * (depth_ + 1), ' ');
    for (char c : text) {
      out_ += c;
      if (c == '\n') out_ += indent;
    }
  }
  void Close() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
    out_ += '}';
  }

 private:
  void Key(std::string_view key) {
    out_ += first_ ? "{\n" : ",\n";
    first_ = false;
    out_.append(2 * (depth_ + 1), ' ');
    out_ += '"';
    out_ += key;
    out_ += "\": ";
  }
  std::string& out_;
  size_t depth_;
  bool first_ = true;
};

// A message as Item(MessageItem) makes it, written without building it: a scan of a large
// phone writes a million of these.
void RenderMessage(const MessageItem& m, std::string& out, size_t depth) {
  FlatObject o(out, depth);
  o.Text("attachment", m.attachment);
  if (m.attachments.empty()) {
    o.Raw("attachments", "[]");
  } else {
    o.Value("attachments", Attachments(m.attachments));
  }
  if (!m.backups.empty()) o.Value("backups", m.backups);
  o.Number("chatId", m.chatId);
  o.Text("conversation", m.conversation);
  o.Text("date", m.date);
  o.Number("deleted", m.deleted);
  if (m.earlierTexts.empty()) {
    o.Raw("earlierTexts", "[]");
  } else {
    o.Value("earlierTexts", m.earlierTexts);
  }
  o.Number("edited", m.edited);
  o.Number("fromMe", m.fromMe);
  o.Text("guid", m.guid);
  o.Number("handleId", m.handleId);
  o.Text("name", m.name);
  o.Text("phone", m.phone);
  if (m.reactions.empty()) {
    o.Raw("reactions", "[]");
  } else {
    json reactions = json::array();
    for (const MessageReaction& r : m.reactions) reactions.push_back({{"kind", r.kind}, {"by", r.by}});
    o.Value("reactions", reactions);
  }
  o.Text("replyTo", m.replyTo);
  o.Number("rowId", m.rowId);
  o.Text("sender", m.sender);
  o.Text("service", m.service);
  o.Text("text", m.text);
  o.Number("unsent", m.unsent);
  o.Close();
}

template <typename T>
void StreamArray(JsonStream& out, std::string_view key, const std::vector<T>& items) {
  out.OpenArray(key);
  for (const auto& item : items) {
    if constexpr (std::is_same_v<T, MessageItem>) {
      out.Rendered([&](std::string& text, size_t depth) { RenderMessage(item, text, depth); });
    } else {
      out.Value(Item(item));
    }
  }
  out.Close();
}

template <typename C>
void StreamConversation(JsonStream& out, const std::string& key, const C& c) {
  out.OpenObject(key);
  out.Value("group", c.group);
  StreamArray(out, "items", c.messages);
  out.Value("members", Members(c.members));
  out.Value("title", ConversationLabel(c));
  out.Close();
}

void StreamKeyed(JsonStream& out, std::string_view key, const MessageMap& map) {
  out.OpenObject(key);
  for (const auto& [id, c] : map) StreamConversation(out, id, c);
  out.Close();
}
// Chat keys are numbers written as text: in the text's order, as a json object sorts them.
void StreamKeyed(JsonStream& out, std::string_view key, const ChatMap& map) {
  std::vector<std::pair<std::string, const ChatConversation*>> keys;
  keys.reserve(map.size());
  for (const auto& [id, c] : map) keys.emplace_back(std::to_string(id), &c);
  std::sort(keys.begin(), keys.end());
  out.OpenObject(key);
  for (const auto& [id, c] : keys) StreamConversation(out, id, *c);
  out.Close();
}

// A table category: its columns, then its rows (each built and written on its own).
void StreamTable(JsonStream& out, std::string_view key, const CategoryTable& table) {
  out.OpenObject(key);
  json columns = json::array();
  for (const TableColumn& c : table.columns) {
    columns.push_back({{"key", c.key}, {"title", c.title}, {"type", ColumnTypeName(c.type)}});
  }
  out.Value("columns", columns);
  out.OpenArray("items");
  for (const TableRow& row : table.rows) {
    json item = json::object();
    for (size_t i = 0; i < table.columns.size() && i < row.cells.size(); ++i) {
      item[table.columns[i].key] = JsonValue(row.cells[i], table.columns[i].type);
    }
    item["deleted"] = row.deleted;
    item["source"] = ItemSourceName(row.origin);
    json files = json::array();
    for (const OwnedFile& f : row.files) {
      files.push_back({{"name", f.name},
                       {"phonePath", f.phonePath},
                       {"path", f.path.string()},
                       {"mime", f.mime}});
    }
    item["files"] = std::move(files);
    if (!row.backups.empty()) item["backups"] = row.backups;
    out.Value(item);
  }
  out.Close();
  out.Close();
}

}  // namespace

const char* CategoryJsonKey(ScanCategory category) { return CategoryKey(category); }

int PrintScanErrors(const ScanResults& results) {
  for (const auto& [category, text] : results.errors) {
    std::fprintf(stderr, "halvern-cli: %s: %s\n", CategoryName(category), text.c_str());
  }
  return results.errors.empty() ? 0 : 1;
}

json BackupJson(const BackupInfo& b) {
  return json{{"isEncrypted", b.isEncrypted},       {"isIos12OrLater", b.isIos12OrLater},
              {"lastBackupDate", b.lastBackupDate}, {"phoneNumber", b.phoneNumber},
              {"serialNumber", b.serialNumber},     {"folderPath", b.folderPath.string()},
              {"displayName", b.displayName}};
}

int WriteScanJson(std::FILE* out, const BackupInfo& backup, int32_t openResult,
                   const ScanResults& r, const std::vector<BackupInfo>& sources) {
  json errors = json::object();
  for (const auto& [category, text] : r.errors) errors[CategoryJsonKey(category)] = text;
  json notices = json::object();
  for (const auto& [category, text] : r.notices) notices[CategoryJsonKey(category)] = text;
  JsonStream stream(out);
  // The members of each object in sorted order: the categories of the seed and the table
  // categories by key.
  std::vector<std::pair<std::string, std::function<void()>>> categories = {
      {"appFiles", [&] { StreamArray(stream, "appFiles", r.appFiles); }},
      {"callHistory", [&] { StreamArray(stream, "callHistory", r.calls); }},
      {"cameraRoll", [&] { StreamArray(stream, "cameraRoll", r.cameraRoll); }},
      {"contacts", [&] { StreamArray(stream, "contacts", r.contacts); }},
      {"messageAttachments",
       [&] { StreamArray(stream, "messageAttachments", r.messageAttachments); }},
      {"messages", [&] { StreamKeyed(stream, "messages", r.messages); }},
      {"notes", [&] { StreamArray(stream, "notes", r.notes); }},
      {"photoStream", [&] { StreamArray(stream, "photoStream", r.photoStream); }},
      {"whatsApp", [&] { StreamKeyed(stream, "whatsApp", r.whatsApp); }},
      {"whatsAppAttachments",
       [&] { StreamArray(stream, "whatsAppAttachments", r.whatsAppAttachments); }},
  };
  for (size_t i = 0; i < r.tables.size(); ++i) {
    const std::string key = CategoryKey(TableCategoryCode(i));
    categories.emplace_back(key, [&, i, key] { StreamTable(stream, key, r.tables[i]); });
  }
  std::sort(categories.begin(), categories.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  stream.OpenObject();
  stream.Value("backup", BackupJson(backup));
  if (sources.size() > 1) {
    json backups = json::array();
    for (const BackupInfo& b : sources) {
      json one = BackupJson(b);
      one["label"] = BackupLabel(b);
      backups.push_back(std::move(one));
    }
    stream.Value("backups", backups);
  }
  stream.OpenObject("categories");
  for (const auto& [key, write] : categories) write();
  stream.Close();
  stream.Value("errors", errors);
  stream.Value("notices", notices);
  stream.Value("result", openResult);
  stream.Close();
  return stream.Finish();
}

void PrintCounts(const ScanResults& r) {
  std::printf("%-22s %8s %8s\n", "CATEGORY", "ITEMS", "DELETED");
  for (const ScanCategory category : AllCategories()) {
    const size_t count = r.Count(category);
    if (!CategoryHasDeletionMarks(category)) {
      std::printf("%-22s %8zu %8s\n", CategoryName(category), count, "-");
    } else {
      std::printf("%-22s %8zu %8zu\n", CategoryName(category), count, r.DeletedCount(category));
    }
  }
  std::printf("(%zu conversations, %zu WhatsApp chats)\n", r.messages.size(), r.whatsApp.size());
  for (const auto& [category, text] : r.notices) {
    std::printf("%s: %s\n", CategoryName(category), text.c_str());
  }
}

}  // namespace halvern::cli
