// The recover run (see recover_worker.h): dispatch of the selected items by category, the
// file copies, the conversation and chat files, the three table pages, the raw row exports
// and the index page.
#include "export/recover_worker.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>

#include "platform/platform.h"
#include "selection/statistics.h"

namespace halvern {

// ----- Counting --------------------------------------------------------------------------------

int32_t RecoverTally::OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) {
  if (percent == 100) {
    ++done_;
    if (error != 0) {
      ++failed_;
      outcomes_.insert(outcomes_.begin(), Outcome{path, error});
    } else {
      outcomes_.push_back(Outcome{path, 0});
    }
  }
  return OnReport(percent, error, path);
}

std::string RecoverStatusText(int32_t error) {
  switch (error) {
    case kOk:
      return "Success";
    case kStopped:
      return "Stopped";
    case kManifestDamaged:
      return "The backup's index is damaged";
    case kInvalidParameter:
      return "The file cannot be read or created";
    case kReadFault:
      return "The file could not be read completely";
    case kQueryFailed:
      return "The database cannot be read";
    default:
      break;
  }
  if (error > 0) return std::strerror(error);
  return "Failed (code " + std::to_string(error) + ")";
}

// ----- The worker ------------------------------------------------------------------------------

namespace {

// Relative link of a path below the destination: each byte outside the unreserved set
// percent-encoded, "/" kept.
std::string UrlPath(const fs::path& relative) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : relative.generic_string()) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// One file copied by the engine: the copy's result, whether a report of 100 percent was seen,
// and the final name as the copy reported it (the target until it reports).
struct EngineCopy {
  int32_t result = kOk;
  bool finished = false;
  std::string path;
};

using CopyReport = std::function<int32_t(int32_t percent, int32_t error, const std::string& path)>;

EngineCopy CopyThroughEngine(IPhoneRecoveryParse* engine, const fs::path& source,
                             const fs::path& target, const CopyReport& report) {
  struct Context {
    const CopyReport& report;
    EngineCopy& copy;
  };
  EngineCopy copy;
  copy.path = target.string();
  Context context{report, copy};
  auto callback = [](void* user, int32_t percent, int32_t error, const std::string& path) {
    auto* c = static_cast<Context*>(user);
    if (percent == 100) c->copy.finished = true;
    c->copy.path = path;
    return c->report(percent, error, path);
  };
  copy.result = engine ? engine->CopyDataFile(source.string(), target.string(), callback, &context)
                       : kInvalidParameter;
  return copy;
}

constexpr const char* kMediaFolder[] = {"",
                                        "Camera Roll",
                                        "Photo Stream",
                                        "",
                                        "",
                                        "",
                                        "Message Attachments",
                                        "",
                                        "",
                                        "",
                                        "",
                                        "WhatsApp Attachments"};

}  // namespace

fs::path MediaCopyTarget(const fs::path& destination, int32_t categoryCode,
                         const MediaFileItem& file) {
  const bool known = categoryCode >= 0 && categoryCode < int32_t(std::size(kMediaFolder));
  return destination / (known ? kMediaFolder[categoryCode] : "") / SafeFileName(file.displayName);
}

// ----- Copies made before the run --------------------------------------------------------------

std::string CopiesAhead::Key(const fs::path& source, const fs::path& target) {
  return source.string() + '\0' + target.string();
}

int32_t CopiesAhead::Copy(IPhoneRecoveryParse& engine, const fs::path& destination,
                          int32_t categoryCode, const std::vector<MediaFileItem>& files,
                          const std::function<bool()>& stop) {
  const auto stopped = [&] { return stop && stop(); };
  std::unordered_set<std::string> made;
  for (const MediaFileItem& file : files) {
    if (stopped()) return kStopped;
    const fs::path target = MediaCopyTarget(destination, categoryCode, file);
    std::string key = Key(file.path, target);
    if (copies_.count(key) != 0) continue;
    Copied copied;
    copied.written = target;
    std::error_code ec;
    if (made.insert(target.parent_path().string()).second) {
      fs::create_directories(target.parent_path(), ec);
      if (ec) made.erase(target.parent_path().string());
    }
    if (ec) {
      copied.error = ec.value();
    } else {
      const EngineCopy copy = CopyThroughEngine(
          &engine, file.path, target,
          [&](int32_t, int32_t, const std::string&) { return stopped() ? kStopped : kOk; });
      if (IsStopped(copy.result)) return kStopped;  // the copy removed what it had written
      copied.error = copy.result;
      copied.written = copy.path;
    }
    if (copied.error == kOk) ++copied_;
    copies_.emplace(key, std::move(copied));
    order_.push_back(std::move(key));
  }
  return kOk;
}

RecoverWorker::RecoverWorker(RecoverJob job, RecoverProgress& progress)
    : job_(std::move(job)), progress_(progress) {}

RecoverWorker::~RecoverWorker() {
  if (export_.joinable()) export_.join();
}

void RecoverWorker::StartMessagesExport() {
  if (job_.engine == nullptr || export_.joinable()) return;
  exportResult_ = exported_.Reserve(job_.destination / ".sms.csv");
  if (exportResult_ != kOk) return;
  export_ = std::thread([this, temp = exported_.tempPath()] {
    exportResult_ = job_.engine->ExportMessagesCsv(temp.string());
  });
}

int32_t RecoverWorker::WriteMessagesExport(const fs::path& temp) {
  if (!job_.engine) return kInvalidParameter;
  if (!exported_.reserved()) return job_.engine->ExportMessagesCsv(temp.string());
  if (exportResult_ != kOk) return exportResult_;
  // The finished export takes the place of the reserved name's temporary file.
  return ::rename(exported_.tempPath().c_str(), temp.c_str()) == 0 ? kOk : errno;
}

int32_t RecoverWorker::LoadTemplates(std::string* missing) {
  const std::string& device = job_.deviceName;
  const struct {
    const char* name;
    const char* title;
    PageTemplate* page;
  } kTemplates[] = {
      {kCallHistoryTemplate, "iPhone's Call History of", &calls_},
      {kNotesTemplate, "iPhone's Notes of", &notes_},
      {kContactsTemplate, "iPhone's Contacts of", &contacts_},
      {kSmsTemplate, "iPhone's Messages of", &sms_},
      {kWhatsAppTemplate, "iPhone's WhatsApp Messages of", &whatsApp_},
  };
  for (const auto& t : kTemplates) {
    if (LoadTemplate(job_.templateFolder, t.name, PageWord(t.title) + " " + device, *t.page) != kOk) {
      if (missing) *missing = (job_.templateFolder / t.name).string();
      loaded_ = false;
      return kInvalidParameter;
    }
  }
  loaded_ = true;
  return kOk;
}

int32_t RecoverWorker::Report(int32_t percent, int32_t error, const fs::path& path) {
  if (stopped_) return kStopped;
  if (progress_.OnRecoverProgress(percent, error, path.string()) != 0) stopped_ = true;
  return stopped_ ? kStopped : kOk;
}

void RecoverWorker::Written(const fs::path& path) { summary_.written.push_back(path); }

// An item cut short by a stop has no outcome: it is neither written nor failed.
void RecoverWorker::ItemOutcome(int32_t error) {
  if (!stopped_) progress_.OnItemOutcome(error);
}

bool RecoverWorker::TakeCopiedAhead(const fs::path& source, const fs::path& target,
                                    int32_t& result, fs::path* written) {
  if (job_.ahead == nullptr) return false;
  const auto found = job_.ahead->copies_.find(CopiesAhead::Key(source, target));
  if (found == job_.ahead->copies_.end() || found->second.taken) return false;
  CopiesAhead::Copied& copied = found->second;
  copied.taken = true;
  result = copied.error;
  if (result == kOk) {
    Written(copied.written);
    if (written != nullptr) *written = copied.written;
  }
  const bool wasStopped = stopped_;
  Report(100, result, copied.written);
  // A stop heard at this report finds the file whole on disk (a copy made now would have been
  // removed): its item is written.
  if (result == kOk && !wasStopped && stopped_) progress_.OnItemOutcome(kOk);
  if (result == kOk) WriteJpegCopy(copied.written);
  return true;
}

void RecoverWorker::KeepCopiedAhead() {
  if (job_.ahead == nullptr) return;
  for (const std::string& key : job_.ahead->order_) {
    CopiesAhead::Copied& copied = job_.ahead->copies_.at(key);
    if (copied.taken || copied.error != kOk) continue;
    copied.taken = true;
    Written(copied.written);
    if (stopped_) progress_.OnItemOutcome(kOk);
  }
}

int32_t RecoverWorker::CopyFile(const fs::path& source, const fs::path& target,
                                fs::path* written) {
  if (int32_t result = kOk; TakeCopiedAhead(source, target, result, written)) return result;
  // Each folder is made once (the copy makes it again should it vanish in between).
  const std::string folder = target.parent_path().string();
  if (madeFolders_.count(folder) == 0) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      // The folder cannot be made: its error (not the copy's later "no such file") is the cause.
      Report(100, ec.value(), target);
      return ec.value();
    }
    madeFolders_.insert(folder);
  }
  // The copy takes the target's name or the next free one itself (never replacing a file) and
  // names it in its report at 100; a stopped or failed copy leaves nothing behind.
  const EngineCopy copy =
      CopyThroughEngine(job_.engine, source, target,
                        [this](int32_t percent, int32_t error, const std::string& path) {
                          return Report(percent, error, fs::path(path));
                        });
  const int32_t result = copy.result;
  if (result == kOk) {
    if (!copy.finished) Report(100, kOk, copy.path);
    Written(copy.path);
    if (written != nullptr) *written = copy.path;
    WriteJpegCopy(copy.path);
  } else if (!copy.finished && !IsStopped(result) && !stopped_) {
    // Whether the copy was stopped is known from the stop itself, never from the number.
    Report(100, result, copy.path);
  }
  return result;
}

void RecoverWorker::WriteJpegCopy(const fs::path& heic) {
  if (!job_.heicToJpeg || stopped_) return;
  const std::string ext = platform::AsciiLower(heic.extension().string());
  if (ext != ".heic" && ext != ".heif") return;
  fs::path wanted = heic;
  wanted.replace_extension(".jpg");
  fs::path jpeg;
  const int32_t result = WriteFile(
      wanted, [&](const fs::path& temp) { return job_.heicToJpeg(heic, temp); }, jpeg);
  Report(100, result, jpeg);
}

int32_t RecoverWorker::WriteFile(const fs::path& wanted,
                                 const std::function<int32_t(const fs::path&)>& write,
                                 fs::path& written) {
  written = wanted;
  const int32_t result = platform::WriteOutputFile(wanted, write, &written);
  if (result == kOk) Written(written);
  return result;
}

int32_t RecoverWorker::WriteConversationPage(const PageTemplate& page, const std::string& person,
                                             const ConversationHead& head,
                                          const std::vector<ConversationLine>& lines,
                                          const fs::path& wanted) {
  // Written through as it is made, message by message.
  platform::OutputFile out;
  int32_t result = out.Reserve(wanted);
  const fs::path written = result == kOk ? out.path() : wanted;
  if (result == kOk) {
    out.Append(ReplaceAll(page.head, kPersonMarker, HtmlEscape(person)));
    const int32_t answer = ConversationBody(
        head, lines, [&](std::string_view piece) { out.Append(piece); },
        [&](int32_t percent) { return percent >= 100 ? kOk : Report(percent, kOk, wanted); });
    if (answer != kOk) {
      out.Abort();  // a page cut short by a stop is never left behind
      return answer;
    }
    out.Append(page.tail);
    result = out.Commit();
  }
  if (result == kOk) Written(written);
  Report(100, result, written);
  return result;
}

template <class Item>
void RecoverWorker::CopyAttachments(const std::vector<Item>& messages,
                                    std::vector<ConversationLine>& lines, const fs::path& folder) {
  // The lines are the messages in order, less the live ones when only deleted are written.
  size_t at = 0;
  for (const Item& m : messages) {
    if (job_.deletedOnly && m.deleted == 0) continue;
    if (at >= lines.size() || stopped_) break;
    ConversationLine& line = lines[at++];
    for (size_t i = 0; i < m.attachments.size() && i < line.attachments.size(); ++i) {
      const MessageAttachment& a = m.attachments[i];
      if (a.path.empty()) continue;
      fs::path copy;
      if (CopyFile(a.path, folder / "attachments" / SafeFileName(a.name), &copy) == kOk) {
        line.attachments[i].link = UrlPath(copy.lexically_relative(folder));
      }
    }
  }
}

int32_t RecoverWorker::WriteConversation(const MessageItem& row) {
  if (job_.messages == nullptr) return kInvalidParameter;
  const auto found = job_.messages->find(row.conversation);
  if (found == job_.messages->end()) return kInvalidParameter;
  const Conversation& conversation = found->second;
  std::vector<ConversationLine> lines = LinesOf(conversation, job_.deletedOnly);
  if (lines.empty()) return kOk;  // only deleted messages wanted, and it has none
  const ConversationHead head = HeadOf(conversation);
  const std::string phone =
      !conversation.group && !conversation.members.empty() ? conversation.members.front().address
                                                           : std::string();
  std::string label = conversation.group ? head.title : conversation.title;
  if (label.empty()) label = "Unknown";
  const fs::path folder = job_.destination / "Message" / SafeFileName(label + "-" + summary_.stamp);
  std::error_code ec;
  fs::create_directories(folder, ec);
  messagesExported_ = true;
  const std::string base = SafeFileName(phone.empty() ? label : label + "(" + phone + ")");
  const std::string person = conversation.group
                                 ? "Group: " + label + ", Members: " + MembersText(head.members)
                                 : "Name: " + label + ", Phone: " + phone;
  CopyAttachments(conversation.messages, lines, folder);
  fs::path text;
  const int32_t textResult = WriteFile(
      folder / (base + ".txt"),
      [&](const fs::path& temp) { return WriteConversationText(temp, head, lines); }, text);
  if (textResult != kOk) Report(100, textResult, text);
  const int32_t page =
      WriteConversationPage(sms_, person, head, lines, folder / (base + ".html"));
  return textResult != kOk ? textResult : page;
}

int32_t RecoverWorker::WriteChat(const ChatMessageItem& row) {
  if (job_.chats == nullptr) return kInvalidParameter;
  const auto found = job_.chats->find(row.sessionId);
  if (found == job_.chats->end()) return kInvalidParameter;
  const ChatConversation& chat = found->second;
  std::vector<ConversationLine> lines = LinesOf(chat, job_.deletedOnly);
  if (lines.empty()) return kOk;  // only deleted messages wanted, and it has none
  const ConversationHead head = HeadOf(chat);
  std::string label;
  std::string phones;
  for (const ConversationMember& m : chat.members) phones += (phones.empty() ? "" : ",") + m.address;
  if (chat.group) {
    label = head.title;
  } else {
    label = chat.title.empty() ? phones : chat.title + "(" + phones + ")";
  }
  if (label.empty()) label = "Unknown";
  const fs::path folder =
      job_.destination / "WhatsApp Message" / SafeFileName(label + "-" + summary_.stamp);
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::string base = SafeFileName(label);
  const std::string person = chat.group ? "Group: " + head.title + ", Members: " +
                                              MembersText(head.members)
                                        : "Name: " + chat.title + ", Phone: " + phones;
  CopyAttachments(chat.messages, lines, folder);
  int32_t first = kOk;
  fs::path text, csv;
  if (const int32_t r = WriteFile(
          folder / (base + ".txt"),
          [&](const fs::path& temp) { return WriteConversationText(temp, head, lines); }, text);
      r != kOk) {
    Report(100, r, text);
    first = r;
  }
  if (const int32_t r = WriteFile(
          folder / (base + ".csv"),
          [&](const fs::path& temp) { return WriteChatCsv(temp, lines); }, csv);
      r != kOk) {
    Report(100, r, csv);
    if (first == kOk) first = r;
  }
  const int32_t page =
      WriteConversationPage(whatsApp_, person, head, lines, folder / (base + ".html"));
  return first != kOk ? first : page;
}

void RecoverWorker::AddRow(int32_t code, int32_t deleted, const std::vector<std::string>& cells,
                          bool breakLines) {
  Table* table = nullptr;
  const PageTemplate* page = nullptr;
  fs::path folder;
  std::string name, csvName, header;
  switch (code) {
    case 7:
      table = &contactTable_, page = &contacts_;
      folder = job_.destination / "Contacts" / summary_.stamp;
      name = "Contacts.html";
      csvName = "ContactList.csv";
      header = "Name,Phone,Email,Address,Home Page,Social Profile,Company";
      break;
    case 8:
      table = &callTable_, page = &calls_;
      folder = job_.destination / "CallHistory";
      name = "CallHistory_" + summary_.stamp + ".html";
      header = "Name,Phone Number,Date,Call,Direction,Result,Duration";
      break;
    default:
      table = &noteTable_, page = &notes_;
      folder = job_.destination / "Notes";
      name = "Notes_" + summary_.stamp + ".html";
      header = "Title,Folder,Date,Note";
      break;
  }
  if (table->page.empty()) {
    // The page's name is taken now, at its first row, so that another run writing into the
    // same folder picks another one; a folder that cannot be written fails every row at once.
    std::error_code ec;
    fs::create_directories(folder, ec);
    table->error = table->out.Reserve(folder / name);
    table->page = table->error == kOk ? table->out.path() : folder / name;
    if (table->error == kOk) table->out.Append(page->head);
    // The list beside it: the page's name with ".csv" (the contacts' own name).
    table->csv =
        table->page.parent_path() / (csvName.empty() ? table->page.stem().string() + ".csv" : csvName);
    table->csvError = table->csvOut.Reserve(table->csv);
    if (table->csvError == kOk) {
      table->csv = table->csvOut.path();
      table->csvOut.Append("\xEF\xBB\xBF" + header + ",Deleted\r\n");
    }
  }
  std::string row = deleted ? "\t<tr class=\"deleted\">" : "\t<tr>";
  for (size_t i = 0; i < cells.size(); ++i) {
    std::string cell = HtmlEscape(cells[i]);
    // The first phone column of a contact holds one number per line.
    if (breakLines && i == 1) cell = ReplaceAll(std::move(cell), "\n", "<br />");
    // The words of a call (its kind, direction, result) in the page's language.
    if (code == 8 && i >= 3) cell = HtmlEscape(PageWord(cells[i]));
    if (deleted && i == 0) {
      cell = "<span class=\"deleted-label\">" + HtmlEscape(PageWord("deleted")) + "</span> " + cell;
    }
    row += "<td>" + cell + "</td>";
  }
  row += "</tr>\r\n";
  if (table->error == kOk) table->out.Append(row);
  std::string line;
  for (const std::string& cell : cells) line += CsvField(platform::SanitizeUtf8(cell)) + ",";
  line += deleted ? "yes\r\n" : "no\r\n";
  if (table->csvError == kOk) table->csvOut.Append(line);
  ++table->count;
  // The row is reported when its page is on disk (WriteTablePage), not before.
}

void RecoverWorker::WriteTablePage(Table& table) {
  const PageTemplate& page = &table == &contactTable_ ? contacts_
                             : &table == &callTable_  ? calls_
                                                      : notes_;
  int32_t result = table.error;
  if (result == kOk && table.out.reserved()) {
    table.out.Append(page.tail);
    result = table.out.Commit();
    if (result != kOk) table.out.Abort();
  }
  if (result == kOk) Written(table.page);
  // One line per row in the detail list, each with the outcome of the page that holds it.
  for (uint32_t i = 0; i < table.count; ++i) {
    Report(100, result, table.page);
    progress_.OnItemOutcome(result);
  }
}

void RecoverWorker::WriteTableCsv(Table& table) {
  int32_t result = table.csvError;
  if (result == kOk) result = table.csvOut.Commit();
  if (result == kOk) {
    Written(table.csv);
  } else {
    table.csvOut.Abort();
    Report(100, result, table.csv);
  }
}

void RecoverWorker::Finish() {
  if (export_.joinable()) export_.join();
  if (messagesExported_) {
    fs::path csv;
    const int32_t r = WriteFile(
        job_.destination / "Message" / "sms.csv",
        [&](const fs::path& temp) { return WriteMessagesExport(temp); }, csv);
    if (r != kOk) Report(100, r, csv);
  }
  exported_.Abort();
  if (callTable_.count > 0) {
    WriteTablePage(callTable_);
    WriteTableCsv(callTable_);
  }
  if (noteTable_.count > 0) {
    WriteTablePage(noteTable_);
    WriteTableCsv(noteTable_);
  }
  if (contactTable_.count > 0) {
    if (contactTable_.out.reserved() && !job_.deletedOnly) {
      fs::path csv;
      const fs::path wanted = contactTable_.page.parent_path() / "Contacts.csv";
      const int32_t r = WriteFile(
          wanted,
          [&](const fs::path& temp) {
            if (!job_.engine) return kInvalidParameter;
            const int32_t e = job_.engine->ExportContactsCsv(temp.string());
            std::error_code ec;
            // An older address book has no rows to export: the file stays empty.
            if (e == kOk && !fs::exists(temp, ec)) return WriteWholeFile(temp, "");
            return e;
          },
          csv);
      if (r != kOk) Report(100, r, csv);
    }
    WriteTableCsv(contactTable_);
    WriteTablePage(contactTable_);
  }
  WriteIndex();
}

void RecoverWorker::WriteIndex() {
  if (summary_.written.empty()) return;
  // Files under a copy folder are listed by their folder (with a count); pages and the other
  // files one by one.
  static constexpr const char* kCopyFolders[] = {"Camera Roll",         "Photo Stream",
                                                 "App Photos",          "App Video",
                                                 "Message Attachments", "WhatsApp Attachments"};
  struct Section {
    std::vector<fs::path> files;
    size_t copies = 0;
  };
  // Sections in a fixed order: records first, then the file copies.
  static constexpr const char* kOrder[] = {"Message",
                                           "WhatsApp Message",
                                           "Contacts",
                                           "CallHistory",
                                           "Notes",
                                           "Camera Roll",
                                           "Photo Stream",
                                           "App Photos",
                                           "App Video",
                                           "Message Attachments",
                                           "WhatsApp Attachments"};
  std::map<std::string, Section> sections;
  for (const fs::path& p : summary_.written) {
    const fs::path rel = p.lexically_relative(job_.destination);
    const std::string top = rel.begin() != rel.end() ? rel.begin()->string() : rel.string();
    Section& s = sections[top];
    bool isCopy = false;
    for (const char* f : kCopyFolders) isCopy = isCopy || top == f;
    // Attachments copied beside a conversation are reached from its page.
    bool attachment = false;
    for (const fs::path& part : rel) attachment = attachment || part == "attachments";
    if (attachment && !isCopy) continue;
    if (isCopy) {
      ++s.copies;
    } else {
      s.files.push_back(rel);
    }
  }
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Recovered from " +
      HtmlEscape(job_.deviceName) +
      "</title>\n<style>\n"
      "body{font-family:\"Segoe UI\",\"Helvetica Neue\",Arial,sans-serif;margin:2em auto;"
      "max-width:56em;padding:0 1em;color:#222;line-height:1.5}\n"
      "h1{font-size:1.5em;margin-bottom:0}p.stamp{color:#666;margin-top:.2em}\n"
      "h2{font-size:1.1em;border-bottom:1px solid #ddd;padding-bottom:.2em;margin-top:1.6em}\n"
      "ul{list-style:none;padding-left:0}li{margin:.2em 0}a{color:#0b5cad;text-decoration:none}\n"
      "a:hover{text-decoration:underline}span.count{color:#666}\n"
      "</style>\n</head>\n<body>\n<h1>Recovered from " +
      HtmlEscape(job_.deviceName) + "</h1>\n<p class=\"stamp\">Recovered on " +
      HtmlEscape(platform::FormatLocalTime(startTime_)) + "</p>\n";
  std::vector<std::string> order(std::begin(kOrder), std::end(kOrder));
  for (const auto& [top, section] : sections) {
    if (std::find(order.begin(), order.end(), top) == order.end()) order.push_back(top);
  }
  for (const std::string& top : order) {
    auto found = sections.find(top);
    if (found == sections.end()) continue;
    const Section& s = found->second;
    html += "<h2>" + HtmlEscape(top) + "</h2>\n<ul>\n";
    if (s.copies > 0) {
      html += "<li><a href=\"" + UrlPath(fs::path(top)) + "/\">" + HtmlEscape(top) +
              "/</a> <span class=\"count\">(" + std::to_string(s.copies) + " file" +
              (s.copies == 1 ? "" : "s") + ")</span></li>\n";
    }
    for (const fs::path& rel : s.files) {
      html += "<li><a href=\"" + UrlPath(rel) + "\">" +
              HtmlEscape(rel.lexically_relative(top).generic_string()) + "</a></li>\n";
    }
    html += "</ul>\n";
  }
  html += "</body>\n</html>\n";
  fs::path index;
  const int32_t r = platform::WriteOutputFile(
      job_.destination / "index.html",
      [&](const fs::path& temp) { return WriteWholeFile(temp, html); }, &index);
  if (r == kOk) {
    summary_.index = index;
  } else {
    Report(100, r, job_.destination / "index.html");
  }
}

int32_t RecoverWorker::Run() {
  if (!loaded_ || !job_.selection) return kInvalidParameter;
  startTime_ = job_.startTime != 0 ? job_.startTime : int64_t(std::time(nullptr));
  summary_ = RecoverSummary{};
  madeFolders_.clear();
  summary_.stamp = RecoverStamp(startTime_);
  stopped_ = messagesExported_ = false;
  for (Table* t : {&contactTable_, &callTable_, &noteTable_}) {
    t->out.Abort(), t->csvOut.Abort();
    t->page.clear(), t->csv.clear();
    t->error = t->csvError = kOk;
    t->count = 0;
  }
  std::error_code ec;
  fs::create_directories(job_.destination, ec);

  const fs::path& dest = job_.destination;
  const auto recoverable = job_.selection->Recoverable();
  for (const auto& [key, entry] : recoverable) {
    if (entry->categoryCode == 5) {
      StartMessagesExport();
      break;
    }
  }
  for (const auto& [key, entry] : recoverable) {
    if (stopped_) break;
    switch (entry->categoryCode) {
      case 1:
      case 2:
      case 6:
      case 11: {
        const auto* f = static_cast<const MediaFileItem*>(key);
        ItemOutcome(CopyFile(f->path, MediaCopyTarget(dest, entry->categoryCode, *f)));
        break;
      }
      case 3:
      case 4: {
        const auto* f = static_cast<const AppFileItem*>(key);
        ItemOutcome(CopyFile(f->path, dest / (entry->categoryCode == 3 ? "App Photos" : "App Video") /
                                          SafeFileName(f->appName) / SafeFileName(f->displayName)));
        break;
      }
      case 5:
        ItemOutcome(WriteConversation(*static_cast<const MessageItem*>(key)));
        break;
      case 7: {
        const auto* c = static_cast<const ContactItem*>(key);
        AddRow(7, c->deleted,
               {c->name, c->phones, c->email, c->address, c->url, c->social, c->company}, true);
        break;
      }
      case 8: {
        const auto* c = static_cast<const CallItem*>(key);
        AddRow(8, c->deleted,
               {c->name, c->phone, c->date, CallKindText(*c), CallDirectionText(*c),
                CallOutcomeText(*c), CallDurationText(*c)});
        break;
      }
      case 9: {
        const auto* n = static_cast<const NoteItem*>(key);
        AddRow(9, n->deleted, {n->title, n->folder, n->date, n->body});
        break;
      }
      case 10:
        ItemOutcome(WriteChat(*static_cast<const ChatMessageItem*>(key)));
        break;
      default:
        break;
    }
  }
  KeepCopiedAhead();
  Finish();
  summary_.stopped = stopped_;
  return stopped_ ? kStopped : kOk;
}

}  // namespace halvern
