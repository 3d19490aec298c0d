// The recover run (see recover_worker.h): dispatch of the selected items by category, the
// file copies, the conversation and chat files, the table pages (contacts, calls, notes and
// the table categories), the raw row exports and the index page.
#include "export/recover_worker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "engine/scan_sequence.h"
#include "export/conversation_parts.h"
#include "extractors/note_render.h"
#include "media/media.h"
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

int32_t RecoverTally::OnRecoverFailure(int32_t error, const std::string& path,
                                       const std::string& reason) {
  ++done_;
  ++failed_;
  outcomes_.insert(outcomes_.begin(), Outcome{path, error, reason});
  return OnReport(100, error, path);
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

// What the index says after a table's page or list: how many rows it holds.
std::string RowsNote(uint32_t rows) {
  return std::to_string(rows) + (rows == 1 ? " item" : " items");
}

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

// The line above a conversation's page naming whom it was with, in the page words ("Name:
// Chloé, Phone: +33 6 12 34 56 78", "Group: Family, Members: ...").
std::string PersonLine(bool group, const std::string& label, const ConversationHead& head,
                       const std::string& phones) {
  if (group) {
    return PageWord("Group:") + " " + label + ", " + PageWord("Members:") + " " +
           MembersText(head.members);
  }
  return PageWord("Name:") + " " + label + ", " + PageWord("Phone:") + " " + phones;
}

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
  // The export holds every row of the message table, live ones too: a run for deleted items
  // only leaves it out.
  if (job_.engine == nullptr || export_.joinable() || job_.deletedOnly || job_.narrowed) return;
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
      // Each table category fills in its own title: the marker stays for it.
      {kTableTemplate, nullptr, &table_},
      {kTimelineTemplate, "iPhone's Timeline of", &timeline_},
  };
  for (const auto& t : kTemplates) {
    const std::string title =
        t.title ? PageWord(t.title) + " " + device : std::string(kTitleMarker);
    if (LoadTemplate(job_.templateFolder, t.name, title, *t.page) != kOk) {
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

void RecoverWorker::ReportFailure(int32_t error, const fs::path& path, const std::string& reason) {
  if (stopped_) return;
  if (progress_.OnRecoverFailure(error, path.string(), reason) != 0) stopped_ = true;
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
  } else if (!copy.finished && !IsStopped(result) && !stopped_) {
    // Whether the copy was stopped is known from the stop itself, never from the number.
    Report(100, result, copy.path);
  }
  return result;
}

uint64_t RecoverWorker::QueueMediaCopies(const fs::path& copied, bool urgent) {
  if (!mediaCopies_ || stopped_) return 0;
  return mediaCopies_->Add(copied, urgent);
}

void RecoverWorker::ReportMediaCopies(std::vector<MediaCopy> copies) {
  for (const MediaCopy& copy : copies) {
    if (copy.error == kOk) Written(copy.written);
    progress_.OnMediaCopy(copy);
  }
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
                                             const fs::path& wanted, ConversationPlace& place) {
  const std::vector<ConversationPart> parts = SplitConversation(lines);
  // Every part's name is taken first, so that each page can link to all the others.
  std::vector<platform::OutputFile> outs(parts.size());
  std::vector<fs::path> names(parts.size());
  std::vector<std::string> links(parts.size());
  std::vector<int32_t> results(parts.size(), kOk);
  for (size_t i = 0; i < parts.size(); ++i) {
    const fs::path name =
        i == 0 ? wanted
               : wanted.parent_path() /
                     SafeFileName(wanted.stem().string() + " - " + parts[i].label + ".html");
    results[i] = outs[i].Reserve(name);
    names[i] = results[i] == kOk ? outs[i].path() : name;
    links[i] = UrlPath(names[i].filename());
  }
  int32_t first = kOk;
  for (size_t i = 0; i < parts.size(); ++i) {
    platform::OutputFile& out = outs[i];
    int32_t result = results[i];
    if (result == kOk) {
      // Written through as it is made, message by message.
      const std::string nav = PartsNavHtml(parts, links, i);
      out.Append(ReplaceAll(page.head, kPersonMarker, HtmlEscape(person)));
      out.Append(nav);
      // Each message with its anchor, "m<line>", for the timeline's links.
      out.Append(ConversationHeadHtml(head));
      const size_t begin = parts[i].begin, end = parts[i].end;
      for (size_t at = begin; at < end; ++at) {
        out.Append("<a id=\"m" + std::to_string(at) + "\"></a>");
        out.Append(ConversationMessageHtml(lines[at]));
        const int32_t percent = int32_t(int64_t(at + 1 - begin) * 100 / int64_t(end - begin));
        if (percent < 100 && Report(percent, kOk, names[i]) != kOk) {
          for (platform::OutputFile& o : outs) o.Abort();  // nothing cut short by a stop is left
          return kStopped;
        }
      }
      out.Append(nav);
      out.Append(page.tail);
      result = out.Commit();
    }
    if (result == kOk) {
      Written(names[i]);
      if (i > 0) furtherParts_.insert(names[i].string());
    }
    place.pages.push_back(result == kOk ? names[i] : fs::path());
    Report(100, result, names[i]);
    if (first == kOk) first = result;
  }
  std::string note = std::to_string(lines.size()) + (lines.size() == 1 ? " message" : " messages");
  if (parts.size() > 1) note += " on " + std::to_string(parts.size()) + " pages";
  pageNotes_[names[0].string()] = note;
  place.parts = parts;
  return first;
}

template <class Item>
void RecoverWorker::CopyAttachments(const std::vector<Item>& messages,
                                    std::vector<ConversationLine>& lines, const fs::path& folder) {
  // The lines are the messages in order, less the live ones when only deleted are written.
  struct Copied {
    LineAttachment* shown;
    uint64_t ticket;
  };
  std::vector<Copied> copied;
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
        if (const uint64_t ticket = QueueMediaCopies(copy, true); ticket != 0) {
          copied.push_back(Copied{&line.attachments[i], ticket});
        }
      }
    }
  }
  if (copied.empty()) return;
  // The page links the copies for browsers: it waits for this conversation's (first in the
  // queue), not for the others'.
  std::vector<uint64_t> tickets;
  for (const Copied& c : copied) tickets.push_back(c.ticket);
  std::vector<MediaCopy> made = mediaCopies_->Wait(tickets);
  std::unordered_map<std::string, LineAttachment*> byLink;
  for (const Copied& c : copied) byLink[c.shown->link] = c.shown;
  for (const MediaCopy& copy : made) {
    if (copy.error != kOk) continue;
    const auto found = byLink.find(UrlPath(copy.original.lexically_relative(folder)));
    if (found == byLink.end()) continue;
    const std::string link = UrlPath(copy.written.lexically_relative(folder));
    switch (copy.kind) {
      case MediaCopy::Kind::kJpeg: found->second->view = link; break;
      case MediaCopy::Kind::kThumbnail: found->second->thumb = link; break;
      case MediaCopy::Kind::kPlayableAudio: found->second->playable = link; break;
      case MediaCopy::Kind::kH264: found->second->h264 = link; break;
    }
  }
  ReportMediaCopies(std::move(made));
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
  const std::string person = PersonLine(conversation.group, label, head, phone);
  CopyAttachments(conversation.messages, lines, folder);
  fs::path text;
  const int32_t textResult = WriteFile(
      folder / (base + ".txt"),
      [&](const fs::path& temp) { return WriteConversationText(temp, head, lines); }, text);
  if (textResult != kOk) Report(100, textResult, text);
  ConversationPlace& place = conversationPlaces_[&conversation];
  place = {};
  if (job_.deletedOnly) {
    uint32_t line = 0;
    for (const MessageItem& m : conversation.messages) place.lineOf.push_back(m.deleted ? line++ : 0);
  }
  const int32_t page =
      WriteConversationPage(sms_, person, head, lines, folder / (base + ".html"), place);
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
  const std::string person =
      PersonLine(chat.group, chat.group ? head.title : chat.title, head, phones);
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
  ConversationPlace& place = conversationPlaces_[&chat];
  place = {};
  if (job_.deletedOnly) {
    uint32_t line = 0;
    for (const ChatMessageItem& m : chat.messages) place.lineOf.push_back(m.deleted ? line++ : 0);
  }
  const int32_t page =
      WriteConversationPage(whatsApp_, person, head, lines, folder / (base + ".html"), place);
  return first != kOk ? first : page;
}

void RecoverWorker::OpenTable(Table& table, const std::string& csvHeader, bool text) {
  // The page's name is taken now, at its first row, so that another run writing into the
  // same folder picks another one; a folder that cannot be written fails every row at once.
  std::error_code ec;
  fs::create_directories(table.folder, ec);
  table.error = table.out.Reserve(table.folder / table.pageName);
  table.page = table.error == kOk ? table.out.path() : table.folder / table.pageName;
  if (table.error == kOk) table.out.Append(table.layout->head);
  // The lists beside it: the page's name with ".csv" (the contacts' own name) and ".txt".
  const std::string stem = table.page.stem().string();
  table.csv = table.page.parent_path() / (table.csvName.empty() ? stem + ".csv" : table.csvName);
  table.csvError = table.csvOut.Reserve(table.csv);
  if (table.csvError == kOk) {
    table.csv = table.csvOut.path();
    table.csvOut.Append("\xEF\xBB\xBF" + csvHeader);
  }
  if (text) {
    table.text = table.page.parent_path() / (stem + ".txt");
    table.textError = table.textOut.Reserve(table.text);
    if (table.textError == kOk) {
      table.text = table.textOut.path();
      table.textOut.Append("\xEF\xBB\xBF");
    }
  }
}

void RecoverWorker::AddTableRow(Table& table, const std::string& html, const std::string& csv,
                                const std::string& text, int32_t error) {
  if (table.error == kOk) table.out.Append(html);
  if (table.csvError == kOk) table.csvOut.Append(csv);
  if (!table.text.empty() && table.textError == kOk) table.textOut.Append(text);
  ++table.count;
  table.rowErrors.push_back(error);
  // The row is reported when its page is on disk (WriteTablePage), not before.
}

void RecoverWorker::AddRow(int32_t code, int32_t deleted, const std::vector<std::string>& cells,
                          bool breakLines) {
  Table* table = nullptr;
  const char* header = nullptr;
  switch (code) {
    case 7:
      table = &contactTable_;
      header = "Name,Phone,Email,Address,Home Page,Social Profile,Company";
      break;
    case 8:
      table = &callTable_;
      header = "Name,Phone Number,Date,Call,Direction,Result,Duration";
      break;
    default:
      table = &noteTable_;
      header = "Title,Folder,Date,Note";
      break;
  }
  if (table->page.empty()) OpenTable(*table, std::string(header) + ",Deleted\r\n", false);
  std::string row = deleted ? "\t<tr class=\"deleted\">" : "\t<tr>";
  for (size_t i = 0; i < cells.size(); ++i) {
    std::string cell = HtmlEscape(cells[i]);
    // The first phone column of a contact holds one number per line.
    if (breakLines && i == 1) cell = ReplaceAll(std::move(cell), "\n", "<br />");
    // The words of a call (its kind, direction, result) in the page's language.
    if (code == 8 && i >= 3) cell = HtmlEscape(PageWordsOf(cells[i]));
    if (deleted && i == 0) {
      cell = "<span class=\"deleted-label\">" + HtmlEscape(PageWord("deleted")) + "</span> " + cell;
    }
    // A call's anchor, for the timeline's links.
    const bool anchor = code == 8 && i == 0;
    row += (anchor ? "<td id=\"r" + std::to_string(table->count) + "\">" : std::string("<td>")) +
           cell + "</td>";
  }
  row += "</tr>\r\n";
  std::string line;
  for (const std::string& cell : cells) line += CsvField(platform::SanitizeUtf8(cell)) + ",";
  line += deleted ? "yes\r\n" : "no\r\n";
  AddTableRow(*table, row, line, {}, kOk);
}

void RecoverWorker::AddNote(const NoteItem& note) {
  Table& table = noteTable_;
  // The files first: the note's page links the names their copies took.
  int32_t error = kOk;
  std::vector<std::string> files(note.attachments.size()), playable(note.attachments.size()),
      view(note.attachments.size());
  std::vector<std::pair<uint64_t, size_t>> tickets;  // media copy ticket, attachment
  std::vector<std::string> paths;
  for (size_t i = 0; i < note.attachments.size(); ++i) {
    const NoteAttachment& a = note.attachments[i];
    if (a.path.empty()) continue;
    std::string name = a.name.empty() ? fs::path(a.path).filename().string() : a.name;
    // A scan's or drawing's rendering is named by the attachment's title: its copy takes the
    // extension of its type, so that it opens.
    for (const auto& [mime, extension] : {std::pair<std::string_view, std::string_view>{
                                              "application/pdf", ".pdf"},
                                          {"image/jpeg", ".jpg"},
                                          {"image/png", ".png"}}) {
      if (a.mime == mime && MimeOfName(name) != a.mime) name += extension;
    }
    fs::path copy;
    const int32_t copied = CopyFile(a.path, table.folder / "files" / SafeFileName(name), &copy);
    // A note cut short by a stop is left out: its page never names a file that is not there.
    if (IsStopped(copied) || (copied != kOk && stopped_)) return;
    if (copied != kOk) {
      if (error == kOk) error = copied;
      continue;
    }
    const fs::path relative = copy.lexically_relative(table.folder);
    files[i] = UrlPath(relative);
    paths.push_back(relative.generic_string());
    // Pictures get their copies for browsers (a JPEG of a HEIC) before the page is written.
    if (a.mime.starts_with("image/")) {
      if (const uint64_t ticket = QueueMediaCopies(copy, true); ticket != 0) tickets.emplace_back(ticket, i);
    }
    if (a.kind == "audio" && ShowOf(name, a.mime) == FileShow::kAudio && !stopped_) {
      RowFileLink link{name, a.mime, files[i], {}, {}};
      const int32_t made = WritePlayableCopy(copy, table.folder, link, paths);
      if (error == kOk) error = made;
      playable[i] = link.playable;
    }
  }
  if (!tickets.empty() && mediaCopies_) {
    std::vector<uint64_t> waited;
    for (const auto& [ticket, at] : tickets) waited.push_back(ticket);
    std::vector<MediaCopy> made = mediaCopies_->Wait(waited);
    for (const MediaCopy& m : made) {
      if (m.error != kOk || m.kind != MediaCopy::Kind::kJpeg) continue;
      const std::string original = UrlPath(m.original.lexically_relative(table.folder));
      for (const auto& [ticket, at] : tickets) {
        if (files[at] == original) view[at] = UrlPath(m.written.lexically_relative(table.folder));
      }
    }
    ReportMediaCopies(std::move(made));
  }
  if (table.page.empty()) OpenTable(table, "Title,Folder,Date,Note,Deleted\r\n", true);
  const std::vector<std::string> cells = {note.title, note.folder, note.date, note.body};
  std::string row = note.deleted ? "\t<tr class=\"deleted\">" : "\t<tr>";
  for (size_t i = 0; i < cells.size(); ++i) {
    std::string cell = HtmlEscape(cells[i]);
    if (i == 3 && !note.paragraphs.empty()) {
      notes::NoteHtmlLinks links;
      links.file = [&](size_t at) { return files[at]; };
      links.playable = [&](size_t at) { return playable[at]; };
      links.view = [&](size_t at) { return view[at]; };
      links.word = [](std::string_view w) { return PageWord(std::string(w)); };
      cell = "<div class=\"note-content\">" + notes::NoteHtml(note, links) + "</div>";
    }
    if (note.deleted && i == 0) {
      cell = "<span class=\"deleted-label\">" + HtmlEscape(PageWord("deleted")) + "</span> " + cell;
    }
    row += (i == 0 ? "<td id=\"r" + std::to_string(table.count) + "\">" : std::string("<td>")) +
           cell + "</td>";
  }
  row += "</tr>\r\n";
  // The CSV keeps the note as stored.
  std::string line;
  for (const std::string& cell : cells) line += CsvField(platform::SanitizeUtf8(cell)) + ",";
  line += note.deleted ? "yes\r\n" : "no\r\n";
  // The text file: the note as written, its attachments named at their place.
  std::string text = "Title: " + note.title + "\r\nFolder: " + note.folder + "\r\n";
  if (!note.account.empty()) text += "Account: " + note.account + "\r\n";
  text += "Date: " + note.date + "\r\nDeleted: " + (note.deleted ? "yes" : "no") + "\r\n";
  for (size_t i = 0; i < paths.size(); ++i) text += (i == 0 ? "Files: " : ", ") + paths[i];
  if (!paths.empty()) text += "\r\n";
  text += "\r\n" + ReplaceAll(notes::NoteText(note), "\n", "\r\n") + "\r\n\r\n";
  AddTableRow(table, row, line, platform::SanitizeUtf8(text), error);
}

int32_t RecoverWorker::WritePlayableCopy(const fs::path& sound, const fs::path& folder,
                                         RowFileLink& link, std::vector<std::string>& paths) {
  if (media::IsBrowserPlayableAudio(sound)) return kOk;
  const fs::path wanted = media::PlayableAudioName(sound);
  const media::Outcome made = media::ConvertAudio(sound, wanted);
  if (!made.ok()) {
    // The original stays, with the reason the page gives for the missing player.
    link.problem = made.reason;
    ReportFailure(made.error, wanted, made.reason);
    return made.error;
  }
  Written(made.written);
  Report(100, kOk, made.written);
  const fs::path relative = made.written.lexically_relative(folder);
  link.playable = UrlPath(relative);
  paths.push_back(relative.generic_string());
  return kOk;
}

void RecoverWorker::AddCategoryRow(ScanCategory category, const TableRow& row) {
  const int index = TableIndexOf(category);
  if (job_.tables == nullptr || index < 0 || size_t(index) >= job_.tables->size() ||
      size_t(index) >= categoryTables_.size()) {
    ItemOutcome(kInvalidParameter);
    return;
  }
  const CategoryTable& source = (*job_.tables)[size_t(index)];
  const TableCategory& kind = *TableCategories()[size_t(index)];
  Table& table = categoryTables_[size_t(index)];
  if (table.layout == nullptr) {
    const std::string title = kind.title;
    const std::string name = SafeFileName(title);
    table.folder = job_.destination / name;
    table.pageName = name + "_" + summary_.stamp + ".html";
    table.own.head =
        ReplaceAll(table_.head, kTitleMarker,
                   HtmlEscape("iPhone's " + title + " of " + job_.deviceName)) +
        TableHeadHtml(source);
    table.own.tail = std::string(kTableTailHtml) + table_.tail;
    table.layout = &table.own;
    table.kind = TableCategories()[size_t(index)];
    table.source = &source;
    if (kind.views != nullptr) {
      table.views = kind.views(source);
      table.viewsOfRow.assign(source.rows.size(), {});
      // One folder per view: a view named like another or like the folders beside them gets a
      // number; the views the category always has take their names first.
      std::set<std::string> taken = {"files", "thumbnails"};
      table.viewPages.resize(table.views.size());
      for (const bool fixed : {true, false}) {
        for (size_t v = 0; v < table.views.size(); ++v) {
          if (table.views[v].key.empty() == fixed) continue;
          const std::string base = SafeFileName(table.views[v].title);
          std::string folder = base;
          for (int n = 2; !taken.insert(platform::AsciiLower(folder)).second; ++n)
            folder = base + " (" + std::to_string(n) + ")";
          table.viewPages[v].folder = table.folder / folder;
        }
      }
      for (size_t v = 0; v < table.views.size(); ++v) {
        for (size_t r : table.views[v].rows) {
          if (r < table.viewsOfRow.size()) table.viewsOfRow[r].push_back(v);
        }
      }
    }
  }
  // The views that hold the row (none for a category without views).
  std::vector<size_t> rowViews;
  if (!source.rows.empty() && &row >= source.rows.data() &&
      &row < source.rows.data() + source.rows.size()) {
    const size_t at = size_t(&row - source.rows.data());
    if (at < table.viewsOfRow.size()) rowViews = table.viewsOfRow[at];
  }
  const std::vector<FileFiling> filing =
      kind.filing != nullptr ? kind.filing(source, row) : std::vector<FileFiling>();
  // The files first: the row's line links the names their copies took.
  int32_t error = kOk;
  std::vector<RowFileLink> links;
  std::vector<std::vector<RowFileLink>> viewLinks(rowViews.size());
  std::vector<std::string> paths;
  fs::path firstCopy;  // the copy of the row's first file (what the timeline links)
  for (size_t i = 0; i < row.files.size(); ++i) {
    const OwnedFile& f = row.files[i];
    RowFileLink link{f.name, f.mime, {}, {}, {}, {}};
    const std::string wanted =
        SafeFileName(i < filing.size() && !filing[i].name.empty() ? filing[i].name : f.name);
    const fs::path folder =
        rowViews.empty() ? table.folder / "files" : table.viewPages[rowViews.front()].folder;
    fs::path copy;
    const int32_t copied = CopyFile(f.path, folder / wanted, &copy);
    // A row cut short by a stop is left out: its page never names a file that is not there.
    if (IsStopped(copied) || (copied != kOk && stopped_)) return;
    std::vector<fs::path> viewCopies(rowViews.size());
    if (copied == kOk && i == 0) firstCopy = copy;
    if (copied == kOk) {
      // The time the category gives the file on the copy.
      if (i < filing.size() && std::isfinite(filing[i].modified)) {
        const double when = filing[i].modified;
        timespec times[2];
        times[0].tv_sec = time_t(std::floor(when));
        times[0].tv_nsec = long((when - std::floor(when)) * 1e9);
        times[1] = times[0];
        if (::utimensat(AT_FDCWD, copy.c_str(), times, 0) != 0 && error == kOk) {
          error = errno;
          ReportFailure(error, copy, "its date could not be set");
        }
      }
      const fs::path relative = copy.lexically_relative(table.folder);
      link.link = UrlPath(relative);
      paths.push_back(relative.generic_string());
      if (ShowOf(f.name, f.mime) == FileShow::kAudio && !stopped_) {
        const int32_t playable = WritePlayableCopy(copy, table.folder, link, paths);
        if (error == kOk) error = playable;
      }
      // A small picture for the views' pages.
      const FileShow show = ShowOf(f.name, f.mime);
      if (!rowViews.empty() && (show == FileShow::kPicture || show == FileShow::kVideo)) {
        const fs::path thumbs = table.folder / "thumbnails";
        std::error_code ec;
        fs::create_directories(thumbs, ec);
        const media::Outcome thumb =
            media::Thumbnail(copy, thumbs / (copy.filename().string() + ".jpg"));
        if (thumb.ok()) {
          Written(thumb.written);
          link.thumbnail = UrlPath(thumb.written.lexically_relative(table.folder));
        }
      }
      // The copy is the first view's; the other views get a link to it.
      for (size_t v = 0; v < rowViews.size(); ++v) {
        if (v == 0) {
          viewCopies[v] = copy;
          continue;
        }
        fs::path made;
        const int32_t linked =
            LinkCopy(copy, table.viewPages[rowViews[v]].folder / copy.filename(), made);
        if (linked == kOk) {
          Written(made);
          viewCopies[v] = made;
          paths.push_back(made.lexically_relative(table.folder).generic_string());
        } else {
          ReportFailure(linked, table.viewPages[rowViews[v]].folder / copy.filename(),
                        "the file could not be linked into this folder");
          if (error == kOk) error = linked;
        }
      }
    } else if (error == kOk) {
      error = copied;
    }
    for (size_t v = 0; v < rowViews.size(); ++v) {
      RowFileLink own = link;
      const fs::path& viewFolder = table.viewPages[rowViews[v]].folder;
      own.link = viewCopies[v].empty() ? std::string()
                                       : UrlPath(viewCopies[v].lexically_relative(viewFolder));
      if (!link.thumbnail.empty())
        own.thumbnail = "../" + link.thumbnail;
      if (!link.playable.empty()) own.playable = "../" + link.playable;
      viewLinks[v].push_back(std::move(own));
    }
    links.push_back(std::move(link));
  }
  if (table.page.empty()) OpenTable(table, TableCsvHeader(source), true);
  std::string html = TableRowHtml(source, row, links, "r" + std::to_string(table.count));
  RowPlace& place = rowPlaces_[&row];
  place = {&table, table.count, firstCopy};
  if (table.kind->sections.column != nullptr) {
    table.sectionKeys.push_back(SectionOf(source, row, table.kind->sections));
    table.heldRows.push_back(std::move(html));
    html.clear();
  }
  table.rows.push_back(&row);
  AddTableRow(table, html, TableCsvLine(source, row, paths), TableTextBlock(source, row, paths),
              error);
  if (!rowViews.empty()) {
    std::vector<std::string> caption;
    if (kind.viewCaption != nullptr) {
      std::string keys = kind.viewCaption;
      for (size_t at = 0; at <= keys.size();) {
        const size_t comma = std::min(keys.find(',', at), keys.size());
        if (comma > at) caption.push_back(keys.substr(at, comma - at));
        at = comma + 1;
      }
    } else {
      for (const TableColumn& c : source.columns) caption.push_back(c.key);
    }
    for (size_t v = 0; v < rowViews.size(); ++v) {
      Table::ViewPage& page = table.viewPages[rowViews[v]];
      page.rows += GalleryTileHtml(source, row, viewLinks[v], caption);
      ++page.count;
    }
  }
}

int32_t RecoverWorker::LinkCopy(const fs::path& copy, const fs::path& wanted, fs::path& made) {
  std::error_code ec;
  fs::create_directories(wanted.parent_path(), ec);
  if (ec) return ec.value();
  for (int n = 0; n <= 100000; ++n) {
    const fs::path name =
        n == 0 ? wanted
               : wanted.parent_path() / (wanted.stem().string() + "(" + std::to_string(n) + ")" +
                                         wanted.extension().string());
    if (::link(copy.c_str(), name.c_str()) == 0) {
      made = name;
      return kOk;
    }
    if (errno == EEXIST) continue;
    // Where the file system has no hard links, a second copy.
    if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != ENOTSUP) return errno;
    fs::copy_file(copy, name, fs::copy_options::none, ec);
    if (!ec) {
      made = name;
      return kOk;
    }
    if (ec != std::errc::file_exists) return ec.value();
  }
  return EEXIST;
}

void RecoverWorker::WriteViewPages(Table& table, const std::string& title) {
  for (size_t v = 0; v < table.viewPages.size() && v < table.views.size(); ++v) {
    Table::ViewPage& page = table.viewPages[v];
    if (page.count == 0) continue;
    const size_t index = size_t(&table - categoryTables_.data());
    const CategoryTable* source =
        job_.tables != nullptr && index < job_.tables->size() ? &(*job_.tables)[index] : nullptr;
    if (source == nullptr) continue;
    const std::string html =
        ReplaceAll(table_.head, kTitleMarker,
                   HtmlEscape("iPhone's " + title + ": " + table.views[v].title + " of " +
                              job_.deviceName)) +
        std::string(kGalleryHeadHtml) + page.rows + std::string(kGalleryTailHtml) + table_.tail;
    fs::path written = page.folder / "index.html";
    std::error_code ec;
    fs::create_directories(page.folder, ec);
    const int32_t r = ec ? ec.value()
                         : WriteFile(
                               page.folder / "index.html",
                               [&](const fs::path& temp) {
                                 std::ofstream out(temp, std::ios::binary | std::ios::trunc);
                                 out.write(html.data(), std::streamsize(html.size()));
                                 out.flush();
                                 return out ? kOk : (errno != 0 ? errno : EIO);
                               },
                               written);
    if (r == kOk) {
      Written(written);
      pageNotes_[written.string()] = RowsNote(page.count);
    } else {
      Report(100, r, written);
    }
  }
}

void RecoverWorker::WriteTablePage(Table& table) {
  int32_t result = table.error;
  if (result == kOk && table.out.reserved() && !table.heldRows.empty()) {
    // The rows under their headings.
    const PageSections& sections = table.kind->sections;
    const std::vector<size_t> order = SectionOrder(table.sectionKeys, sections);
    for (size_t i = 0; i < order.size(); ++i) {
      const std::string& key = table.sectionKeys[order[i]];
      if (i == 0 || key != table.sectionKeys[order[i - 1]]) {
        table.out.Append(TableSectionHtml(*table.source, sections, key));
      }
      table.out.Append(table.heldRows[order[i]]);
    }
  }
  if (result == kOk && table.out.reserved()) {
    table.out.Append(table.layout->tail);
    result = table.out.Commit();
    if (result != kOk) table.out.Abort();
  }
  if (result == kOk) {
    Written(table.page);
    pageNotes_[table.page.string()] = RowsNote(table.count);
  }
  // One line per row in the detail list, each with the outcome of the page that holds it;
  // the row's outcome is the failure of a file it made, else the page's.
  for (uint32_t i = 0; i < table.count; ++i) {
    Report(100, result, table.page);
    const int32_t own = i < table.rowErrors.size() ? table.rowErrors[i] : kOk;
    progress_.OnItemOutcome(own != kOk ? own : result);
  }
}

void RecoverWorker::CommitList(Table& table, platform::OutputFile& out, int32_t error,
                               const fs::path& path) {
  int32_t result = error;
  if (result == kOk) result = out.Commit();
  if (result == kOk) {
    Written(path);
    pageNotes_[path.string()] = RowsNote(table.count);
  } else {
    out.Abort();
    Report(100, result, path);
  }
}

void RecoverWorker::WriteCategoryFile(Table& table) {
  const CategoryFile& extra = table.kind->extraFile;
  if (extra.name == nullptr || extra.write == nullptr || table.rows.empty()) return;
  fs::path written;
  const int32_t r = WriteFile(
      table.folder / extra.name,
      [&](const fs::path& temp) {
        return WriteWholeFile(temp, extra.write(*table.source, table.rows));
      },
      written);
  if (r != kOk) Report(100, r, written);
}

void RecoverWorker::WriteTableCsv(Table& table) {
  CommitList(table, table.csvOut, table.csvError, table.csv);
  if (!table.text.empty()) CommitList(table, table.textOut, table.textError, table.text);
}

void RecoverWorker::Finish() {
  if (mediaCopies_) {
    if (stopped_) mediaCopies_->Drop();
    ReportMediaCopies(mediaCopies_->Finish());
  }
  if (export_.joinable()) export_.join();
  if (messagesExported_ && !job_.deletedOnly && !job_.narrowed) {
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
  for (size_t i = 0; i < categoryTables_.size(); ++i) {
    Table& table = categoryTables_[i];
    if (table.count == 0) continue;
    WriteTablePage(table);
    WriteTableCsv(table);
    WriteCategoryFile(table);
    WriteViewPages(table, TableCategories()[i]->title);
  }
  if (contactTable_.count > 0) {
    if (contactTable_.out.reserved() && !job_.deletedOnly && !job_.narrowed) {
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
  WriteTimeline();
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
  static constexpr const char* kOrder[] = {"Timeline",
                                           "Message",
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
  // The table categories' folders follow the records, in the order of the tree.
  std::vector<std::string> order(std::begin(kOrder), std::end(kOrder));
  std::vector<std::string> tableFolders;
  for (const TableCategory* c : TableCategories()) tableFolders.push_back(SafeFileName(c->title));
  order.insert(std::find(order.begin(), order.end(), "Camera Roll"), tableFolders.begin(),
               tableFolders.end());
  std::map<std::string, Section> sections;
  for (const fs::path& p : summary_.written) {
    const fs::path rel = p.lexically_relative(job_.destination);
    const std::string top = rel.begin() != rel.end() ? rel.begin()->string() : rel.string();
    Section& s = sections[top];
    bool isCopy = false;
    for (const char* f : kCopyFolders) isCopy = isCopy || top == f;
    const bool isTable =
        std::find(tableFolders.begin(), tableFolders.end(), top) != tableFolders.end();
    // Attachments copied beside a conversation and the files of a table category's rows are
    // reached from their pages; thumbnails from the pages that show them.
    bool attachment = false, thumbnail = false;
    for (const fs::path& part : rel) {
      attachment = attachment || part == "attachments" || (isTable && part == "files");
      thumbnail = thumbnail || part == "thumbs";
    }
    if (attachment && !isCopy) continue;
    // The further parts of a long conversation are reached from its first page.
    if (furtherParts_.count(p.string()) != 0) continue;
    if (isCopy) {
      if (!thumbnail) ++s.copies;
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
      const auto note = pageNotes_.find((job_.destination / rel).string());
      html += "<li><a href=\"" + UrlPath(rel) + "\">" +
              HtmlEscape(rel.lexically_relative(top).generic_string()) + "</a>" +
              (note == pageNotes_.end()
                   ? std::string()
                   : " <span class=\"count\">(" + HtmlEscape(note->second) + ")</span>") +
              "</li>\n";
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

// ----- The timeline page -----------------------------------------------------------------------

std::string RecoverWorker::TimelineLink(const Timeline& timeline,
                                        const TimelineEntry& entry) const {
  const fs::path folder = job_.destination / "Timeline";
  const auto link = [&](const fs::path& page, const std::string& anchor) {
    const std::string path = UrlPath(page.lexically_relative(folder));
    return anchor.empty() ? path : path + "#" + anchor;
  };
  if (entry.category == ScanCategory::kMessages || entry.category == ScanCategory::kWhatsApp) {
    const void* conversation = nullptr;
    if (entry.category == ScanCategory::kMessages && entry.group < timeline.conversations.size())
      conversation = &timeline.conversations[entry.group]->second;
    if (entry.category == ScanCategory::kWhatsApp && entry.group < timeline.chats.size())
      conversation = &timeline.chats[entry.group]->second;
    const auto found = conversationPlaces_.find(conversation);
    if (found == conversationPlaces_.end()) return {};
    const ConversationPlace& place = found->second;
    size_t line = entry.index;
    if (!place.lineOf.empty()) {
      // Only the deleted messages were written.
      if (entry.deleted == 0 || entry.index >= place.lineOf.size()) return {};
      line = place.lineOf[entry.index];
    }
    for (size_t p = 0; p < place.parts.size() && p < place.pages.size(); ++p) {
      if (line < place.parts[p].begin || line >= place.parts[p].end) continue;
      if (place.pages[p].empty()) return {};
      return link(place.pages[p], "m" + std::to_string(line));
    }
    return {};
  }
  const auto found = rowPlaces_.find(TimelineItem(*job_.scan, timeline, entry));
  if (found == rowPlaces_.end()) return {};
  const RowPlace& place = found->second;
  if (!place.file.empty()) return link(place.file, {});
  // A page that failed is not there to link to.
  if (place.table == nullptr || place.table->page.empty() ||
      pageNotes_.count(place.table->page.string()) == 0) {
    return {};
  }
  return link(place.table->page, "r" + std::to_string(place.row));
}

void RecoverWorker::WriteTimeline() {
  if (job_.scan == nullptr) return;
  const ScanResults& scan = *job_.scan;
  const Timeline timeline = BuildTimeline(scan);
  // One entry of the page: its time, category, what happened, and its person and text linked
  // to the item's place on its own page.
  const auto entryHtml = [&](const TimelineEntry& e, const std::string& time,
                             const std::string& link) {
    std::string html = e.deleted ? "<li class=\"deleted\">" : "<li>";
    html += "<span class=\"time\">" + HtmlEscape(time.size() > 11 ? time.substr(11) : time) +
            "</span> <span class=\"category\">" + HtmlEscape(PageWord(CategoryName(e.category))) +
            "</span> <span class=\"what\">" + HtmlEscape(PageWord(TimelineWhatName(e.what))) +
            "</span> ";
    if (e.deleted) {
      html += "<span class=\"deleted-label\">" + HtmlEscape(PageWord("deleted")) + "</span> ";
    }
    const std::string who = TimelineWho(scan, timeline, e);
    const std::string text = TimelineText(scan, timeline, e, 300);
    html += "<a href=\"" + link + "\">";
    if (!who.empty()) html += "<span class=\"who\">" + HtmlEscape(who) + "</span>";
    if (!who.empty() && !text.empty()) html += " ";
    if (!text.empty()) html += "<span class=\"text\">" + HtmlEscape(text) + "</span>";
    if (who.empty() && text.empty()) html += HtmlEscape(PageWord("Open"));
    html += "</a></li>\r\n";
    return html;
  };
  // The entries recovered (those with a place to link to), and their bytes on the page.
  struct Kept {
    uint32_t entry;
    uint32_t bytes;
  };
  std::vector<Kept> kept;
  size_t total = 0;
  for (size_t i = 0; i < timeline.entries.size(); ++i) {
    const TimelineEntry& e = timeline.entries[i];
    const std::string link = TimelineLink(timeline, e);
    if (link.empty()) continue;
    const size_t bytes = entryHtml(e, TimelineTime(scan, timeline, e), link).size();
    kept.push_back({uint32_t(i), uint32_t(bytes)});
    total += bytes;
  }
  if (kept.empty()) return;
  // One page when it fits; else a page per month, a month too big for one in pieces.
  std::vector<ConversationPart> parts;
  const size_t limit = std::max<size_t>(job_.timelineBytesPerPage, 1);
  if (total <= limit) {
    parts.push_back({"", 0, kept.size()});
  } else {
    std::string month;
    size_t bytes = 0;
    int piece = 1;
    for (size_t k = 0; k < kept.size(); ++k) {
      const std::string time =
          TimelineTime(scan, timeline, timeline.entries[kept[k].entry]).substr(0, 7);
      const bool newMonth = parts.empty() || time != month;
      if (newMonth || bytes + kept[k].bytes > limit) {
        piece = newMonth ? 1 : piece + 1;
        month = time;
        bytes = 0;
        parts.push_back({piece == 1 ? month : month + " (" + std::to_string(piece) + ")", k, k});
      }
      bytes += kept[k].bytes;
      parts.back().end = k + 1;
    }
  }
  const fs::path folder = job_.destination / "Timeline";
  std::error_code ec;
  fs::create_directories(folder, ec);
  std::vector<platform::OutputFile> outs(parts.size());
  std::vector<fs::path> names(parts.size());
  std::vector<std::string> links(parts.size());
  std::vector<int32_t> results(parts.size(), kOk);
  for (size_t i = 0; i < parts.size(); ++i) {
    const fs::path name =
        folder / (i == 0 ? std::string("Timeline.html")
                         : SafeFileName("Timeline - " + parts[i].label + ".html"));
    results[i] = ec ? ec.value() : outs[i].Reserve(name);
    names[i] = results[i] == kOk ? outs[i].path() : name;
    links[i] = UrlPath(names[i].filename());
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    int32_t result = results[i];
    platform::OutputFile& out = outs[i];
    if (result == kOk) {
      const std::string nav = PartsNavHtml(parts, links, i);
      out.Append(timeline_.head);
      out.Append(nav);
      std::string day;
      for (size_t k = parts[i].begin; k < parts[i].end; ++k) {
        const TimelineEntry& e = timeline.entries[kept[k].entry];
        const std::string time = TimelineTime(scan, timeline, e);
        // A heading per day, the day's entries beneath it in time order.
        if (k == parts[i].begin || time.compare(0, 10, day) != 0) {
          if (k != parts[i].begin) out.Append("</ul>\r\n");
          day = time.substr(0, 10);
          out.Append("<h2 id=\"d" + HtmlEscape(day) + "\">" + HtmlEscape(day) +
                     "</h2>\r\n<ul class=\"timeline\">\r\n");
        }
        out.Append(entryHtml(e, time, TimelineLink(timeline, e)));
      }
      out.Append("</ul>\r\n");
      out.Append(nav);
      out.Append(timeline_.tail);
      result = out.Commit();
    }
    if (result == kOk) {
      Written(names[i]);
      if (i > 0) furtherParts_.insert(names[i].string());
    } else {
      out.Abort();
    }
    Report(100, result, names[i]);
  }
  std::string note = RowsNote(uint32_t(kept.size()));
  if (parts.size() > 1) note += " on " + std::to_string(parts.size()) + " pages";
  pageNotes_[names[0].string()] = note;
}

int32_t RecoverWorker::Run() {
  if (!loaded_ || !job_.selection) return kInvalidParameter;
  startTime_ = job_.startTime != 0 ? job_.startTime : int64_t(std::time(nullptr));
  summary_ = RecoverSummary{};
  madeFolders_.clear();
  pageNotes_.clear();
  furtherParts_.clear();
  rowPlaces_.clear();
  conversationPlaces_.clear();
  mediaCopies_.reset();
  if (job_.mediaCopies.convert || job_.mediaCopies.convertVideo) {
    mediaCopies_ = std::make_unique<MediaCopyQueue>(job_.mediaCopies);
  }
  summary_.stamp = RecoverStamp(startTime_);
  stopped_ = messagesExported_ = false;
  const auto reset = [](Table& t, const PageTemplate* layout, fs::path folder,
                        std::string pageName, std::string csvName) {
    t.out.Abort(), t.csvOut.Abort(), t.textOut.Abort();
    t = Table{};
    t.layout = layout;
    t.folder = std::move(folder);
    t.pageName = std::move(pageName);
    t.csvName = std::move(csvName);
  };
  const fs::path& destination = job_.destination;
  reset(contactTable_, &contacts_, destination / "Contacts" / summary_.stamp, "Contacts.html",
        "ContactList.csv");
  reset(callTable_, &calls_, destination / "CallHistory",
        "CallHistory_" + summary_.stamp + ".html", {});
  reset(noteTable_, &notes_, destination / "Notes", "Notes_" + summary_.stamp + ".html", {});
  // A table category's table is made at its first row (AddCategoryRow).
  for (Table& t : categoryTables_) t.out.Abort(), t.csvOut.Abort(), t.textOut.Abort();
  categoryTables_.clear();
  categoryTables_.resize(TableCategories().size());
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
        fs::path written;
        const int32_t r = CopyFile(f->path, MediaCopyTarget(dest, entry->categoryCode, *f), &written);
        if (r == kOk) QueueMediaCopies(written, false);
        ItemOutcome(r);
        break;
      }
      case 3:
      case 4: {
        const auto* f = static_cast<const AppFileItem*>(key);
        fs::path written;
        const int32_t r =
            CopyFile(f->path, dest / (entry->categoryCode == 3 ? "App Photos" : "App Video") /
                                  SafeFileName(f->appName) / SafeFileName(f->displayName),
                     &written);
        if (r == kOk) QueueMediaCopies(written, false);
        ItemOutcome(r);
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
        rowPlaces_[key] = {&callTable_, callTable_.count, {}};
        AddRow(8, c->deleted,
               {c->name, c->phone, c->date, CallKindText(*c), CallDirectionText(*c),
                CallOutcomeText(*c), CallDurationText(*c)});
        break;
      }
      case 9: {
        const uint32_t before = noteTable_.count;
        AddNote(*static_cast<const NoteItem*>(key));
        if (noteTable_.count > before) rowPlaces_[key] = {&noteTable_, before, {}};
        break;
      }
      case 10:
        ItemOutcome(WriteChat(*static_cast<const ChatMessageItem*>(key)));
        break;
      default: {
        const ScanCategory category = ScanCategory(entry->categoryCode);
        if (TableCategoryOf(category) != nullptr) {
          AddCategoryRow(category, *static_cast<const TableRow*>(key));
        }
        break;
      }
    }
    if (mediaCopies_) ReportMediaCopies(mediaCopies_->Take());
  }
  KeepCopiedAhead();
  Finish();
  summary_.stopped = stopped_;
  return stopped_ ? kStopped : kOk;
}

}  // namespace halvern
