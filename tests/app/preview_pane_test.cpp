// The preview pane offscreen: the row rules, the bubbles with their headers and heights, the
// contact card, the note, the media previews with the extraction window above 65536 bytes,
// the picture retries, the players: their "%" line and ending only the ones started, and a
// table row's card with its picture and its sound in the pane's own player.
#include "app/preview_pane.h"
#include "app/heif_image.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "app/language_store.h"
#include "categories/category.h"
#include "engine/backup_session.h"
#include "media/media.h"
#include "extractors/extractors.h"
#include "tests/fixtures/media_files.h"
#include "tests/fixtures/notes_dbs.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/ui/modal_driver.h"
#include "tests/ui/qt_test_env.h"
#include "ui/popup.h"
#include "ui/skin.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace halvern::app {
namespace {

namespace fs = std::filesystem;

bool Until(const std::function<bool()>& done, int ms = 20000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void Spin(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

void WriteFile(const fs::path& path, const QByteArray& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.constData(), bytes.size());
}

// A PNG picture padded with trailing bytes to exactly `size` bytes.
QByteArray PictureOfSize(qsizetype size) {
  QImage image(120, 80, QImage::Format_RGB32);
  image.fill(QColor(40, 120, 200));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  bytes.append(QByteArray(size - bytes.size(), '\0'));
  return bytes;
}

// A short tone as a 16-bit mono WAV file.
QByteArray ToneWav(int seconds) {
  const int rate = 8000;
  const int samples = rate * seconds;
  QByteArray data;
  for (int i = 0; i < samples; ++i) {
    const auto v = qint16(8000 * std::sin(i * 0.2));
    data.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF));
  }
  auto le32 = [](quint32 v) {
    return QByteArray(1, char(v)) + char(v >> 8) + char(v >> 16) + char(v >> 24);
  };
  auto le16 = [](quint16 v) { return QByteArray(1, char(v)) + char(v >> 8); };
  QByteArray wav = "RIFF" + le32(36 + data.size()) + "WAVE" + "fmt " + le32(16) + le16(1) +
                   le16(1) + le32(rate) + le32(rate * 2) + le16(2) + le16(16) + "data" +
                   le32(data.size()) + data;
  return wav;
}

class PreviewPaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    root_ = fs::path(dir_.path().toStdString());
    session_ = std::make_unique<BackupSession>(root_ / "appdata", root_ / "tmproot");
    QString error;
    page_.reset(ui::LoadLayout(QStringLiteral("PageScan.xml"), nullptr, &error));
    ASSERT_NE(page_, nullptr) << error.toStdString();
    page_->setStyleSheet(ui::SkinStyleSheet());
    page_->resize(1000, 560);
    pane_ = std::make_unique<CPreviewVrtWnd>(page_.get(), *session_);
    QStringList missing;
    ASSERT_TRUE(pane_->BindPane(page_.get(), &missing)) << missing.join(", ").toStdString();
    pane_->runExtractionWindow = [this](const std::string& dataFile, const QString&,
                                        std::string& previewPath) {
      ++windowRuns_;
      if (cancelWindow_) return 2;
      session_->ExtractForPreview(dataFile, previewPath, nullptr, nullptr);
      return 1;
    };
    page_->show();
    QApplication::processEvents();
  }

  void TearDown() override { pane_.reset(); }

  QWidget* Control(const char* name) const {
    return qobject_cast<QWidget*>(ui::FindControl(page_.get(), QLatin1String(name)));
  }
  bool PaneShown() const { return Control("PreviewLayout")->isVisible(); }
  fs::path Data(const char* name, const QByteArray& bytes) {
    const fs::path path = root_ / name;
    WriteFile(path, bytes);
    return path;
  }
  // With HALVERN_SCREENSHOTS set, saves the pane as <folder>/<name>.png.
  void Shot(const char* name) const {
    const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QApplication::processEvents();
    Control("PreviewLayout")
        ->grab()
        .save(QString::fromUtf8(folder) + QLatin1Char('/') + QLatin1String(name) +
              QStringLiteral(".png"));
  }
  bool ShowsPicture() const {
    return pane_->PreviewEdit()->document()->toHtml().contains(QLatin1String("<img"));
  }

  QTemporaryDir dir_;
  fs::path root_;
  std::unique_ptr<BackupSession> session_;
  std::unique_ptr<QWidget> page_;
  std::unique_ptr<CPreviewVrtWnd> pane_;
  int windowRuns_ = 0;
  bool cancelWindow_ = false;
};

QLabel* Find(QListWidget* list, int row, const char* name) {
  QWidget* w = list->itemWidget(list->item(row));
  if (w == nullptr) return nullptr;
  if (w->objectName() == QLatin1String(name)) return qobject_cast<QLabel*>(w);
  return w->findChild<QLabel*>(QLatin1String(name));
}

QColor TextColour(QLabel* label) {
  label->ensurePolished();
  return label->palette().color(QPalette::WindowText);
}

MessageItem Msg(int32_t fromMe, int32_t deleted, const char* name, const char* text) {
  MessageItem m;
  m.handleId = 4;
  m.fromMe = fromMe;
  m.deleted = deleted;
  m.date = "2024-03-01 09:00:00";
  m.name = name;
  m.phone = "+15550004";
  m.text = text;
  return m;
}

TEST_F(PreviewPaneTest, ConversationShowsBubblesInOrderWithHeaders) {
  ScanResults results;
  results.messages["handle-4"] = OneToOne("handle-4", {Msg(0, 0, "Ann Lee", "hello"), Msg(0, 1, "", "<b>not bold</b>"),
                         Msg(1, 0, "Ann Lee", "back at you")});
  const MessageItem row = results.messages["handle-4"].messages.back();
  pane_->PreviewItem(ScanCategory::kMessages, &row, false, results);
  QListWidget* list = pane_->MessagesList();
  ASSERT_TRUE(PaneShown());
  ASSERT_TRUE(list->isVisible());
  EXPECT_FALSE(pane_->PreviewEdit()->isVisible());
  ASSERT_EQ(list->count(), 4);
  auto* header = qobject_cast<QLabel*>(list->itemWidget(list->item(0)));
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->text(), QStringLiteral("-------------------- Messages --------------------"));
  const char* expected[][2] = {{"2024-03-01 09:00:00 Ann Lee:", "hello"},
                               {"2024-03-01 09:00:00 +15550004:", "<b>not bold</b>"},
                               {"2024-03-01 09:00:00 Me:", "back at you"}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NE(Find(list, i + 1, "MsgHeader"), nullptr);
    EXPECT_EQ(Find(list, i + 1, "MsgHeader")->text(), QLatin1String(expected[i][0]));
    QLabel* text = Find(list, i + 1, "MsgText");
    EXPECT_EQ(text->text(), QLatin1String(expected[i][1]));
    EXPECT_EQ(text->textFormat(), Qt::PlainText);  // markup from the phone stays text
  }
  EXPECT_EQ(TextColour(Find(list, 2, "MsgText")), QColor(0xF3, 0x73, 0x02));
  Shot("pane_conversation");
  EXPECT_NE(TextColour(Find(list, 1, "MsgText")), QColor(0xF3, 0x73, 0x02));
  // A sent bubble is right of a received one (its layout starts with a spacer).
  QApplication::processEvents();
  EXPECT_GT(Find(list, 3, "MsgText")->mapTo(list, QPoint(0, 0)).x(),
            Find(list, 1, "MsgText")->mapTo(list, QPoint(0, 0)).x());

  // The same for a WhatsApp chat; a chat key that is not found changes nothing.
  ChatMessageItem chat;
  chat.sessionId = 9;
  chat.fromMe = 1;
  chat.date = "2024-04-01 08:00:00";
  chat.text = "from the chat";
  results.whatsApp[9] = OneChat(9, {chat});
  pane_->PreviewItem(ScanCategory::kWhatsApp, &chat, false, results);
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(Find(list, 1, "MsgHeader")->text(), QStringLiteral("2024-04-01 08:00:00 Me:"));
  chat.sessionId = 10;
  pane_->PreviewItem(ScanCategory::kWhatsApp, &chat, false, results);
  EXPECT_EQ(list->count(), 2);
}

TEST_F(PreviewPaneTest, GroupShowsMembersSendersPicturesAndReactions) {
  // A picture the backup holds, and a voice note it does not.
  const fs::path picture = root_ / "IMG_0042.png";
  QImage image(400, 300, QImage::Format_RGB32);
  image.fill(QColor(40, 140, 90));
  ASSERT_TRUE(image.save(QString::fromStdString(picture.string())));
  Conversation group;
  group.id = "chat-3";
  group.group = true;
  group.title = "Family \xF0\x9F\x8F\xA1";
  group.members = {{"+4915112345678", "Ann Schmidt", "iMessage"},
                   {"+4917012345678", "Ben Kraus", "iMessage"}};
  MessageItem ann = Msg(0, 0, "Ann Schmidt", "Group hello from Ann");
  ann.service = "iMessage";
  ann.reactions = {{"\xE2\x9D\xA4\xEF\xB8\x8F", "Me"}};
  MessageItem ben = Msg(0, 0, "Ben Kraus", "");
  ben.service = "iMessage";
  ben.attachments = {{"IMG_0042.png", picture.string(), "image/png"},
                     {"Audio Message.caf", "", "audio/x-caf"}};
  MessageItem me = Msg(1, 0, "", "Owner in group");
  me.service = "iMessage";
  group.messages = {ann, ben, me};
  for (MessageItem& m : group.messages) m.conversation = group.id;
  ScanResults results;
  results.messages[group.id] = group;
  pane_->PreviewItem(ScanCategory::kMessages, &results.messages[group.id].messages.back(), false,
                     results);
  QListWidget* list = pane_->MessagesList();
  ASSERT_EQ(list->count(), 5);  // separator, members, three bubbles
  auto* members = qobject_cast<QLabel*>(list->itemWidget(list->item(1)));
  ASSERT_NE(members, nullptr);
  EXPECT_EQ(members->text(), QString::fromUtf8("Family \xF0\x9F\x8F\xA1\nAnn Schmidt(+4915112345678), "
                                               "Ben Kraus(+4917012345678)"));
  EXPECT_EQ(Find(list, 2, "MsgHeader")->text(),
            QStringLiteral("2024-03-01 09:00:00 Ann Schmidt (iMessage):"));
  EXPECT_EQ(Find(list, 2, "MsgText")->text(),
            QString::fromUtf8("Group hello from Ann\n\xE2\x9D\xA4\xEF\xB8\x8F Me"));
  EXPECT_EQ(Find(list, 3, "MsgHeader")->text(),
            QStringLiteral("2024-03-01 09:00:00 Ben Kraus (iMessage):"));
  QLabel* pictureBubble = Find(list, 3, "MsgText");
  EXPECT_EQ(pictureBubble->textFormat(), Qt::RichText);
  EXPECT_TRUE(pictureBubble->text().contains(QStringLiteral("<img src=\"file://")));
  EXPECT_TRUE(pictureBubble->text().contains(QString::fromUtf8("\xF0\x9F\x93\x8E Audio Message.caf")));
  // The picture (180 x 135 shown) makes its bubble taller than a one-line bubble.
  EXPECT_GT(pictureBubble->height(), Find(list, 2, "MsgText")->height() + 100);
  EXPECT_EQ(Find(list, 4, "MsgHeader")->text(), QStringLiteral("2024-03-01 09:00:00 Me (iMessage):"));
  Shot("pane_group");
}

TEST_F(PreviewPaneTest, BlankLinesMakeBubblesTallerBy30Each) {
  // Texts of the same number of lines: the one with a blank line gets 30 more pixels per
  // "\n\n" (overlapping finds count).
  const struct {
    const char* plain;
    const char* blank;
    int extra;
  } cases[] = {{"one\ntwo\nthree", "one\n\nthree", 30}, {"a\nb\nc\nd", "a\n\n\nd", 60}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.blank);
    ScanResults results;
    results.messages["handle-4"] = OneToOne("handle-4", {Msg(0, 0, "Ann", c.plain), Msg(0, 0, "Ann", c.blank)});
    pane_->PreviewItem(ScanCategory::kMessages, &results.messages["handle-4"].messages[0], false, results);
    QListWidget* list = pane_->MessagesList();
    ASSERT_EQ(list->count(), 3);
    const int plain = Find(list, 1, "MsgText")->height();
    const int blank = Find(list, 2, "MsgText")->height();
    EXPECT_EQ(blank - plain, c.extra);
    // The element holds the text, the 20-pixel header and 5 more inside its 15-pixel padding.
    EXPECT_EQ(list->itemWidget(list->item(2))->height(), blank + 20 + 5 + 15);
  }
  EXPECT_EQ(BubbleTextHeight(20, 100, QStringLiteral("a\r\n\r\nb")), 20 + 100 + 20 + 30);
  EXPECT_EQ(BubbleTextHeight(20, 100, QStringLiteral("a\r\n\r\n\r\nb")), 20 + 100 + 20 + 60);
  EXPECT_EQ(BubbleTextHeight(20, 100, QStringLiteral("a\n\n\n\nb")), 20 + 100 + 20 + 90);
}

TEST_F(PreviewPaneTest, ContactCardHidesEmptyRowsAndMarksDeletedOrange) {
  ContactItem contact;
  contact.name = "Ann <Lee>";
  contact.phones = "+15550004\n+15550005";
  contact.address = "A very long street name that surely wraps over several lines, 12345 Town";
  contact.company = "Example";
  pane_->PreviewItem(ScanCategory::kContacts, &contact, false, ScanResults{});
  QListWidget* list = pane_->MessagesList();
  ASSERT_TRUE(PaneShown());
  ASSERT_EQ(list->count(), 1);
  QWidget* card = list->itemWidget(list->item(0));
  ASSERT_NE(card, nullptr);
  auto label = [&card](const char* name) { return card->findChild<QLabel*>(QLatin1String(name)); };
  EXPECT_EQ(label("TxtUserName")->text(), QStringLiteral("Ann <Lee>"));
  EXPECT_EQ(label("TxtUserName")->textFormat(), Qt::PlainText);
  EXPECT_EQ(label("TxtPhone")->text(), QStringLiteral("+15550004\n+15550005"));
  EXPECT_TRUE(label("TxtEmail")->parentWidget()->isHidden());
  EXPECT_TRUE(label("TxtUrl")->parentWidget()->isHidden());
  EXPECT_TRUE(label("TxtSocial")->parentWidget()->isHidden());
  EXPECT_FALSE(label("TxtPhone")->parentWidget()->isHidden());
  EXPECT_FALSE(label("TxtCompany")->parentWidget()->isHidden());
  // Two phone lines and a wrapped address need more than one 30-pixel row.
  EXPECT_GT(label("TxtAddress")->parentWidget()->height(), 30);
  EXPECT_EQ(label("TxtCompany")->parentWidget()->height(), 30);
  EXPECT_NE(TextColour(label("TxtUserName")), QColor(0xF3, 0x73, 0x02));
  Shot("pane_contact");

  contact.deleted = 1;
  pane_->PreviewItem(ScanCategory::kContacts, &contact, false, ScanResults{});
  card = list->itemWidget(list->item(0));
  for (const char* name : {"TxtUserName", "LblPhoneDesc", "TxtPhone", "LblEmailDesc", "TxtEmail",
                           "LblAddressDesc", "TxtAddress", "LblUrlDesc", "TxtUrl", "LblSocialDesc",
                           "TxtSocial", "LblCompanyDesc", "TxtCompany"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(TextColour(label(name)), QColor(0xF3, 0x73, 0x02));
  }
}

TEST_F(PreviewPaneTest, NoteShowsTitleAndBodyBelowAGreySeparator) {
  for (int32_t deleted : {0, 1}) {
    SCOPED_TRACE(deleted);
    NoteItem note;
    note.deleted = deleted;
    note.title = "Shopping";
    note.body = "milk\n<eggs>";
    note.date = "2024-06-01 07:00:00";
    pane_->PreviewItem(ScanCategory::kNotes, &note, false, ScanResults{});
    QTextEdit* edit = pane_->PreviewEdit();
    ASSERT_TRUE(edit->isVisible());
    EXPECT_FALSE(pane_->MessagesList()->isVisible());
    const QString text = edit->document()->toPlainText();
    EXPECT_EQ(text, QStringLiteral("  ") + QString(51, QLatin1Char('-')) +
                        QStringLiteral("  \nTitle:\n    Shopping\nNote:\n     milk\n<eggs>"));
    EXPECT_FALSE(text.contains(QLatin1String("2024-06-01")));
    Shot(deleted ? "pane_note_deleted" : "pane_note");
    const QTextBlock first = edit->document()->firstBlock();
    EXPECT_EQ(first.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(first.begin().fragment().charFormat().foreground().color(), QColor(215, 215, 215));
    const QTextBlock title = first.next();
    EXPECT_EQ(title.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    const QColor expected = deleted ? QColor(243, 115, 2) : QColor(64, 64, 64);
    for (QTextBlock b = title; b.isValid(); b = b.next()) {
      for (auto it = b.begin(); !it.atEnd(); ++it) {
        EXPECT_EQ(it.fragment().charFormat().foreground().color(), expected);
      }
    }
  }
}

// The notes of a rich note store (iOS 16 layout) with their files, and a way to open the
// locked one as the scan page does.
struct PreviewNotes {
  std::string path;
  NoteStoreOptions options;
  std::vector<NoteItem> notes;
  const NoteItem* Titled(const std::string& title) const {
    for (const NoteItem& n : notes)
      if (n.title == title) return &n;
    return nullptr;
  }
};

PreviewNotes ReadRichNotes(const fs::path& folder) {
  PreviewNotes out;
  out.path = (folder / "NoteStore.sqlite").string();
  std::vector<fixtures::NoteContainerFile> files;
  EXPECT_EQ(fixtures::MakeRichNoteStore(out.path, fixtures::NoteStoreLayout::kIos16, &files), "");
  for (size_t i = 0; i < files.size(); ++i) {
    const fs::path data = folder / ("note-file-" + std::to_string(i));
    std::ofstream(data, std::ios::binary) << files[i].bytes;
    out.options.files.push_back({files[i].relative, data.string()});
  }
  EXPECT_EQ(ExtractNoteStore(out.path, out.notes, out.options), 0);
  return out;
}

// A note as written: list and checklist marks, attachments named at their place, the table's
// rows, the picture shown in place and the recording in the player.
TEST_F(PreviewPaneTest, RichNoteShowsAsWritten) {
  const PreviewNotes notes = ReadRichNotes(root_);
  const NoteItem* rich = notes.Titled(fixtures::kRichNoteTitle);
  ASSERT_NE(rich, nullptr);
  pane_->PreviewItem(ScanCategory::kNotes, rich, false, ScanResults{});
  QTextEdit* edit = pane_->PreviewEdit();
  ASSERT_TRUE(edit->isVisible());
  const QString text = edit->document()->toPlainText();
  for (const char* line :
       {"\n\xE2\x98\x91 Passport\n", "\n\xE2\x98\x90 Rain coat\n", "\n\xE2\x80\xA2 Sunscreen\n",
        "\n1. Book the hotel\n", "[Scanned document: Scanned Document]", "[PDF: Ticket.pdf]",
        "[Recording: Call with Anna.m4a]\nTranscript: Hello, the train leaves at nine.",
        "[Link: Lyon tourist office <https://www.visiterlyon.com/>]", "| Mon | Lyon |"}) {
    EXPECT_TRUE(text.contains(QString::fromUtf8(line))) << line << "\n" << text.toStdString();
  }
  // The picture stands in place of its name.
  EXPECT_FALSE(text.contains(QLatin1String("[Picture:")));
  bool picture = false;
  for (QTextBlock b = edit->document()->firstBlock(); b.isValid(); b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      if (it.fragment().charFormat().isImageFormat()) picture = true;
    }
  }
  EXPECT_TRUE(picture);
  EXPECT_TRUE(Until([&] { return !pane_->SoundSource().isEmpty(); }));
  EXPECT_FALSE(pane_->NotesPasswordBox() != nullptr && pane_->NotesPasswordBox()->isVisible());
  Shot("pane_note_rich");
}

// A locked note offers the password field: a wrong password says so and opens nothing, the
// right one shows the note; the field never keeps the password.
TEST_F(PreviewPaneTest, LockedNoteOpensWithThePasswordField) {
  PreviewNotes notes = ReadRichNotes(root_);
  int calls = 0;
  pane_->unlockNotes = [&](const std::string& password) {
    ++calls;
    NoteStoreOptions with = notes.options;
    with.password = password;
    return UnlockNotes(notes.path, notes.notes, with);
  };
  const NoteItem* locked = notes.Titled(fixtures::kLockedNoteTitle);
  ASSERT_NE(locked, nullptr);
  pane_->PreviewItem(ScanCategory::kNotes, locked, false, ScanResults{});
  ASSERT_NE(pane_->NotesPasswordBox(), nullptr);
  EXPECT_TRUE(pane_->NotesPasswordBox()->isVisible());
  EXPECT_EQ(pane_->NotesPasswordField()->echoMode(), QLineEdit::Password);
  pane_->NotesPasswordField()->setText(QStringLiteral("Grusse 2024"));
  pane_->SubmitNotesPassword();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(pane_->NotesPasswordNote(), QStringLiteral("The notes password is wrong."));
  EXPECT_TRUE(pane_->NotesPasswordField()->text().isEmpty());
  EXPECT_TRUE(pane_->PreviewEdit()->document()->toPlainText().contains(QLatin1String(kNoteLockedText)));
  pane_->NotesPasswordField()->setText(QString::fromUtf8(fixtures::kNotesPassword));
  pane_->SubmitNotesPassword();
  EXPECT_TRUE(pane_->PreviewEdit()->document()->toPlainText().contains(QLatin1String("PIN 4711")));
  EXPECT_FALSE(pane_->NotesPasswordBox()->isVisible());
  EXPECT_TRUE(pane_->NotesPasswordField()->text().isEmpty());
  // Another note hides the field.
  pane_->PreviewItem(ScanCategory::kNotes, notes.Titled("Shopping"), false, ScanResults{});
  EXPECT_FALSE(pane_->NotesPasswordBox()->isVisible());
}

TEST_F(PreviewPaneTest, RowRulesPerCategory) {
  ScanResults results;
  CallItem call;
  pane_->PreviewItem(ScanCategory::kCallHistory, &call, false, results);
  EXPECT_FALSE(PaneShown());
  // An app's row on the first level: nothing.
  AppFileItem app;
  app.path = Data("app.png", PictureOfSize(2000));
  pane_->PreviewItem(ScanCategory::kAppPhotos, &app, false, results);
  EXPECT_FALSE(PaneShown());
  EXPECT_TRUE(pane_->PreviewFile().empty());
  // A message row whose conversation is unknown: nothing.
  MessageItem lost = Msg(0, 0, "x", "y");
  lost.handleId = 77;
  pane_->PreviewItem(ScanCategory::kMessages, &lost, false, results);
  EXPECT_FALSE(PaneShown());
  pane_->PreviewItem(ScanCategory::kNotes, nullptr, false, results);
  EXPECT_FALSE(PaneShown());
  // One of the app's files previews it.
  pane_->PreviewItem(ScanCategory::kAppPhotos, &app, true, results);
  EXPECT_TRUE(PaneShown());
  EXPECT_TRUE(pane_->PreviewEdit()->isVisible());
  EXPECT_TRUE(Until([&] { return ShowsPicture(); }));
  EXPECT_TRUE(qobject_cast<QPushButton*>(Control("OptOnOffPreview"))->isChecked());
  // A contact row shows the pane again after SetPaneView hid it.
  pane_->SetPaneView(false, false);
  EXPECT_FALSE(PaneShown());
  ContactItem contact;
  contact.name = "Bo";
  pane_->PreviewItem(ScanCategory::kContacts, &contact, false, results);
  EXPECT_TRUE(PaneShown());
  pane_->ResetPane();
  EXPECT_FALSE(PaneShown());
  EXPECT_EQ(pane_->MessagesList()->count(), 0);
  EXPECT_TRUE(pane_->PreviewEdit()->document()->isEmpty());
}

TEST_F(PreviewPaneTest, ExtractionWindowOnlyAbove65536Bytes) {
  MediaFileItem at;
  at.path = Data("at.png", PictureOfSize(65536));
  at.displayName = "at.png";
  MediaFileItem above;
  above.path = Data("above.png", PictureOfSize(65537));
  above.displayName = "above.png";
  ScanResults results;

  pane_->PreviewItem(ScanCategory::kCameraRoll, &at, false, results);
  EXPECT_EQ(windowRuns_, 0);
  EXPECT_EQ(pane_->Kind(), kPreviewPicture);
  EXPECT_EQ(fs::path(pane_->PreviewFile()).filename(), "tmp.jpg");
  ASSERT_TRUE(Until([&] { return ShowsPicture(); }));

  pane_->PreviewItem(ScanCategory::kPhotoStream, &above, false, results);
  EXPECT_EQ(windowRuns_, 1);
  EXPECT_EQ(fs::file_size(pane_->PreviewFile()), 65537u);
  ASSERT_TRUE(Until([&] { return ShowsPicture(); }));
  Shot("pane_photo");

  // The same picture again is not extracted again: the preview file is shown as it is.
  pane_->PreviewItem(ScanCategory::kPhotoStream, &above, false, results);
  EXPECT_EQ(windowRuns_, 1);
  ASSERT_TRUE(Until([&] { return ShowsPicture(); }));

  // Small files: remove the preview file; selecting the same one again shows what is left
  // (here nothing: after the retries the pane says so), without a new copy.
  pane_->PreviewItem(ScanCategory::kCameraRoll, &at, false, results);
  ASSERT_TRUE(Until([&] { return ShowsPicture(); }));
  fs::remove(pane_->PreviewFile());
  pane_->PreviewItem(ScanCategory::kCameraRoll, &at, false, results);
  ASSERT_TRUE(Until([&] {
    return pane_->PreviewEdit()->toPlainText().trimmed() ==
           QLatin1String("Can not found the file!");
  }));
  EXPECT_FALSE(fs::exists(pane_->PreviewFile()));
  EXPECT_EQ(pane_->ImageRetries(), kImageRetries + 1);
}

// A real HEIC picture, 64 x 48, red on the left and blue on the right: made by heif-enc from
// a picture drawn here when heif-enc is installed, else the copy made the same way and kept
// with the tests.
QByteArray RedBlueHeic(const fs::path& folder) {
  QImage image(64, 48, QImage::Format_RGB32);
  image.fill(QColor(30, 60, 220));
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 32; ++x) image.setPixelColor(x, y, QColor(220, 30, 30));
  }
  const QString png = QString::fromStdString((folder / "red_blue.png").string());
  const QString heic = QString::fromStdString((folder / "red_blue.heic").string());
  QByteArray bytes;
  if (image.save(png, "PNG") &&
      QProcess::execute(QStringLiteral("heif-enc"), {QStringLiteral("-q"), QStringLiteral("90"),
                                                     QStringLiteral("-o"), heic, png}) == 0) {
    QFile made(heic);
    if (made.open(QIODevice::ReadOnly)) bytes = made.readAll();
  }
  if (bytes.isEmpty()) {
    QFile kept(QStringLiteral(HALVERN_SOURCE_DIR "/tests/app/data/red_blue.heic"));
    if (kept.open(QIODevice::ReadOnly)) bytes = kept.readAll();
  }
  return bytes;
}

TEST_F(PreviewPaneTest, HeicPictureShowsAsThePhoneSavedIt) {
  const QByteArray heic = RedBlueHeic(root_);
  ASSERT_GT(heic.size(), 100);
  ASSERT_EQ(heic.mid(4, 8), QByteArray("ftypheic"));
  MediaFileItem photo;
  photo.path = Data("IMG_0001.HEIC", heic);
  photo.displayName = "IMG_0001.HEIC";
  ScanResults results;
  pane_->PreviewItem(ScanCategory::kCameraRoll, &photo, false, results);
  EXPECT_EQ(pane_->Kind(), kPreviewPicture);
  ASSERT_TRUE(Until([&] { return ShowsPicture(); }));
  Shot("pane_heic");
  const QImage shown = pane_->PreviewEdit()
                           ->document()
                           ->resource(QTextDocument::ImageResource,
                                      QUrl(QStringLiteral("preview://picture")))
                           .value<QImage>();
  ASSERT_EQ(shown.size(), QSize(64, 48));
  const QColor left = shown.pixelColor(8, 24), right = shown.pixelColor(56, 24);
  EXPECT_GT(left.red(), 170) << left.name().toStdString();
  EXPECT_LT(left.blue(), 90) << left.name().toStdString();
  EXPECT_GT(right.blue(), 170) << right.name().toStdString();
  EXPECT_LT(right.red(), 90) << right.name().toStdString();

  // The JPEG copy written on recover holds the same picture.
  const fs::path jpeg = root_ / "IMG_0001.jpg";
  const media::Outcome made = media::PictureToJpeg(photo.path, jpeg);
  EXPECT_EQ(made.error, 0) << made.reason;
  EXPECT_EQ(made.written, jpeg);
  const QImage copy(QString::fromStdString(jpeg.string()));
  ASSERT_EQ(copy.size(), QSize(64, 48));
  EXPECT_GT(copy.pixelColor(8, 24).red(), 170);
  EXPECT_GT(copy.pixelColor(56, 24).blue(), 170);
  // Not a HEIF file: nothing decoded, nothing written.
  EXPECT_EQ(media::PictureToJpeg(Data("fake.heic", "not a picture"), root_ / "fake.jpg").error,
            kInvalidParameter);
  EXPECT_FALSE(fs::exists(root_ / "fake.jpg"));
}

TEST_F(PreviewPaneTest, RealExtractionWindowCopiesALargePicture) {
  ui::Texts().Section("Messages");
  pane_ = std::make_unique<CPreviewVrtWnd>(page_.get(), *session_);
  ASSERT_TRUE(pane_->BindPane(page_.get()));
  // Every pop-up shown, however briefly (a fast copy closes the window at once).
  struct ShowWatch : QObject {
    QString seen;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::Show) {
        if (auto* popup = qobject_cast<ui::CPopUpWnd*>(o)) seen = popup->LayoutName();
      }
      return false;
    }
  } watch;
  qApp->installEventFilter(&watch);
  MediaFileItem big;
  big.path = Data("big.png", PictureOfSize(3 * 1024 * 1024));
  big.displayName = "big.png";
  pane_->PreviewItem(ScanCategory::kCameraRoll, &big, false, ScanResults{});
  qApp->removeEventFilter(&watch);
  EXPECT_EQ(watch.seen, QStringLiteral("PreviewProcessWnd.xml"));
  EXPECT_EQ(fs::file_size(pane_->PreviewFile()), 3u * 1024 * 1024);
  EXPECT_TRUE(Until([&] { return ShowsPicture(); }));
}

TEST_F(PreviewPaneTest, StoppedExtractionIsRunAgainOnTheNextSelection) {
  MediaFileItem big;
  big.path = Data("big.png", PictureOfSize(70000));
  ScanResults results;
  cancelWindow_ = true;
  pane_->PreviewItem(ScanCategory::kCameraRoll, &big, false, results);
  EXPECT_EQ(windowRuns_, 1);
  Spin(100);
  EXPECT_FALSE(ShowsPicture());
  cancelWindow_ = false;
  pane_->PreviewItem(ScanCategory::kCameraRoll, &big, false, results);
  EXPECT_EQ(windowRuns_, 2);
  EXPECT_TRUE(Until([&] { return ShowsPicture(); }));
}

TEST_F(PreviewPaneTest, UnknownFileTypeLeavesThePaneEmpty) {
  MediaFileItem odd;
  odd.path = Data("odd.bin", QByteArray(300, 'z'));
  pane_->PreviewItem(ScanCategory::kMessageAttachments, &odd, false, ScanResults{});
  EXPECT_EQ(pane_->Kind(), kPreviewNothing);
  Spin(800);
  EXPECT_TRUE(pane_->PreviewEdit()->document()->isEmpty());
}

// ----- Players -------------------------------------------------------------------------------

QString BinDir() { return QStringLiteral(HALVERN_BIN_DIR); }

QProcessEnvironment PlayerEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
  return env;
}

TEST(Players, WriteAPercentLineOnceTheFilePlays) {
  QTemporaryDir dir;
  const QString wav = dir.filePath(QStringLiteral("tone.wav"));
  WriteFile(wav.toStdString(), ToneWav(3));
  const QString bad = dir.filePath(QStringLiteral("bad.wav"));
  WriteFile(bad.toStdString(), QByteArray(3000, '\x17'));
  for (const char* program : {"Player", "Player1"}) {
    SCOPED_TRACE(program);
    QProcess p;
    p.setProcessEnvironment(PlayerEnvironment());
    p.start(BinDir() + QLatin1Char('/') + QLatin1String(program),
            {QStringLiteral("-aspect"), QStringLiteral("16:9"), QStringLiteral("-x"),
             QStringLiteral("326"), QStringLiteral("-y"), QStringLiteral("189"), wav});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains('%') && clock.elapsed() < 20000 && p.state() == QProcess::Running) {
      p.waitForReadyRead(100);
      out += p.readAllStandardOutput();
    }
    EXPECT_TRUE(out.contains('%')) << out.toStdString();
    p.kill();
    p.waitForFinished();

    // A file that does not decode ends the player without any "%".
    QProcess b;
    b.setProcessEnvironment(PlayerEnvironment());
    b.start(BinDir() + QLatin1Char('/') + QLatin1String(program), {bad});
    ASSERT_TRUE(b.waitForFinished(20000));
    EXPECT_NE(b.exitCode(), 0);
    EXPECT_FALSE(b.readAllStandardOutput().contains('%'));
  }
}

// A stand-in player: a script named like the player that prints `output` and then waits or
// ends. The pane's contract with the player is only its output and its life.
void WriteScriptPlayer(const QString& folder, const char* name, const char* body) {
  const QString path = folder + QLatin1Char('/') + QLatin1String(name);
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray("#!/bin/sh\n") + body + "\n");
  f.close();
  f.setPermissions(f.permissions() | QFileDevice::ExeOwner);
}

QByteArray AviHeader() {
  QByteArray avi = "RIFF";
  avi += QByteArray(4, '\0');
  avi += "AVI LIST";
  avi += QByteArray(500, '\0');
  return avi;
}

// Each showing of a video starts one player of this pane and watches it; a selection made while
// an earlier one waits to be shown does not start a second player.
TEST_F(PreviewPaneTest, VideoPlayerIsWatchedForItsPercentLineAndOnlyOwnPlayersEnd) {
  QTemporaryDir players;
  pane_->playerFolder = players.path();
  MediaFileItem video;
  video.path = Data("clip.avi", AviHeader());
  MediaFileItem video2;
  video2.path = Data("clip2.avi", AviHeader());

  // A player that never plays, and one that cannot start at all: the pane itself says that
  // the video cannot be played; no box interrupts the browsing.
  LanguageStore shipped;
  shipped.Load(fs::path(HALVERN_SOURCE_DIR) / "runtime");
  ui::SetTextSource(&shipped);
  struct Restore {
    ~Restore() { ui::SetTextSource(nullptr); }
  } restore;
  const QString failed = ui::Text(ui::Texts().Section("Preview"), "VideoFailed");
  ASSERT_FALSE(failed.isEmpty());
  halvern::testing::ModalDriver boxes;
  for (const char* body : std::initializer_list<const char*>{"exit 0", nullptr}) {
    SCOPED_TRACE(body == nullptr ? "no player" : body);
    QFile::remove(players.path() + QStringLiteral("/Player"));
    if (body != nullptr) WriteScriptPlayer(players.path(), "Player", body);
    pane_->PreviewItem(ScanCategory::kCameraRoll, &video, false, ScanResults{});
    EXPECT_EQ(pane_->Kind(), kPreviewVideo);
    EXPECT_TRUE(Until([&] { return pane_->PreviewEdit()->toPlainText().contains(failed); }))
        << pane_->PreviewEdit()->toPlainText().toStdString();
    EXPECT_TRUE(pane_->PreviewEdit()->isVisible());
  }
  EXPECT_TRUE(boxes.Seen().empty());

  // A player that plays: nothing said, it keeps running.
  WriteScriptPlayer(players.path(), "Player", "echo 'Playing 0%'; exec sleep 30");
  // Another process named Player that this pane did not start.
  QTemporaryDir other;
  WriteScriptPlayer(other.path(), "Player", "exec sleep 30");
  QProcess stranger;
  stranger.start(other.path() + QStringLiteral("/Player"), {});
  ASSERT_TRUE(stranger.waitForStarted());

  pane_->PreviewItem(ScanCategory::kCameraRoll, &video2, false, ScanResults{});
  ASSERT_TRUE(Until([&] { return pane_->RunningPlayers().size() == 1; }));
  Spin(300);
  EXPECT_FALSE(pane_->PreviewEdit()->toPlainText().contains(failed));
  const qint64 pid = pane_->RunningPlayers().front();

  // The next media file ends the player this pane started, and only that one.
  pane_->PreviewItem(ScanCategory::kCameraRoll, &video, false, ScanResults{});
  EXPECT_NE(::kill(pid_t(pid), 0), 0);
  EXPECT_EQ(stranger.state(), QProcess::Running);
  pane_->EndPlayers();
  EXPECT_TRUE(pane_->RunningPlayers().empty());
  EXPECT_EQ(stranger.state(), QProcess::Running);

  // Two videos picked one after the other before the pane could show the first: one player.
  pane_->PreviewItem(ScanCategory::kCameraRoll, &video2, false, ScanResults{});
  pane_->PreviewItem(ScanCategory::kCameraRoll, &video, false, ScanResults{});
  ASSERT_TRUE(Until([&] { return !pane_->RunningPlayers().empty(); }));
  Spin(300);
  EXPECT_EQ(pane_->RunningPlayers().size(), 1u);
  pane_->EndPlayers();
  EXPECT_EQ(stranger.state(), QProcess::Running);
  stranger.kill();
  stranger.waitForFinished();
}

TEST_F(PreviewPaneTest, SoundStartsTheAudioPlayerWithThePreviewFile) {
  pane_->playerFolder = BinDir();
  qputenv("ASAN_OPTIONS", "detect_leaks=0");
  MediaFileItem sound;
  sound.path = Data("tone.wav", ToneWav(5));
  pane_->PreviewItem(ScanCategory::kWhatsAppAttachments, &sound, false, ScanResults{});
  EXPECT_EQ(pane_->Kind(), kPreviewSound);
  EXPECT_EQ(fs::path(pane_->PreviewFile()).filename(), "tmp.wav");
  ASSERT_TRUE(Until([&] { return pane_->RunningPlayers().size() == 1; }));
  const qint64 pid = pane_->RunningPlayers().front();
  pane_->ResetPane();
  pane_.reset();  // the pane's end ends its players
  EXPECT_NE(::kill(pid_t(pid), 0), 0);
}

TEST_F(PreviewPaneTest, VoiceMessagesAndVoicemailsPlayAsPcmWav) {
  // A Messages voice message (Opus in CAF) and a voicemail (AMR): stored as they are, which the
  // player cannot read, so the preview plays a PCM WAV copy of each.
  const fs::path data = fs::path(HALVERN_TEST_DATA_DIR) / "media";
  std::ifstream caf(data / "voice-opus.caf", std::ios::binary);
  const std::string cafBytes((std::istreambuf_iterator<char>(caf)), {});
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"Audio Message.caf", cafBytes},
                                    {"voicemail.amr", fixtures::MakeAmr(false, 50)}}) {
    SCOPED_TRACE(name);
    MediaFileItem sound;
    sound.path = Data(name.c_str(), QByteArray(bytes.data(), qsizetype(bytes.size())));
    sound.displayName = name;
    pane_->PreviewItem(ScanCategory::kMessageAttachments, &sound, false, ScanResults{});
    EXPECT_EQ(pane_->Kind(), kPreviewSound);
    EXPECT_EQ(fs::path(pane_->PreviewFile()).filename(), "tmp-sound.wav");
    std::ifstream wav(pane_->PreviewFile(), std::ios::binary);
    std::string head(12, '\0');
    wav.read(head.data(), 12);
    EXPECT_EQ(head.substr(0, 4), "RIFF");
    EXPECT_EQ(head.substr(8, 4), "WAVE");
    pane_->ResetPane();
  }
}

// A table row through PreviewItem: the card (each column with a value, its deleted mark and
// where it was found, in orange for a deleted row), its picture, and its sound in the pane's
// player: converted once into the pane's folder when Qt cannot play it, told in the pane when
// it cannot be played at all; the folder goes with the pane.
TEST_F(PreviewPaneTest, TableRowShowsItsCardPictureAndSound) {
  halvern::testing::ModalDriver boxes;
  ScanResults results;
  CategoryTable& table = results.tables[0];
  table.columns = {{"who", "Who", ColumnType::kText},
                   {"when", "When", ColumnType::kDate},
                   {"length", "Length", ColumnType::kDuration},
                   {"said", "Said", ColumnType::kText}};
  const auto row = [&](int32_t deleted, ItemSource origin, std::vector<OwnedFile> files) {
    table.rows.push_back({deleted, origin,
                          {Cell::Text("Ann <b>"), Cell::Date(1631300000), Cell::Integer(65),
                           Cell::Null()},
                          std::move(files)});
  };
  const std::string amr = fixtures::AmrBytes(1.5);
  row(1, ItemSource::kWal,
      {{"9.amr", "HomeDomain-Library/Voicemail/9.amr",
        Data("9.amr", QByteArray(amr.data(), qsizetype(amr.size()))), "audio/amr", amr.size()}});
  row(0, ItemSource::kLive,
      {{"pic.png", "", Data("pic.png", PictureOfSize(4000)), "image/png", 4000},
       {"junk.amr", "", Data("junk.amr", "this is no sound at all"), "audio/amr", 23}});
  row(0, ItemSource::kCarved, {{"gone.amr", "", root_ / "gone.amr", "audio/amr", 10}});
  row(0, ItemSource::kLive, {});
  const ScanCategory code = TableCategoryCode(0);
  const auto show = [&](size_t i) {
    pane_->PreviewItem(code, &table.rows[i], false, results);
    QApplication::processEvents();
  };
  const auto settled = [&] {
    return Until([&] { return !pane_->SoundSource().isEmpty() || !pane_->PlayerNote().isEmpty(); });
  };

  show(0);
  EXPECT_TRUE(PaneShown());
  const QString card = pane_->PreviewEdit()->toPlainText();
  EXPECT_TRUE(card.contains("Who:\n    Ann <b>")) << card.toStdString();
  EXPECT_TRUE(card.contains("Length:\n    1 Min 5 Sec"));
  EXPECT_FALSE(card.contains("Said:"));  // no value, no line
  EXPECT_TRUE(card.contains("Status:\n    Deleted"));
  EXPECT_TRUE(card.contains("Found:\n    older version kept by the write-ahead log"));
  const QTextDocument* doc = pane_->PreviewEdit()->document();
  const QTextCursor who = doc->find(QStringLiteral("Ann <b>"));
  ASSERT_FALSE(who.isNull());
  EXPECT_EQ(who.charFormat().foreground().color(), QColor(243, 115, 2));
  EXPECT_TRUE(pane_->PlayerBox()->isVisible());
  ASSERT_TRUE(settled());
  EXPECT_EQ(pane_->PlayerNote(), "");
  const fs::path copy = pane_->SoundSource().toLocalFile().toStdString();
  EXPECT_EQ(copy, pane_->SoundFolder() / "9.amr.m4a");
  EXPECT_TRUE(media::IsBrowserPlayableAudio(copy));

  // A picture above the card; a sound that is none says so in the pane, no box opens.
  show(1);
  EXPECT_TRUE(ShowsPicture());
  EXPECT_TRUE(pane_->PreviewEdit()->toPlainText().contains("Found:\n    in its database"));
  ASSERT_TRUE(settled());
  EXPECT_TRUE(pane_->SoundSource().isEmpty());
  EXPECT_TRUE(pane_->PlayerNote().startsWith("This sound cannot be played: "))
      << pane_->PlayerNote().toStdString();
  EXPECT_TRUE(boxes.Seen().empty());
  // A sound the backup does not hold.
  show(2);
  EXPECT_TRUE(pane_->PreviewEdit()->toPlainText().contains("carved from free space"));
  ASSERT_TRUE(settled());
  EXPECT_EQ(pane_->PlayerNote(), "This sound cannot be played: the file is not in the backup");
  // A row without a sound hides the player.
  show(3);
  EXPECT_FALSE(pane_->PlayerBox()->isVisible());
  EXPECT_TRUE(pane_->SoundSource().isEmpty());

  // The first sound again: its copy is used, not made anew.
  show(0);
  ASSERT_TRUE(settled());
  EXPECT_EQ(fs::path(pane_->SoundSource().toLocalFile().toStdString()), copy);
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(pane_->SoundFolder())) ++files;
  EXPECT_EQ(files, 1u);
  const fs::path folder = pane_->SoundFolder();
  pane_.reset();
  EXPECT_FALSE(fs::exists(folder));
}

}  // namespace
}  // namespace halvern::app
