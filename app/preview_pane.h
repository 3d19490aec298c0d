// The preview pane at the right of the scan page: a note as formatted text, a conversation or
// a WhatsApp chat as speech bubbles, a contact as a card, and a picture, sound or video file
// of the backup, pictures inside the pane and sound and video through the players `Player1`
// and `Player` beside the program.
//
// The scan page hands it the item of the selected list row through PreviewItem; everything
// runs on the user-interface thread. A media file is first copied out of the backup to the
// preview file; a file above 65536 bytes is copied inside the extraction window.
#pragma once

#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QTextEdit>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"
#include "export/writers.h"
#include "ui/notify.h"
#include "ui/skin.h"

namespace halvern {
class BackupSession;
}

namespace halvern::app {

// What the pane shows of the current preview file.
enum PreviewKind : int32_t {
  kPreviewNothing = 0,
  kPreviewPicture = 1,
  kPreviewSound = 2,
  kPreviewVideo = 3
};

inline constexpr int kImageTimerId = 100;
inline constexpr int kImageTimerMs = 100;
inline constexpr int kImageRetries = 5;  // a picture gets one try and up to six more
inline constexpr uint64_t kExtractWindowAbove = 65536;

class CPreviewVrtWnd : public QObject, public ui::NotifyTarget {
  Q_OBJECT
 public:
  // `owner` owns the pane's pop-ups (the extraction window, the information box).
  CPreviewVrtWnd(QWidget* owner, BackupSession& session);
  ~CPreviewVrtWnd() override;

  // Finds the pane's controls below `root` (the scan page). False with the missing names.
  bool BindPane(QWidget* root, QStringList* missing = nullptr);
  void ApplyPaneTexts();

  // show false: hide the switch and the pane; true: show both, and either the rich text
  // (`rich`) or the bubble list.
  void SetPaneView(bool show, bool rich);
  // Empties and hides the pane (scan page emptied, scan start, Home).
  void ResetPane();

  // The row selection: `item` is the address of the selected row's item in the scan results
  // (MediaFileItem, AppFileItem, MessageItem or ChatMessageItem row, ContactItem, NoteItem,
  // CallItem); `appFilesLevel` tells whether an app category's list shows one app's files.
  // A null item does nothing.
  void PreviewItem(ScanCategory category, const void* item, bool appFilesLevel,
                   const ScanResults& results);

  // The views.
  void ShowNote(const NoteItem& note);
  void ShowConversation(const Conversation& conversation);
  void ShowChat(const ChatConversation& chat);
  void ShowContactCard(const ContactItem& contact);
  void PreviewMediaFile(const std::string& path, const QString& displayName);
  // Shows the current preview file (run when WM_PREVIEW_READY arrives).
  void ShowPreview();

  void Notify(const ui::Notification& n) override;

  // Ends the players this pane started (never any other process).
  void EndPlayers();
  // Process ids of the players that still run.
  std::vector<qint64> RunningPlayers() const;

  // State, read by tests.
  const std::string& PreviewFile() const { return previewFile_; }
  PreviewKind Kind() const { return previewKind_; }
  int ImageRetries() const { return imageRetries_; }
  QTextEdit* PreviewEdit() const { return edit_; }
  QListWidget* MessagesList() const { return list_; }

  // Where the players lie; the program's folder by default.
  QString playerFolder;
  // Runs the extraction window over `dataFile`; returns its close code (1 done, 2 stopped)
  // and fills `previewPath`. Replaceable for tests.
  std::function<int(const std::string& dataFile, const QString& displayName,
                    std::string& previewPath)>
      runExtractionWindow;

 protected:
  bool event(QEvent* e) override;

 private:
  // `lines` with the attachments' data files as their links (pictures show in the bubble).
  void ShowBubbles(const ConversationHead& head, const std::vector<ConversationLine>& lines);
  bool AddBubble(const ConversationLine& line);
  void PrepareMedia();
  bool InsertImage(const QString& path);
  void OnImageTimer();
  void AppendCentredLine(const QString& text);
  QProcess* StartPlayer(const QString& program, const QStringList& args);
  void PlayVideo();
  // Says in the pane that the video cannot be played.
  void ShowVideoFailed();
  void AfterPlayerEnd(QProcess* process);

  QWidget* owner_;
  BackupSession& session_;
  QWidget* root_ = nullptr;
  QWidget* nodeTree_ = nullptr;
  QWidget* dataList_ = nullptr;
  QWidget* switchLayout_ = nullptr;
  QWidget* previewLayout_ = nullptr;
  QListWidget* list_ = nullptr;
  QTextEdit* edit_ = nullptr;
  QPushButton* option_ = nullptr;
  ui::TimerSet timers_;

  std::string lastPath_;
  std::string pendingPath_;
  QString pendingName_;
  std::string previewFile_;
  PreviewKind previewKind_ = kPreviewNothing;
  int imageRetries_ = 0;
  std::vector<QPointer<QProcess>> players_;
};

// The height of a bubble's text label: its text padding top and bottom, the measured height
// of `text`, 20, and 30 for every "\n\n" and every "\r\n\r\n" (overlapping finds count).
int BubbleTextHeight(int paddingTopBottom, int measuredHeight, const QString& text);

}  // namespace halvern::app
