// The preview pane at the right of the scan page: a note as formatted text, a conversation or
// a WhatsApp chat as speech bubbles, a contact as a card, and a picture, sound or video file
// of the backup, pictures inside the pane and sound and video through the players `Player1`
// and `Player` beside the program.
//
// The scan page hands it the item of the selected list row through PreviewItem; everything
// runs on the user-interface thread. A media file is first copied out of the backup to the
// preview file; a file above 65536 bytes is copied inside the extraction window.
//
// A row of a table category shows as a card (each column's title and shown value, its deleted
// mark and where it was found), its first owned picture above the card and its first owned
// sound or video in a player inside the pane (Qt Multimedia). A sound that neither Qt nor a
// browser plays (AMR, CAF, ...) is converted off the user-interface thread into a playable
// copy in the pane's folder of the work folder; a sound that cannot be played says why in the
// pane.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QTextEdit>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"
#include "export/writers.h"
#include "ui/notify.h"
#include "ui/skin.h"

class QAudioOutput;
class QLineEdit;
class QMediaPlayer;
class QSlider;
class QVideoWidget;

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
  // A row of a table category: its card, its picture, its sound or video in the player.
  void ShowTableRow(const TableCategory& category, const CategoryTable& table,
                    const TableRow& row);
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
  // The player of a table row's sound or video (hidden when the row owns none), what it
  // plays (empty while a copy is being made or when nothing can be played) and the line
  // under it (why a sound cannot be played, or that it is being prepared).
  QWidget* PlayerBox() const { return playerBox_; }
  QMediaPlayer* MediaPlayer() const { return media_; }
  QUrl SoundSource() const;
  QString PlayerNote() const { return playerNote_ ? playerNote_->text() : QString(); }
  // The folder of the playable copies (below the session's work folder).
  std::filesystem::path SoundFolder() const;

  // Opens the scan's locked notes with a notes password, in place (the scan page's scan);
  // unset: the password field is not offered.
  std::function<NoteUnlockCount(const std::string& password)> unlockNotes;
  // The notes password field shown under a locked note, and the line beside it (that the
  // password is wrong, or what stays locked).
  QLineEdit* NotesPasswordField() const { return lockField_; }
  QWidget* NotesPasswordBox() const { return lockBox_; }
  QString NotesPasswordNote() const { return lockNote_ ? lockNote_->text() : QString(); }
  // Opens the shown locked note with the field's password; the field is emptied.
  void SubmitNotesPassword();

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
  // A sound the player cannot read made into a PCM WAV file beside it (previewFile_ then
  // names the copy).
  void PlayableSound();
  void PrepareMedia();
  // Asks for the prepared file to be shown once the event loop runs again; selections made
  // before then are shown once, as the last of them.
  void PostReady();
  bool InsertImage(const QString& path, const QString& resource = QStringLiteral("preview://picture"));
  // A note's paragraphs as written: marks of lists and checklists, headings in bold, pictures
  // in place, other attachments named, tables as rows.
  void InsertNoteParagraphs(const NoteItem& note, const QTextCharFormat& text);
  void BuildLockBox();
  void OnImageTimer();
  void AppendCentredLine(const QString& text);
  QProcess* StartPlayer(const QString& program, const QStringList& args);
  void PlayVideo();
  // Says in the pane that the video cannot be played.
  void ShowVideoFailed();
  void AfterPlayerEnd(QProcess* process);
  // The player inside the pane.
  void BuildPlayer();
  void EnsureMedia();
  void StopSound();
  void LoadSound(const OwnedFile& file, bool video);
  void OnSoundReady(uint64_t generation, const std::string& dataFile, const std::string& source,
                    const std::string& problem);
  void ShowPlayerTime();

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
  bool readyPosted_ = false;  // a "ready" message is on its way to ShowPreview
  std::vector<QPointer<QProcess>> players_;

  QWidget* lockBox_ = nullptr;
  QLineEdit* lockField_ = nullptr;
  QLabel* lockNote_ = nullptr;
  const NoteItem* shownNote_ = nullptr;

  QWidget* playerBox_ = nullptr;
  QLabel* playerName_ = nullptr;
  QToolButton* playButton_ = nullptr;
  QSlider* seek_ = nullptr;
  QLabel* playerTime_ = nullptr;
  QLabel* playerNote_ = nullptr;
  QVideoWidget* video_ = nullptr;
  QMediaPlayer* media_ = nullptr;
  QAudioOutput* audioOut_ = nullptr;
  uint64_t soundGeneration_ = 0;
  // What each data file plays as: its own path, its playable copy, or why it cannot play
  // (problem set), so that a sound is checked and converted once.
  struct SoundCopy {
    std::string source;
    std::string problem;
  };
  std::map<std::string, SoundCopy> soundCopies_;
  std::vector<QPointer<QThread>> converters_;
  bool madeSoundFolder_ = false;
};

// The height of a bubble's text label: its text padding top and bottom, the measured height
// of `text`, 20, and 30 for every "\n\n" and every "\r\n\r\n" (overlapping finds count).
int BubbleTextHeight(int paddingTopBottom, int measuredHeight, const QString& text);

}  // namespace halvern::app
