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
//     Contacts/<stamp>/Contacts.html, Contacts.csv  (.csv: every row of the address book)
//     CallHistory/CallHistory_<stamp>.html
//     Notes/Notes_<stamp>.html
//
// <stamp> is the local start time "YYYYMMDDhhmmss". A name that exists already gets "(1)",
// "(2)", ... before its extension; nothing of the destination is ever replaced. Pages are
// filled into the templates of the program's "template" folder.
//
// Progress: every file copied and every page written is reported through RecoverProgress;
// a non-zero answer stops the run (the file being copied is removed, the pages collected so
// far and the index are still written).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "export/writers.h"
#include "selection/statistics.h"

namespace halvern {

// The one progress routine of a recover run. The window and the command line implement it.
class RecoverProgress {
 public:
  virtual ~RecoverProgress() = default;
  // `percent` of the file `path` (100: the file is done, with `error` 0 or its failure).
  // Return 0 to go on, non-zero to stop.
  virtual int32_t OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) = 0;
};

// The counting every front end needs: one outcome per file reported at 100 percent.
class RecoverTally : public RecoverProgress {
 public:
  struct Outcome {
    std::string path;
    int32_t error = 0;
  };
  int32_t OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) override;
  // Called for every report after it was counted; the answer is the report's answer.
  virtual int32_t OnReport(int32_t /*percent*/, int32_t /*error*/, const std::string& /*path*/) {
    return 0;
  }
  uint32_t doneCount() const { return done_; }
  uint32_t failedCount() const { return failed_; }
  // Failed files first, most recent first; then the successful ones in order.
  const std::vector<Outcome>& outcomes() const { return outcomes_; }

 private:
  uint32_t done_ = 0;
  uint32_t failed_ = 0;
  std::vector<Outcome> outcomes_;
};

// "Success", or a sentence for a failure code (the contract's codes and errno values).
std::string RecoverStatusText(int32_t error);

// What a recover run needs.
struct RecoverJob {
  IPhoneRecoveryParse* engine = nullptr;  // copies files, writes the raw row exports
  const MessageMap* messages = nullptr;   // the conversations of the scan
  const ChatMap* chats = nullptr;         // the WhatsApp chats of the scan
  const CStatisticsObj* selection = nullptr;
  bool deletedOnly = false;  // conversations: write only their deleted messages
  fs::path destination;
  fs::path templateFolder;  // the folder holding the five templates
  std::string deviceName;   // backup display name or device name
  int64_t startTime = 0;    // Unix time of the stamp; 0: now
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

  // Loads the five templates. 0, or 87 with the missing one in `missing`.
  int32_t LoadTemplates(std::string* missing = nullptr);
  // The run: 0, or 2 when a report asked to stop; 87 before the templates loaded.
  int32_t Run();
  const RecoverSummary& summary() const { return summary_; }

 private:
  int32_t Report(int32_t percent, int32_t error, const fs::path& path);
  // The copy written ("" when it failed or was stopped).
  fs::path CopyFile(const fs::path& source, const fs::path& target);
  void WriteConversation(const MessageItem& row);
  void WriteChat(const ChatMessageItem& row);
  // Copies the attachments of `lines` that the backup holds into folder/attachments and
  // links them from the lines.
  template <class Item>
  void CopyAttachments(const std::vector<Item>& messages, std::vector<ConversationLine>& lines,
                       const fs::path& folder);
  void WriteConversationPage(const PageTemplate& page, const std::string& person,
                             const ConversationHead& head,
                             const std::vector<ConversationLine>& lines, const fs::path& path);
  void AddRow(int32_t code, const std::vector<std::string>& cells, bool breakLines = false);
  void Finish();
  void WriteTablePage(const PageTemplate& page, const std::string& rows, const fs::path& path);
  void WriteIndex();
  void Written(const fs::path& path);

  RecoverJob job_;
  RecoverProgress& progress_;
  RecoverSummary summary_;
  int64_t startTime_ = 0;
  bool loaded_ = false;
  bool stopped_ = false;
  bool messagesExported_ = false;
  PageTemplate calls_, notes_, contacts_, sms_, whatsApp_;
  // Rows and paths of the three table pages (code 7 contacts, 8 calls, 9 notes).
  std::string contactRows_, callRows_, noteRows_;
  fs::path contactPage_, callPage_, notePage_;
  uint32_t contactCount_ = 0, callCount_ = 0, noteCount_ = 0;
  std::vector<fs::path> copyFolders_;
};

}  // namespace halvern
