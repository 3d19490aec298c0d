// Recover to folder: writes every selected item of a scan into one folder tree under the
// destination the user chose.
//
//   <destination>/
//     index.html                                   links to every page and folder below
//     Camera Roll/<name>          Photo Stream/<name>
//     App Photos/<app>/<name>     App Video/<app>/<name>
//     Message Attachments/<name>  WhatsApp Attachments/<name>
//     Message/<label>-<stamp>/<label>(<phone>).txt, .html      one folder per conversation
//                                (a group: <title>.txt, .html), attachments/<name> its files
//     Message/sms.csv                              every row of the message table
//     WhatsApp Message/<label>-<stamp>/<label>.txt, .csv, .html, attachments/<name>
//     Contacts/<stamp>/Contacts.html, ContactList.csv, Contacts.csv
//                                                  (Contacts.csv: every row of the address book)
//     CallHistory/CallHistory_<stamp>.html, .csv
//     Notes/Notes_<stamp>.html, .csv
//     Timeline/Timeline.html                       every dated item recovered, day by day
//                                (oldest first), each linked to its place on its own page; a
//                                timeline too big for one page is one page per month
//                                ("Timeline - 2021-09.html", a month too big in numbered
//                                pieces), every part linking to the others
//     <Title>/<Title>_<stamp>.html, .csv, .txt    one folder per table category (Voicemail,
//                                Voice Memos, ...): its rows (export/table_pages.h), and
//                                files/<name> the files the rows own, with a copy browsers play
//                                beside a sound they cannot ("12.amr" -> "12.amr.m4a")
//                                A category with views (categories/category.h)
//                                files them as <Title>/<view>/<name>, a file in several views
//                                written once and linked into the others, named and dated as
//                                the category says, with <view>/index.html the view's page
//                                (thumbnails from <Title>/thumbnails/)
//
// The table pages mark each deleted row (the orange of the deleted bubbles and a "deleted"
// label); their CSV files (UTF-8 with a byte-order mark, CR LF, a header line, RFC 4180) hold
// the same rows with a "Deleted" column. With `deletedOnly` (or `narrowed`) the raw exports of
// the message table (sms.csv) and of the address book (Contacts.csv), which hold every row of
// their table, are left out, and a conversation's files hold only its deleted messages.
//
// <stamp> is the local start time "YYYYMMDDhhmmss". A name that exists already gets "(1)",
// "(2)", ... before its extension; nothing of the destination is ever replaced: every page is
// created with O_CREAT|O_EXCL, written under a temporary name beside it and renamed when whole,
// every copy is written without a name and linked under a free one when whole
// (platform/output_file.h), so runs into one folder at once never take each other's names and
// a stopped or failed file leaves nothing under a real name. Pages are filled into the
// templates of the program's "template" folder.
//
// Progress: every file copied and every page written is reported through RecoverProgress;
// a non-zero answer stops the run (the file being copied is removed, the pages collected so
// far and the index are still written) and Run returns kStopped, a code no failure (errno)
// can take. Failures are reported with their own code (an errno value or a contract code) and
// never read as a stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "engine/scan_sequence.h"
#include "export/conversation_parts.h"
#include "export/media_copies.h"
#include "export/table_pages.h"
#include "export/writers.h"
#include "platform/output_file.h"
#include "selection/statistics.h"
#include "timeline/timeline.h"

namespace halvern {

// The one progress routine of a recover run. The window and the command line implement it.
class RecoverProgress {
 public:
  virtual ~RecoverProgress() = default;
  // `percent` of the file `path` (100: the file is done, with `error` 0 or its failure).
  // Return 0 to go on, non-zero to stop.
  virtual int32_t OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) = 0;
  // The file `path` failed with `error` and a sentence of the run's own that says why (a sound
  // that could not be converted, ...): a report of 100 percent with that error, the sentence
  // for the detail list beside the error's text.
  virtual int32_t OnRecoverFailure(int32_t error, const std::string& path,
                                   const std::string& /*reason*/) {
    return OnRecoverProgress(100, error, path);
  }
  // One selected item is done: 0 when every file it makes is complete on disk, else the
  // first failure. A table row (contact, call, note, a row of a table category) is done when
  // its page is written, and with the failure of a file it made (its copies) if one failed.
  // Items the run never reached (it was stopped) get no outcome.
  virtual void OnItemOutcome(int32_t /*error*/) {}
  // A copy for browsers of a recovered file is made, or failed (its reason given). Its
  // original is whole on disk either way: a failed copy is no failed file and no failed item.
  virtual void OnMediaCopy(const MediaCopy& /*copy*/) {}
};

// The counting every front end needs: one outcome per file reported at 100 percent.
class RecoverTally : public RecoverProgress {
 public:
  struct Outcome {
    std::string path;
    int32_t error = 0;
    std::string reason;  // the run's own sentence for a failure ("" when it gave none)
  };
  int32_t OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) override;
  // Counted as a report of 100 percent; the reason is kept with the outcome (the first one of
  // outcomes() when OnReport hears of it).
  int32_t OnRecoverFailure(int32_t error, const std::string& path,
                           const std::string& reason) override;
  // Called for every report after it was counted; the answer is the report's answer.
  virtual int32_t OnReport(int32_t /*percent*/, int32_t /*error*/, const std::string& /*path*/) {
    return 0;
  }
  void OnItemOutcome(int32_t error) override {
    (error == 0 ? itemsWritten_ : itemsFailed_)++;
  }
  void OnMediaCopy(const MediaCopy& copy) override {
    if (copy.error == 0) {
      ++copiesMade_;
    } else {
      copyFailures_.push_back(copy);
    }
  }
  uint32_t doneCount() const { return done_; }
  uint32_t failedCount() const { return failed_; }
  // Items whose files are all complete on disk, and items with a failure.
  uint32_t itemsWritten() const { return itemsWritten_; }
  uint32_t itemsFailed() const { return itemsFailed_; }
  // Failed files first, most recent first; then the successful ones in order.
  const std::vector<Outcome>& outcomes() const { return outcomes_; }
  // Copies for browsers made, and those that failed (with their reasons), in order.
  uint32_t copiesMade() const { return copiesMade_; }
  const std::vector<MediaCopy>& copyFailures() const { return copyFailures_; }

 private:
  uint32_t copiesMade_ = 0;
  std::vector<MediaCopy> copyFailures_;
  uint32_t done_ = 0;
  uint32_t failed_ = 0;
  uint32_t itemsWritten_ = 0;
  uint32_t itemsFailed_ = 0;
  std::vector<Outcome> outcomes_;
};

// "Success", or a sentence for a failure code (the contract's codes and errno values).
std::string RecoverStatusText(int32_t error);

// Files of a run copied before it starts. A scan has the Camera Roll and the Photo Stream long
// before it has read the databases; copying them meanwhile (on the thread that waits for the
// scan) puts that time beside the scan's instead of after it. Each file is copied as the run
// would copy it (same folder, same next-free-name rule, nothing left of a stopped or failed
// copy); the run then reports it in its place, counts its item, and does not copy it again.
class CopiesAhead {
 public:
  // Copies `files` of the media category `categoryCode` (1 Camera Roll, 2 Photo Stream,
  // 6 Message Attachments, 11 WhatsApp Attachments) to where a run into `destination` puts
  // them. 0, or kStopped when `stop` answered true (the file being copied is removed, those
  // before it stay). A file that fails is kept with its failure, for the run to report.
  int32_t Copy(IPhoneRecoveryParse& engine, const fs::path& destination, int32_t categoryCode,
               const std::vector<MediaFileItem>& files, const std::function<bool()>& stop);
  // Files whole on disk.
  size_t copied() const { return copied_; }

 private:
  friend class RecoverWorker;
  struct Copied {
    int32_t error = 0;
    fs::path written;   // the name the copy took (the wanted one when it failed)
    bool taken = false; // the run has reported it
  };
  static std::string Key(const fs::path& source, const fs::path& target);
  std::unordered_map<std::string, Copied> copies_;
  std::vector<std::string> order_;  // keys in the order copied
  size_t copied_ = 0;
};

// Where a run puts a file of the media category `categoryCode` (1, 2, 6, 11).
fs::path MediaCopyTarget(const fs::path& destination, int32_t categoryCode,
                         const MediaFileItem& file);

// What a recover run needs.
struct RecoverJob {
  IPhoneRecoveryParse* engine = nullptr;  // copies files, writes the raw row exports
  const MessageMap* messages = nullptr;   // the conversations of the scan
  const ChatMap* chats = nullptr;         // the WhatsApp chats of the scan
  // The table categories of the scan (ScanResults::tables): the rows the selection keys, with
  // the columns they are written by.
  const std::vector<CategoryTable>* tables = nullptr;
  const CStatisticsObj* selection = nullptr;
  fs::path destination;
  fs::path templateFolder;  // the folder holding the five templates
  std::string deviceName;   // backup display name or device name
  int64_t startTime = 0;    // Unix time of the stamp; 0: now
  // Copies for browsers beside the copied files (export/media_copies.h), made on a thread of
  // their own and reported through OnMediaCopy; none unless a front end asks.
  MediaCopyOptions mediaCopies{false, false};
  bool deletedOnly = false;  // only deleted items are selected; conversations write only those
  // A person or a span of days narrowed the items (the conversations hold only the kept
  // messages): the raw exports holding every row of their table are left out.
  bool narrowed = false;
  // Files copied before the run (the run reports them and copies only the others); may be null.
  CopiesAhead* ahead = nullptr;
  // The scan the items come from: with it, the run writes the timeline page of the items it
  // recovered (timeline/timeline.h); none without it.
  const ScanResults* scan = nullptr;
  // The most bytes of entries one timeline page holds before the timeline is split by month.
  size_t timelineBytesPerPage = kMessageBytesPerPage;
};

struct RecoverSummary {
  std::string stamp;
  fs::path index;                 // the index page written (empty when none)
  std::vector<fs::path> written;  // pages, text and CSV files, and copies, in order
  bool stopped = false;
};

class RecoverWorker {
 public:
  RecoverWorker(RecoverJob job, RecoverProgress& progress);
  ~RecoverWorker();
  RecoverWorker(const RecoverWorker&) = delete;
  RecoverWorker& operator=(const RecoverWorker&) = delete;

  // Loads the six templates. 0, or 87 with the missing one in `missing`.
  int32_t LoadTemplates(std::string* missing = nullptr);
  // The run: 0, or kStopped when a report asked to stop; 87 before the templates loaded.
  int32_t Run();
  const RecoverSummary& summary() const { return summary_; }

 private:
  int32_t Report(int32_t percent, int32_t error, const fs::path& path);
  // The result of the copy; `written` (if given) receives the name the copy took.
  int32_t CopyFile(const fs::path& source, const fs::path& target, fs::path* written = nullptr);
  // A file copied ahead (job_.ahead), reported as CopyFile would; false when it was not.
  bool TakeCopiedAhead(const fs::path& source, const fs::path& target, int32_t& result,
                       fs::path* written);
  // After a stop, the files copied ahead that the run never reached: whole on disk, so listed
  // and counted as written.
  void KeepCopiedAhead();
  // A failure with the run's own sentence for it (see RecoverProgress::OnRecoverFailure).
  void ReportFailure(int32_t error, const fs::path& path, const std::string& reason);
  // Beside the copy `sound`, a copy browsers play when they cannot play the sound itself; its
  // link (relative to `folder`) or the reason there is none goes to `link`. 0 when none was
  // needed or it was made, else the conversion's failure (reported).
  int32_t WritePlayableCopy(const fs::path& sound, const fs::path& folder, RowFileLink& link,
                            std::vector<std::string>& paths);
  // Hands a copied file to the copies for browsers (the run goes on); `urgent` for a file a
  // page waits for. The queue's ticket, or 0.
  uint64_t QueueMediaCopies(const fs::path& copied, bool urgent);
  // Reports copies for browsers (each made one is a file written).
  void ReportMediaCopies(std::vector<MediaCopy> copies);
  int32_t WriteConversation(const MessageItem& row);
  int32_t WriteChat(const ChatMessageItem& row);
  void ItemOutcome(int32_t error);
  // Copies the attachments of `lines` that the backup holds into folder/attachments and
  // links them from the lines.
  template <class Item>
  void CopyAttachments(const std::vector<Item>& messages, std::vector<ConversationLine>& lines,
                       const fs::path& folder);
  // The conversation's page, in parts when it is long (export/conversation_parts.h): the
  // first part takes `path`'s name, the others "<stem> - <part>.html" beside it.
  // Where a conversation's messages landed: the parts' pages (empty where one failed) and the
  // lines each part holds; a message's anchor on its page is "m<line>".
  struct ConversationPlace {
    std::vector<fs::path> pages;
    std::vector<ConversationPart> parts;
    std::vector<uint32_t> lineOf;  // with only deleted messages written: the line of each one
  };
  int32_t WriteConversationPage(const PageTemplate& page, const std::string& person,
                                const ConversationHead& head,
                                const std::vector<ConversationLine>& lines,
                                const fs::path& path, ConversationPlace& place);
  void AddRow(int32_t code, int32_t deleted, const std::vector<std::string>& cells,
              bool breakLines = false);
  // A note: its attachments copied beside the page (recordings made playable), then its row
  // with the note as written (headings, lists, ticks, tables, pictures in place), its CSV line
  // as stored and its text in the .txt.
  void AddNote(const NoteItem& note);
  // A row of a table category: its files copied (and made playable), then its line in the
  // page, the CSV list and the text file. The outcome comes with the page (WriteTablePage).
  void AddCategoryRow(ScanCategory category, const TableRow& row);
  struct Table;
  // Takes the table's file names at its first row (folder made, page head and CSV header
  // written); `text` also reserves the .txt beside them.
  void OpenTable(Table& table, const std::string& csvHeader, bool text);
  // Adds one made row; `error` is the failure of a file the row makes besides its lines.
  void AddTableRow(Table& table, const std::string& html, const std::string& csv,
                   const std::string& text, int32_t error);
  // Commits a list beside the page (CSV or text); a failure is reported on its own.
  void CommitList(Table& table, platform::OutputFile& out, int32_t error, const fs::path& path);
  void Finish();
  void WriteTablePage(Table& table);
  // The CSV list and the text file of a table.
  void WriteTableCsv(Table& table);
  // The file a table category writes beside its page (a calendar file), when it has one.
  void WriteCategoryFile(Table& table);
  // Writes one whole file through platform::WriteOutputFile; the final name on success.
  int32_t WriteFile(const fs::path& wanted, const std::function<int32_t(const fs::path&)>& write,
                    fs::path& written);
  void WriteIndex();
  void Written(const fs::path& path);
  // The raw row export of the message table reads the whole database again: it runs on the
  // other core while the files are copied, into a hidden file of the destination that
  // becomes Message/sms.csv at the finish (and is removed when no conversation was written).
  void StartMessagesExport();
  int32_t WriteMessagesExport(const fs::path& temp);

  RecoverJob job_;
  RecoverProgress& progress_;
  RecoverSummary summary_;
  int64_t startTime_ = 0;
  bool loaded_ = false;
  bool stopped_ = false;
  bool messagesExported_ = false;
  PageTemplate calls_, notes_, contacts_, sms_, whatsApp_, table_;
  // The table pages (contacts, calls, notes, and one per table category) and their CSV lists
  // (and a table category's text file): the files reserved at the first row (O_CREAT|O_EXCL,
  // next free name on a clash), each row written through as it comes, and all committed at
  // the finish; the error when a reservation failed.
  struct Table {
    // What the table is.
    const PageTemplate* layout = nullptr;  // the page's template
    PageTemplate own;                      // a table category's: titled, with its header row
    fs::path folder;
    std::string pageName;
    std::string csvName;  // "" the page's name with ".csv"
    // The files.
    fs::path page;
    platform::OutputFile out;
    int32_t error = 0;
    fs::path csv;
    platform::OutputFile csvOut;
    int32_t csvError = 0;
    fs::path text;
    platform::OutputFile textOut;
    int32_t textError = 0;
    uint32_t count = 0;
    std::vector<int32_t> rowErrors;  // per row, the failure of a file it made besides its lines
    // A table category's: its description and table, its rows as recovered (for the file beside
    // the page), and, when its page groups rows under headings, the rows' heading and markup,
    // held until the page's end.
    const TableCategory* kind = nullptr;
    const CategoryTable* source = nullptr;
    std::vector<const TableRow*> rows;
    std::vector<std::string> sectionKeys, heldRows;

    // A table category with views (categories/category.h): the views, the views of each row
    // (by its index in the table), and per view its folder and the rows of its page.
    std::vector<CategoryView> views;
    std::vector<std::vector<size_t>> viewsOfRow;
    struct ViewPage {
      fs::path folder;
      std::string rows;
      uint32_t count = 0;
    };
    std::vector<ViewPage> viewPages;
  };
  // The pages of a table category's views: <folder>/<view>/index.html.
  void WriteViewPages(Table& table, const std::string& title);
  // A second name for a copy (a hard link; a copy where links cannot be made) at `wanted` or
  // the next free name; the name taken in `made`.
  int32_t LinkCopy(const fs::path& copy, const fs::path& wanted, fs::path& made);
  Table contactTable_, callTable_, noteTable_;
  // Where each recovered call, note and table row landed (its table and its row's number, the
  // anchor "r<row>" on the page; a row whose first file was copied: that copy), and each
  // conversation (by the Conversation or ChatConversation), for the timeline page.
  struct RowPlace {
    const Table* table = nullptr;
    uint32_t row = 0;
    fs::path file;
  };
  std::unordered_map<const void*, RowPlace> rowPlaces_;
  std::unordered_map<const void*, ConversationPlace> conversationPlaces_;
  // The link of a recovered item from the timeline's folder ("" when it was not recovered or
  // its page failed).
  std::string TimelineLink(const Timeline& timeline, const TimelineEntry& entry) const;
  void WriteTimeline();
  PageTemplate timeline_;
  std::vector<Table> categoryTables_;  // one per entry of TableCategories()
  std::vector<fs::path> copyFolders_;
  std::unordered_set<std::string> madeFolders_;  // folders of copies made (or found) already
  std::unique_ptr<MediaCopyQueue> mediaCopies_;
  // What the index says of a conversation page (its messages and parts), by the page's path;
  // the further parts of a long conversation, which the index leaves to its first page.
  std::unordered_map<std::string, std::string> pageNotes_;
  std::unordered_set<std::string> furtherParts_;
  std::thread export_;
  platform::OutputFile exported_;
  int32_t exportResult_ = 0;
};

}  // namespace halvern
