// The preview pane: views of notes, conversations, contacts and media files.
#include "app/heif_image.h"
#include "media/media.h"
#include "app/preview_pane.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QLayout>
#include <QPointer>
#include <QStyle>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QAudioOutput>
#include <QHBoxLayout>
#include <QMediaPlayer>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <QVideoWidget>
#include <filesystem>
#include <cstring>
#include <system_error>

#include "app/app.h"
#include "app/file_list_ctrl.h"
#include "app/popups.h"
#include "engine/backup_session.h"
#include "extractors/note_render.h"
#include "media/media.h"
#include "platform/runtime_files.h"
#include "ui/controls.h"
#include "ui/popup.h"

namespace halvern::app {

namespace {

const QColor kOrange(243, 115, 2);
const QColor kLightGrey(215, 215, 215);
const QColor kNoteText(64, 64, 64);
constexpr char kOrangeSheet[] = "color: #F37302;";
// A deleted own message: the text stays orange, so the bubble turns light to keep it legible.
constexpr char kDeletedSendSheet[] =
    "color: #F37302; background: #FFF1E5; border: 1px solid #F37302;";
constexpr int kHeaderHeight = 20;
// Text paddings (left, top, right, bottom) of the two bubble layouts, as the skin draws them.
const QMargins kSendPadding(10, 10, 20, 10);
const QMargins kRecvPadding(20, 10, 10, 10);
constexpr int kCardTextWidth = 135;

int CountOverlapping(const QString& text, const QString& what) {
  int count = 0;
  for (qsizetype at = text.indexOf(what); at >= 0; at = text.indexOf(what, at + 1)) ++count;
  return count;
}

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

void InsertAtEnd(QTextEdit* edit, const QString& text, const QTextCharFormat& format) {
  QTextCursor cursor(edit->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text, format);
}

// A text of the table card and the player, or `fallback` when the language file lacks it.
QString CardText(const std::string& key, const char* fallback) {
  const QString text = ui::Text(ui::Texts().Section("PreviewCard"), key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}

// "1:05" or "1:02:05".
QString ClockText(qint64 ms) {
  const qint64 s = std::max<qint64>(ms, 0) / 1000;
  if (s >= 3600) {
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
  }
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

bool IsMime(const OwnedFile& file, const char* kind) {
  return file.mime.rfind(kind, 0) == 0;
}

void AlignLastBlock(QTextEdit* edit, Qt::Alignment alignment) {
  QTextCursor cursor(edit->document());
  cursor.movePosition(QTextCursor::End);
  QTextBlockFormat block = cursor.blockFormat();
  block.setAlignment(alignment);
  cursor.setBlockFormat(block);
}

// A fixed word of the pane ("Messages", "Me", "Title:") in the current language.
QString PaneWord(const char* word) {
  const QString text = ui::Text(ui::Texts().Section("Preview"), word);
  return text.isEmpty() ? QString::fromUtf8(word) : text;
}

}  // namespace

int BubbleTextHeight(int paddingTopBottom, int measuredHeight, const QString& text) {
  return paddingTopBottom + measuredHeight + 20 +
         30 * CountOverlapping(text, QStringLiteral("\n\n")) +
         30 * CountOverlapping(text, QStringLiteral("\r\n\r\n"));
}

CPreviewVrtWnd::CPreviewVrtWnd(QWidget* owner, BackupSession& session)
    : owner_(owner), session_(session), timers_(this) {
  playerFolder = QString::fromStdString(platform::HelperFolder().string());
  runExtractionWindow = [this](const std::string& dataFile, const QString& name,
                               std::string& previewPath) {
    CPreviewProcessWnd wnd(owner_, session_, dataFile, name);
    const int result = wnd.DoModal();
    previewPath = wnd.PreviewPath();
    return result;
  };
}

CPreviewVrtWnd::~CPreviewVrtWnd() {
  EndPlayers();
  // A conversion still running ends before its folder goes.
  for (const QPointer<QThread>& t : converters_) {
    if (!t.isNull()) t->wait();
  }
  if (media_ != nullptr) {
    media_->stop();
    media_->setSource(QUrl());
  }
  if (madeSoundFolder_) {
    std::error_code ec;
    std::filesystem::remove_all(SoundFolder(), ec);
  }
}

bool CPreviewVrtWnd::BindPane(QWidget* root, QStringList* missing) {
  previewFile_.clear();
  root_ = root;
  ui::ControlBinder bind(root, QStringLiteral("PageScan.xml"));
  nodeTree_ = bind.Get<QWidget>("NodeTree");
  dataList_ = bind.Get<QWidget>("DataList");
  switchLayout_ = bind.Get<QWidget>("SwitchLayout");
  previewLayout_ = bind.Get<QWidget>("PreviewLayout");
  list_ = bind.Get<QListWidget>("MessagesList");
  edit_ = bind.Get<QTextEdit>("PreviewEdit");
  option_ = bind.Get<QPushButton>("OptOnOffPreview");
  if (!bind.Ok()) {
    if (missing) *missing = bind.Missing();
    return false;
  }
  edit_->setReadOnly(true);
  edit_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  BuildPlayer();
  ApplyPaneTexts();
  return true;
}

void CPreviewVrtWnd::ApplyPaneTexts() {
  if (root_ != nullptr) ui::ApplyTexts(root_, ui::Texts().Section("PreviewProcessWnd"));
}

void CPreviewVrtWnd::SetPaneView(bool show, bool rich) {
  StopSound();
  if (!show) {
    switchLayout_->hide();
    previewLayout_->hide();
    option_->setChecked(false);
    return;
  }
  switchLayout_->show();
  previewLayout_->show();
  option_->setChecked(true);
  if (rich) {
    edit_->show();
    list_->hide();
    list_->clear();
  } else {
    edit_->hide();
    list_->show();
    edit_->clear();
  }
}

void CPreviewVrtWnd::ResetPane() {
  StopSound();
  imageRetries_ = 0;
  timers_.KillAll(edit_);
  list_->clear();
  edit_->clear();
  switchLayout_->hide();
  previewLayout_->hide();
}

void CPreviewVrtWnd::PreviewItem(ScanCategory category, const void* item, bool appFilesLevel,
                                 const ScanResults& results) {
  if (item == nullptr) return;
  shownNote_ = nullptr;
  if (lockBox_ != nullptr) lockBox_->hide();
  if (const CategoryTable* table = results.Table(category)) {
    SetPaneView(true, true);
    ShowTableRow(*TableCategoryOf(category), *table, *static_cast<const TableRow*>(item));
    return;
  }
  switch (category) {
    case ScanCategory::kCameraRoll:
    case ScanCategory::kPhotoStream:
    case ScanCategory::kWhatsAppAttachments:
    case ScanCategory::kMessageAttachments: {
      const auto* file = static_cast<const MediaFileItem*>(item);
      SetPaneView(true, true);
      PreviewMediaFile(file->path.string(), Q(file->displayName));
      break;
    }
    case ScanCategory::kAppPhotos:
    case ScanCategory::kAppVideos: {
      if (!appFilesLevel) break;  // an app's row: its files are listed first
      const auto* file = static_cast<const AppFileItem*>(item);
      SetPaneView(true, true);
      PreviewMediaFile(file->path.string(), Q(file->displayName));
      break;
    }
    case ScanCategory::kMessages: {
      const auto* row = static_cast<const MessageItem*>(item);
      const auto found = results.messages.find(row->conversation);
      if (found == results.messages.end()) break;
      SetPaneView(true, false);
      ShowConversation(found->second);
      break;
    }
    case ScanCategory::kWhatsApp: {
      const auto* row = static_cast<const ChatMessageItem*>(item);
      const auto found = results.whatsApp.find(row->sessionId);
      if (found == results.whatsApp.end()) break;
      SetPaneView(true, false);
      ShowChat(found->second);
      break;
    }
    case ScanCategory::kContacts:
      SetPaneView(true, false);
      ShowContactCard(*static_cast<const ContactItem*>(item));
      break;
    case ScanCategory::kNotes:
      SetPaneView(true, true);
      ShowNote(*static_cast<const NoteItem*>(item));
      break;
    case ScanCategory::kCallHistory:
      break;
    default:
      break;
  }
}

// ----- Notes ---------------------------------------------------------------------------------

void CPreviewVrtWnd::ShowNote(const NoteItem& note) {
  timers_.KillAll(edit_);
  edit_->clear();
  edit_->setLineWrapMode(QTextEdit::WidgetWidth);
  QTextCharFormat grey;
  grey.setForeground(kLightGrey);
  AlignLastBlock(edit_, Qt::AlignHCenter);
  // The separator keeps one line: its font shrinks until it fits the pane.
  const QString separator =
      QStringLiteral("  ") + QString(51, QLatin1Char('-')) + QStringLiteral("  ");
  QFont font = edit_->font();
  // The pane has a fixed width; the edit's own width is stale while it is being shown.
  const int paneWidth =
      previewLayout_->maximumWidth() < 10000 ? previewLayout_->maximumWidth() : edit_->width();
  const int room = paneWidth - 2 * edit_->frameWidth() -
                   edit_->style()->pixelMetric(QStyle::PM_ScrollBarExtent) -
                   2 * int(edit_->document()->documentMargin()) - 4;
  const bool pixels = font.pointSizeF() <= 0;  // the skin may size fonts in pixels
  while (QFontMetrics(font).horizontalAdvance(separator) > room) {
    if (pixels ? font.pixelSize() <= 5 : font.pointSizeF() <= 4) break;
    if (pixels) {
      font.setPixelSize(font.pixelSize() - 1);
    } else {
      font.setPointSizeF(font.pointSizeF() - 0.5);
    }
  }
  grey.setFont(font);
  InsertAtEnd(edit_, separator + QStringLiteral("\n"), grey);
  QTextCharFormat text;
  text.setForeground(note.deleted ? kOrange : kNoteText);
  AlignLastBlock(edit_, Qt::AlignLeft);
  if (!note.folder.empty()) {
    InsertAtEnd(edit_, PaneWord("Folder:") + QStringLiteral("\n    ") + Q(note.folder) +
                           QStringLiteral("\n"),
                text);
  }
  for (const QString& part :
       {PaneWord("Title:") + QStringLiteral("\n"), QStringLiteral("    "), Q(note.title),
        QStringLiteral("\n"), PaneWord("Note:") + QStringLiteral("\n "), QStringLiteral("    ")}) {
    InsertAtEnd(edit_, part, text);
  }
  if (note.paragraphs.empty()) {
    InsertAtEnd(edit_, Q(note.body), text);
  } else {
    InsertNoteParagraphs(note, text);
  }
  edit_->moveCursor(QTextCursor::Start);
  shownNote_ = &note;
  // A locked note: the field for the notes password.
  if (note.locked != 0 && note.opened == 0 && unlockNotes) {
    BuildLockBox();
    if (lockBox_ != nullptr) lockBox_->show();
  } else if (lockBox_ != nullptr) {
    lockBox_->hide();
  }
  // The note's first recording in the player.
  for (const NoteAttachment& a : note.attachments) {
    if (a.kind == "audio" && !a.path.empty()) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(a.path, ec);
      LoadSound(OwnedFile{a.name, {}, a.path, a.mime, ec ? 0 : uint64_t(size)}, false);
      break;
    }
  }
}

void CPreviewVrtWnd::InsertNoteParagraphs(const NoteItem& note, const QTextCharFormat& text) {
  QTextCharFormat heading = text;
  heading.setFontWeight(QFont::Bold);
  int number = 0;
  int pictures = 0;
  for (const NoteParagraph& p : note.paragraphs) {
    number = p.style == 102 ? number + 1 : 0;
    const bool bold = p.style == 0 || p.style == 1 || p.style == 2;
    // Texts from the phone are inserted as text, never read as markup.
    InsertAtEnd(edit_,
                QString(2 * std::max(0, p.indent), QLatin1Char(' ')) +
                    Q(notes::ParagraphMark(p, number)),
                bold ? heading : text);
    for (const NotePiece& piece : p.pieces) {
      if (piece.attachment < 0 || size_t(piece.attachment) >= note.attachments.size()) {
        InsertAtEnd(edit_, Q(piece.text), bold ? heading : text);
        continue;
      }
      const NoteAttachment& a = note.attachments[size_t(piece.attachment)];
      const bool picture = a.kind == "picture" || a.kind == "drawing" ||
                           (a.kind == "scan" && a.mime.starts_with("image/"));
      if (picture && !a.path.empty() &&
          InsertImage(Q(a.path), QStringLiteral("preview://note-picture-%1").arg(++pictures))) {
        AlignLastBlock(edit_, Qt::AlignLeft);
        continue;
      }
      InsertAtEnd(edit_, Q(notes::AttachmentText(a)), text);
    }
    InsertAtEnd(edit_, QStringLiteral("\n"), text);
  }
}

void CPreviewVrtWnd::BuildLockBox() {
  auto* layout = previewLayout_ ? qobject_cast<QBoxLayout*>(previewLayout_->layout()) : nullptr;
  if (layout == nullptr || lockBox_ != nullptr) return;
  lockBox_ = new QWidget(previewLayout_);
  lockBox_->setObjectName(QStringLiteral("NotesPasswordBox"));
  auto* column = new QVBoxLayout(lockBox_);
  column->setContentsMargins(8, 6, 8, 6);
  auto* row = new QHBoxLayout();
  lockField_ = new QLineEdit(lockBox_);
  lockField_->setObjectName(QStringLiteral("NotesPassword"));
  lockField_->setEchoMode(QLineEdit::Password);
  lockField_->setPlaceholderText(CardText("NotesPassword", "Notes password"));
  auto* open = new QPushButton(CardText("OpenNote", "Open"), lockBox_);
  open->setObjectName(QStringLiteral("OpenLockedNote"));
  row->addWidget(lockField_, 1);
  row->addWidget(open);
  lockNote_ = new QLabel(lockBox_);
  lockNote_->setWordWrap(true);
  column->addLayout(row);
  column->addWidget(lockNote_);
  layout->addWidget(lockBox_);
  QObject::connect(open, &QPushButton::clicked, this, [this] { SubmitNotesPassword(); });
  QObject::connect(lockField_, &QLineEdit::returnPressed, this, [this] { SubmitNotesPassword(); });
}

void CPreviewVrtWnd::SubmitNotesPassword() {
  if (lockField_ == nullptr || !unlockNotes || shownNote_ == nullptr) return;
  // The password leaves the field at once and lives only for this call.
  QByteArray password = lockField_->text().toUtf8();
  lockField_->clear();
  const NoteUnlockCount count = unlockNotes(password.toStdString());
  password.fill('\0');
  const NoteItem* note = shownNote_;
  if (note->opened != 0) {
    lockNote_->clear();
    ShowNote(*note);
    return;
  }
  if (count.outOfReach > 0 && count.locked == 0) {
    lockNote_->setText(CardText("NoteOutOfReach",
                                "This note is locked with the phone's passcode: a backup holds no "
                                "key to open it."));
  } else {
    lockNote_->setText(CardText("WrongNotesPassword", "The notes password is wrong."));
  }
}

// ----- Conversations -------------------------------------------------------------------------

namespace {

// The lines of a conversation with each attachment's data file as its link.
template <class C>
std::vector<ConversationLine> PreviewLines(const C& conversation) {
  std::vector<ConversationLine> lines = LinesOf(conversation);
  for (size_t i = 0; i < lines.size() && i < conversation.messages.size(); ++i) {
    const auto& attachments = conversation.messages[i].attachments;
    for (size_t j = 0; j < attachments.size() && j < lines[i].attachments.size(); ++j)
      lines[i].attachments[j].link = attachments[j].path;
  }
  return lines;
}

}  // namespace

void CPreviewVrtWnd::ShowConversation(const Conversation& conversation) {
  ShowBubbles(HeadOf(conversation), PreviewLines(conversation));
}

void CPreviewVrtWnd::ShowChat(const ChatConversation& chat) {
  ShowBubbles(HeadOf(chat), PreviewLines(chat));
}

void CPreviewVrtWnd::ShowBubbles(const ConversationHead& head,
                                 const std::vector<ConversationLine>& lines) {
  list_->clear();
  auto* header = new QLabel(QStringLiteral("-------------------- %1 --------------------")
                                .arg(PaneWord("Messages")));
  header->setAlignment(Qt::AlignCenter);
  header->setProperty("role", QStringLiteral("separator"));
  header->setFixedHeight(kHeaderHeight);
  auto* headerItem = new QListWidgetItem(list_);
  headerItem->setFlags(Qt::NoItemFlags);
  headerItem->setSizeHint(QSize(0, kHeaderHeight));
  list_->setItemWidget(headerItem, header);
  if (head.group) {
    // A group names itself and its members above the bubbles.
    auto* members = new QLabel(Q(head.title) + QStringLiteral("\n") + Q(MembersText(head.members)));
    members->setTextFormat(Qt::PlainText);
    members->setWordWrap(true);
    members->setAlignment(Qt::AlignCenter);
    members->setObjectName(QStringLiteral("GroupMembers"));
    auto* membersItem = new QListWidgetItem(list_);
    membersItem->setFlags(Qt::NoItemFlags);
    const int width = qMax(list_->width() - 20, 100);
    const int height =
        QFontMetrics(members->font())
            .boundingRect(QRect(0, 0, width, 9999), Qt::TextWordWrap, members->text())
            .height() +
        12;
    membersItem->setSizeHint(QSize(0, height));
    list_->setItemWidget(membersItem, members);
  }
  for (const ConversationLine& line : lines) {
    if (!AddBubble(line)) break;
  }
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

bool CPreviewVrtWnd::AddBubble(const ConversationLine& line) {
  const bool send = line.fromMe == 1;
  QWidget* element = ui::LoadLayout(
      send ? QStringLiteral("MessagesElementSend.xml") : QStringLiteral("MessagesElementRecv.xml"),
      nullptr);
  if (element == nullptr) return false;
  auto* headerLabel = element->findChild<QLabel*>(QStringLiteral("MsgHeader"));
  auto* textLabel = element->findChild<QLabel*>(QStringLiteral("MsgText"));
  if (headerLabel == nullptr || textLabel == nullptr) {
    delete element;
    return false;
  }
  auto* item = new QListWidgetItem(list_);
  item->setFlags(Qt::NoItemFlags);
  list_->setItemWidget(item, element);

  const QString date = Q(line.date);
  QString who = send ? PaneWord("Me") : Q(line.name.empty() ? line.phone : line.name);
  if (!line.service.empty()) who += QStringLiteral(" (%1)").arg(Q(line.service));
  headerLabel->setText(QStringLiteral("%1 %2:").arg(date, who));
  // Texts from the phone are shown as they are, never read as markup: a bubble with pictures
  // is rich text built from escaped texts and the pictures' own files, any other plain text.
  headerLabel->setTextFormat(Qt::PlainText);
  textLabel->setWordWrap(true);
  QString text;
  if (!line.replyTo.empty()) text += QStringLiteral("\u21AA ") + Q(line.replyTo) + QStringLiteral("\n");
  text += Q(ShownText(line));
  QString html = text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
  int pictures = 0;  // pixels the pictures add to the bubble
  const auto addLine = [&](const QString& extra) {
    if (!text.isEmpty()) text += QStringLiteral("\n");
    text += extra;
    html += (html.isEmpty() ? QString() : QStringLiteral("<br>")) + extra.toHtmlEscaped();
  };
  for (const LineAttachment& a : line.attachments) {
    QImageReader reader(Q(a.link));
    const QSize size = a.link.empty() ? QSize() : reader.size();
    if (size.isValid() && size.width() > 0) {
      const int w = qMin(size.width(), 180);
      const int h = qMax(size.height() * w / size.width(), 1);
      html += QStringLiteral("<br><img src=\"%1\" width=\"%2\" height=\"%3\">")
                  .arg(QUrl::fromLocalFile(Q(a.link)).toString().toHtmlEscaped())
                  .arg(w)
                  .arg(h);
      pictures += h + 6;
    } else {
      addLine(QStringLiteral("\U0001F4CE ") + Q(a.name));
    }
  }
  if (!line.reactions.empty()) addLine(Q(ReactionsText(line.reactions)));
  if (pictures > 0) {
    textLabel->setTextFormat(Qt::RichText);
    textLabel->setText(html);
  } else {
    textLabel->setTextFormat(Qt::PlainText);
    textLabel->setText(text);
  }
  if (line.deleted == 1) textLabel->setStyleSheet(send ? kDeletedSendSheet : kOrangeSheet);

  if (list_->width() == 0 && list_->parentWidget() != nullptr) {
    list_->setGeometry(list_->parentWidget()->rect());
  }
  const QMargins inset = list_->contentsMargins();
  const QMargins elementPadding =
      element->layout() ? element->layout()->contentsMargins() : QMargins(15, 15, 15, 0);
  const QMargins textPadding = send ? kSendPadding : kRecvPadding;
  const int width = list_->width() - inset.left() - inset.right() - elementPadding.left() -
                    elementPadding.right() - textPadding.left() - textPadding.right() - 10;
  textLabel->ensurePolished();
  const QFontMetrics metrics(textLabel->font());
  const int measured =
      metrics.boundingRect(QRect(0, 0, qMax(width, 1), 9999), Qt::TextWordWrap, text).height();
  const int height =
      BubbleTextHeight(textPadding.top() + textPadding.bottom(), measured, text) + pictures;
  textLabel->setFixedHeight(height);
  // The element holds the header, the text and 5 pixels, inside its own padding.
  const int elementHeight =
      height + headerLabel->maximumHeight() + 5 + elementPadding.top() + elementPadding.bottom();
  element->setFixedHeight(elementHeight);
  item->setSizeHint(QSize(0, elementHeight));
  return true;
}

// ----- Contact card --------------------------------------------------------------------------

void CPreviewVrtWnd::ShowContactCard(const ContactItem& contact) {
  list_->clear();
  QWidget* card = ui::LoadLayout(QStringLiteral("ContactInfo.xml"), nullptr);
  if (card == nullptr) return;
  ui::ApplyTexts(card, ui::Texts().Section("ContactInfo"));
  if (auto* header = card->findChild<QLabel*>(QStringLiteral("LblContactHeader"))) {
    const QString word = ui::Text(ui::Texts().Section("ContactInfo"), "LblContactHeader");
    header->setText(QStringLiteral("---------------------- %1 ----------------------")
                        .arg(word.isEmpty() ? QStringLiteral("Contact") : word));
  }
  auto* item = new QListWidgetItem(list_);
  item->setFlags(Qt::NoItemFlags);
  list_->setItemWidget(item, card);

  auto* name = card->findChild<QLabel*>(QStringLiteral("TxtUserName"));
  const struct {
    const char* label;
    const char* text;
    const std::string& value;
  } rows[] = {{"LblPhoneDesc", "TxtPhone", contact.phones},
              {"LblEmailDesc", "TxtEmail", contact.email},
              {"LblAddressDesc", "TxtAddress", contact.address},
              {"LblUrlDesc", "TxtUrl", contact.url},
              {"LblSocialDesc", "TxtSocial", contact.social},
              {"LblCompanyDesc", "TxtCompany", contact.company}};
  if (contact.deleted) {
    if (name) name->setStyleSheet(kOrangeSheet);
    for (const auto& row : rows) {
      for (const char* control : {row.label, row.text}) {
        if (auto* l = card->findChild<QLabel*>(QLatin1String(control))) {
          l->setStyleSheet(kOrangeSheet);
        }
      }
    }
  }
  if (name) {
    name->setTextFormat(Qt::PlainText);
    name->setText(Q(contact.name));
  }
  for (const auto& row : rows) {
    auto* text = card->findChild<QLabel*>(QLatin1String(row.text));
    if (text == nullptr || text->parentWidget() == nullptr) continue;
    QWidget* line = text->parentWidget();
    if (row.value.empty()) {
      line->hide();
      continue;
    }
    text->setTextFormat(Qt::PlainText);
    text->setText(Q(row.value));
    text->ensurePolished();
    // The text's width in the pane: the row less its margins and its caption.
    int width = kCardTextWidth;
    if (auto* caption = card->findChild<QLabel*>(QLatin1String(row.label));
        caption != nullptr && line->layout() != nullptr && list_->viewport()->width() > 0) {
      const QMargins m = line->layout()->contentsMargins();
      width = qMax(40, list_->viewport()->width() - m.left() - m.right() - caption->maximumWidth() -
                           line->layout()->spacing());
    }
    const int measured = QFontMetrics(text->font())
                             .boundingRect(QRect(0, 0, width, 9999), Qt::TextWordWrap, Q(row.value))
                             .height();
    line->setFixedHeight(measured > 29 ? measured + 10 : 30);
  }
  card->adjustSize();
  item->setSizeHint(QSize(0, card->sizeHint().height()));
}

// ----- Table rows ----------------------------------------------------------------------------

void CPreviewVrtWnd::ShowTableRow(const TableCategory& category, const CategoryTable& table,
                                  const TableRow& row) {
  timers_.KillAll(edit_);
  edit_->clear();
  EndPlayers();
  edit_->setLineWrapMode(QTextEdit::WidgetWidth);
  // The row's first picture above its card.
  for (const OwnedFile& file : row.files) {
    if (IsMime(file, "image/") && InsertImage(Q(file.path.string()))) {
      InsertAtEnd(edit_, QStringLiteral("\n"), QTextCharFormat());
      break;
    }
  }
  QTextCharFormat grey;
  grey.setForeground(kLightGrey);
  AlignLastBlock(edit_, Qt::AlignHCenter);
  InsertAtEnd(edit_, QStringLiteral("  ") + QString(30, QLatin1Char('-')) + QStringLiteral("\n"),
              grey);
  AlignLastBlock(edit_, Qt::AlignLeft);
  QTextCharFormat title;
  title.setForeground(row.deleted ? kOrange : kNoteText);
  title.setFontWeight(QFont::Bold);
  QTextCharFormat value;
  value.setForeground(row.deleted ? kOrange : kNoteText);
  const auto add = [&](const QString& caption, const QString& text) {
    InsertAtEnd(edit_, caption + QStringLiteral(":\n"), title);
    // Texts from the phone are inserted as text, never read as markup.
    InsertAtEnd(edit_, QStringLiteral("    ") + text + QStringLiteral("\n"), value);
  };
  for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
    const QString text = TableCellText(row.cells[c], table.columns[c].type);
    if (text.isEmpty()) continue;
    add(TableColumnTitle(category, table.columns[c]), text);
  }
  add(CardText("Status", "Status"), row.deleted ? CardText("Deleted", "Deleted")
                                                : CardText("Normal", "Not deleted"));
  const char* found = "in its database";
  if (row.origin == ItemSource::kCarved) found = "carved from free space";
  if (row.origin == ItemSource::kWal) found = "older version kept by the write-ahead log";
  add(CardText("Source", "Found"), CardText(ItemSourceName(row.origin), found));
  edit_->moveCursor(QTextCursor::Start);
  // The row's first sound or video in the player.
  for (const OwnedFile& file : row.files) {
    const bool video = IsMime(file, "video/");
    if (video || IsMime(file, "audio/")) {
      LoadSound(file, video);
      break;
    }
  }
}

// ----- The player inside the pane --------------------------------------------------------------

void CPreviewVrtWnd::BuildPlayer() {
  auto* layout = qobject_cast<QBoxLayout*>(previewLayout_->layout());
  if (layout == nullptr || playerBox_ != nullptr) return;
  playerBox_ = new QWidget(previewLayout_);
  playerBox_->setObjectName(QStringLiteral("PreviewPlayer"));
  playerBox_->setAttribute(Qt::WA_StyledBackground, true);
  playerBox_->setStyleSheet(QStringLiteral(
      "#PreviewPlayer { background: #F4F5F7; border-top: 1px solid #E1E3E8; }"
      "QToolButton { border: 1px solid #C9CDD4; border-radius: 4px; background: #FFFFFF;"
      " padding: 3px 8px; }"
      "QToolButton:disabled { color: #9AA0A6; }"));
  auto* box = new QVBoxLayout(playerBox_);
  box->setContentsMargins(10, 8, 10, 8);
  box->setSpacing(6);
  playerName_ = new QLabel(playerBox_);
  playerName_->setObjectName(QStringLiteral("PlayerName"));
  playerName_->setTextFormat(Qt::PlainText);
  QFont bold = playerName_->font();
  bold.setBold(true);
  playerName_->setFont(bold);
  box->addWidget(playerName_);
  video_ = new QVideoWidget(playerBox_);
  video_->setMinimumHeight(124);
  video_->hide();
  box->addWidget(video_);
  auto* controls = new QHBoxLayout();
  controls->setSpacing(6);
  playButton_ = new QToolButton(playerBox_);
  playButton_->setObjectName(QStringLiteral("PlayerPlay"));
  playButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  playButton_->setIcon(playerBox_->style()->standardIcon(QStyle::SP_MediaPlay));
  controls->addWidget(playButton_);
  seek_ = new QSlider(Qt::Horizontal, playerBox_);
  seek_->setObjectName(QStringLiteral("PlayerSeek"));
  controls->addWidget(seek_, 1);
  box->addLayout(controls);
  playerTime_ = new QLabel(playerBox_);
  playerTime_->setObjectName(QStringLiteral("PlayerTime"));
  box->addWidget(playerTime_);
  playerNote_ = new QLabel(playerBox_);
  playerNote_->setObjectName(QStringLiteral("PlayerNote"));
  playerNote_->setTextFormat(Qt::PlainText);
  playerNote_->setWordWrap(true);
  playerNote_->setStyleSheet(QStringLiteral("color: #B3261E;"));
  box->addWidget(playerNote_);
  layout->addWidget(playerBox_);
  playerBox_->hide();
  connect(playButton_, &QToolButton::clicked, this, [this] {
    if (media_ == nullptr) return;
    if (media_->playbackState() == QMediaPlayer::PlayingState) {
      media_->pause();
    } else {
      media_->play();
    }
  });
  connect(seek_, &QSlider::sliderMoved, this, [this](int ms) {
    if (media_ != nullptr) media_->setPosition(ms);
  });
}

// The player and its sound output are made when the first sound is shown: a program that
// previews none never opens the sound system.
void CPreviewVrtWnd::EnsureMedia() {
  if (media_ != nullptr) return;
  media_ = new QMediaPlayer(this);
  audioOut_ = new QAudioOutput(this);
  media_->setAudioOutput(audioOut_);
  media_->setVideoOutput(video_);
  connect(media_, &QMediaPlayer::durationChanged, this, [this](qint64 ms) {
    seek_->setRange(0, int(std::min<qint64>(ms, INT32_MAX)));
    ShowPlayerTime();
  });
  connect(media_, &QMediaPlayer::positionChanged, this, [this](qint64 ms) {
    if (!seek_->isSliderDown()) seek_->setValue(int(std::min<qint64>(ms, INT32_MAX)));
    ShowPlayerTime();
  });
  connect(media_, &QMediaPlayer::playbackStateChanged, this, [this](QMediaPlayer::PlaybackState st) {
    const bool playing = st == QMediaPlayer::PlayingState;
    playButton_->setText(playing ? CardText("Pause", "Pause") : CardText("Play", "Play"));
    playButton_->setIcon(playerBox_->style()->standardIcon(playing ? QStyle::SP_MediaPause
                                                                   : QStyle::SP_MediaPlay));
  });
  connect(media_, &QMediaPlayer::errorOccurred, this,
          [this](QMediaPlayer::Error error, const QString& text) {
            if (error == QMediaPlayer::NoError || media_->source().isEmpty()) return;
            playerNote_->setText(
                CardText("NotPlayable", "This sound cannot be played: %1").arg(text));
            playButton_->setEnabled(false);
            seek_->setEnabled(false);
          });
  connect(media_, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus st) {
    if (st == QMediaPlayer::EndOfMedia) {
      media_->setPosition(0);
    } else if (st == QMediaPlayer::InvalidMedia && playerNote_->text().isEmpty()) {
      playerNote_->setText(CardText("NotPlayable", "This sound cannot be played: %1")
                               .arg(media_->errorString()));
      playButton_->setEnabled(false);
    }
  });
}

std::filesystem::path CPreviewVrtWnd::SoundFolder() const {
  return session_.workFolder / "preview-sounds";
}

QUrl CPreviewVrtWnd::SoundSource() const { return media_ ? media_->source() : QUrl(); }

void CPreviewVrtWnd::ShowPlayerTime() {
  if (media_ == nullptr) return;
  playerTime_->setText(QStringLiteral("%1 / %2").arg(ClockText(media_->position()),
                                                    ClockText(media_->duration())));
}

void CPreviewVrtWnd::StopSound() {
  ++soundGeneration_;  // a conversion still running is no longer wanted here
  if (media_ != nullptr) {
    media_->stop();
    media_->setSource(QUrl());
  }
  if (playerBox_ != nullptr) {
    playerBox_->hide();
    video_->hide();
  }
}

void CPreviewVrtWnd::LoadSound(const OwnedFile& file, bool video) {
  if (playerBox_ == nullptr) return;
  StopSound();
  EnsureMedia();
  const uint64_t generation = soundGeneration_;
  playerName_->setText(Q(file.name));
  playerNote_->clear();
  playerTime_->clear();
  playButton_->setText(CardText("Play", "Play"));
  playButton_->setEnabled(false);
  seek_->setEnabled(false);
  seek_->setRange(0, 0);
  video_->setVisible(video);
  playerBox_->show();
  const std::string dataFile = file.path.string();
  if (auto known = soundCopies_.find(dataFile); known != soundCopies_.end()) {
    OnSoundReady(generation, dataFile, known->second.source, known->second.problem);
    return;
  }
  playerTime_->setText(CardText("Preparing", "Preparing the sound..."));
  // Whether the file plays as it is, and else its playable copy: both read the file, so they
  // run beside the user-interface thread.
  std::error_code ec;
  if (!video && !std::filesystem::exists(SoundFolder(), ec)) {
    madeSoundFolder_ = std::filesystem::create_directories(SoundFolder(), ec) || madeSoundFolder_;
  }
  const std::filesystem::path target = SoundFolder() / media::PlayableAudioName(file.name);
  auto result = std::make_shared<SoundCopy>();
  QThread* worker = QThread::create([dataFile, target, video, result] {
    std::error_code error;
    if (!std::filesystem::is_regular_file(dataFile, error)) {
      result->problem = "the file is not in the backup";
    } else if (video || media::IsBrowserPlayableAudio(dataFile)) {
      result->source = dataFile;
    } else {
      const media::Outcome outcome = media::ConvertAudio(dataFile, target);
      if (outcome.ok()) {
        result->source = outcome.written.string();
      } else {
        result->problem = outcome.reason.empty() ? std::strerror(outcome.error) : outcome.reason;
      }
    }
  });
  worker->setParent(this);
  converters_.push_back(worker);
  connect(worker, &QThread::finished, this, [this, worker, generation, dataFile, result] {
    soundCopies_[dataFile] = *result;
    for (auto it = converters_.begin(); it != converters_.end();) {
      it = (it->isNull() || *it == worker) ? converters_.erase(it) : it + 1;
    }
    worker->deleteLater();
    OnSoundReady(generation, dataFile, result->source, result->problem);
  });
  worker->start();
}

void CPreviewVrtWnd::OnSoundReady(uint64_t generation, const std::string& /*dataFile*/,
                                  const std::string& source, const std::string& problem) {
  if (generation != soundGeneration_) return;  // another row was selected meanwhile
  if (!problem.empty()) {
    playerTime_->clear();
    playerNote_->setText(
        CardText("NotPlayable", "This sound cannot be played: %1").arg(Q(problem)));
    return;
  }
  media_->setSource(QUrl::fromLocalFile(Q(source)));
  playButton_->setEnabled(true);
  seek_->setEnabled(true);
  ShowPlayerTime();
}

// ----- Media files ---------------------------------------------------------------------------

void CPreviewVrtWnd::PreviewMediaFile(const std::string& path, const QString& displayName) {
  pendingPath_ = path;
  pendingName_ = displayName;
  if (pendingPath_ != lastPath_) {
    lastPath_ = pendingPath_;
    PrepareMedia();
  } else {
    // The same file again: what the pane showed of it goes at once, and it is shown anew.
    timers_.KillAll(edit_);
    edit_->clear();
    EndPlayers();
    PostReady();
  }
}

void CPreviewVrtWnd::PostReady() {
  if (readyPosted_) return;
  readyPosted_ = true;
  ui::PostWindowMessage(this, ui::kWmPreviewReady);
}

void CPreviewVrtWnd::PrepareMedia() {
  timers_.KillAll(edit_);
  edit_->clear();
  EndPlayers();
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(pendingPath_, ec);
  if (ec) size = 0;
  if (size > kExtractWindowAbove) {
    std::string path;
    const int result = runExtractionWindow(pendingPath_, pendingName_, path);
    if (result != ui::kResultOk) {
      // A stopped copy left no usable preview: the next selection of this file copies again.
      lastPath_.clear();
      pendingPath_.clear();
      return;
    }
    previewFile_ = path;
  } else {
    session_.ExtractForPreview(pendingPath_, previewFile_, nullptr, nullptr);
  }
  const QString suffix = QFileInfo(Q(previewFile_)).suffix().toLower();
  const bool hasDot = previewFile_.find('.') != std::string::npos;
  if (hasDot && suffix == QLatin1String("jpg")) {
    previewKind_ = kPreviewPicture;
  } else if (hasDot && suffix == QLatin1String("wav")) {
    previewKind_ = kPreviewSound;
    PlayableSound();
  } else if (hasDot && suffix == QLatin1String("avi")) {
    previewKind_ = kPreviewVideo;
  } else {
    previewKind_ = kPreviewNothing;
  }
  PostReady();
  pendingPath_.clear();
}

void CPreviewVrtWnd::PlayableSound() {
  // Every sound is extracted as it is stored (CAF, AMR, M4A, ...) under the name tmp.wav; the
  // player reads a PCM WAV file without any decoder of its own, so anything else is given to
  // it as one.
  QFile file(Q(previewFile_));
  QByteArray head;
  if (file.open(QIODevice::ReadOnly)) head = file.read(12);
  if (head.size() == 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WAVE") return;
  const std::filesystem::path pcm =
      std::filesystem::path(previewFile_).parent_path() / "tmp-sound.wav";
  std::error_code ec;
  std::filesystem::remove(pcm, ec);
  const media::Outcome made = media::ConvertAudioToWav(previewFile_, pcm);
  if (made.ok()) previewFile_ = made.written.string();
}

bool CPreviewVrtWnd::event(QEvent* e) {
  if (ui::IsWindowMessage(e) &&
      static_cast<ui::WindowMessageEvent*>(e)->Message() == ui::kWmPreviewReady) {
    readyPosted_ = false;
    ShowPreview();
    return true;
  }
  return QObject::event(e);
}

void CPreviewVrtWnd::ShowPreview() {
  timers_.KillAll(edit_);
  edit_->clear();
  // One player at a time: whatever still plays belongs to an earlier showing.
  EndPlayers();
  switch (previewKind_) {
    case kPreviewPicture:
      if (!InsertImage(Q(previewFile_))) {
        imageRetries_ = 0;
        timers_.Set(edit_, kImageTimerId, kImageTimerMs);
      }
      break;
    case kPreviewSound:
      StartPlayer(QStringLiteral("Player1"), {Q(previewFile_)});
      break;
    case kPreviewVideo:
      PlayVideo();
      break;
    case kPreviewNothing:
      break;
  }
}

void CPreviewVrtWnd::Notify(const ui::Notification& n) {
  if (n.type == QLatin1String(ui::notify::kTimer) && n.control == edit_ &&
      n.wParam == kImageTimerId) {
    OnImageTimer();
  }
}

void CPreviewVrtWnd::OnImageTimer() {
  if (InsertImage(Q(previewFile_))) {
    timers_.KillAll(edit_);
    return;
  }
  ++imageRetries_;
  if (imageRetries_ > kImageRetries) {
    timers_.KillAll(edit_);
    edit_->clear();
    const QString missing = ui::MessageText("MSG1208");
    AppendCentredLine(missing.isEmpty() ? QStringLiteral("Can not found the file!") : missing);
  }
}

bool CPreviewVrtWnd::InsertImage(const QString& path, const QString& resource) {
  if (path.isEmpty()) return false;
  // The preview file is named by its kind, not its format: the reader looks at the bytes.
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  reader.setAutoTransform(true);
  QImage image = reader.read();
  // HEIC/HEIF (an iPhone's photos): Qt has no reader of its own for them.
  if (image.isNull() && LooksLikeHeif(path)) image = DecodeHeif(path);
  if (image.isNull()) return false;
  if (image.width() <= 2 && image.height() <= 2) {
    edit_->clear();
    return false;
  }
  const int room = qMax(40, edit_->viewport()->width() - 20);
  const QImage shown =
      image.width() > room ? image.scaledToWidth(room, Qt::SmoothTransformation) : image;
  QTextDocument* doc = edit_->document();
  const QUrl name(resource);
  doc->addResource(QTextDocument::ImageResource, name, shown);
  AlignLastBlock(edit_, Qt::AlignHCenter);
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  QTextImageFormat format;
  format.setName(name.toString());
  format.setWidth(shown.width());
  format.setHeight(shown.height());
  cursor.insertImage(format);
  return true;
}

void CPreviewVrtWnd::AppendCentredLine(const QString& text) {
  if (text.isEmpty()) return;
  AlignLastBlock(edit_, Qt::AlignHCenter);
  InsertAtEnd(edit_, text + QStringLiteral("\n"), QTextCharFormat());
}

// ----- Players -------------------------------------------------------------------------------

QProcess* CPreviewVrtWnd::StartPlayer(const QString& program, const QStringList& args) {
  auto* process = new QProcess(this);
  process->setProgram(playerFolder + QLatin1Char('/') + program);
  process->setArguments(args);
  process->setProcessChannelMode(QProcess::MergedChannels);
  players_.push_back(process);
  connect(process, &QProcess::finished, this, [this, process] { AfterPlayerEnd(process); });
  connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) AfterPlayerEnd(process);
  });
  process->start();
  if (process->processId() > 0) RegisterPlayer(long(process->processId()));
  return process;
}

void CPreviewVrtWnd::PlayVideo() {
  QProcess* process =
      StartPlayer(QStringLiteral("Player"),
                  {QStringLiteral("-aspect"), QStringLiteral("16:9"), QStringLiteral("-geometry"),
                   QStringLiteral("845:260"), QStringLiteral("-x"), QStringLiteral("326"),
                   QStringLiteral("-y"), QStringLiteral("189"), Q(previewFile_)});
  auto playing = std::make_shared<bool>(false);
  connect(process, &QProcess::readyRead, this, [process, playing] {
    if (*playing) {
      process->readAll();
      return;
    }
    if (process->readAll().contains('%')) *playing = true;
  });
  // A video that cannot be played is told in the pane itself, whether the player could not
  // start or ended without playing; no box interrupts the browsing.
  connect(process, &QProcess::finished, this, [this, process, playing] {
    if (!*playing && !process->readAll().contains('%')) ShowVideoFailed();
  });
  connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) ShowVideoFailed();
  });
}

void CPreviewVrtWnd::ShowVideoFailed() {
  edit_->show();
  list_->hide();
  edit_->clear();
  QString text = PaneWord("VideoFailed");
  if (text == QLatin1String("VideoFailed")) text = ui::MessageText("MSG1207");
  if (text.isEmpty()) text = QStringLiteral("The video could not be played.");
  AppendCentredLine(text);
}

void CPreviewVrtWnd::AfterPlayerEnd(QProcess* process) {
  if (process->processId() > 0) ForgetPlayer(long(process->processId()));
  for (auto it = players_.begin(); it != players_.end();) {
    it = (it->isNull() || *it == process) ? players_.erase(it) : it + 1;
  }
  process->deleteLater();
}

void CPreviewVrtWnd::EndPlayers() {
  const auto players = players_;
  players_.clear();
  for (const QPointer<QProcess>& p : players) {
    if (p.isNull()) continue;
    const qint64 pid = p->processId();
    p->disconnect(this);
    if (p->state() != QProcess::NotRunning) {
      p->terminate();
      if (!p->waitForFinished(1000)) {
        p->kill();
        p->waitForFinished(1000);
      }
    }
    if (pid > 0) ForgetPlayer(long(pid));
    p->deleteLater();
  }
}

std::vector<qint64> CPreviewVrtWnd::RunningPlayers() const {
  std::vector<qint64> out;
  for (const QPointer<QProcess>& p : players_) {
    if (!p.isNull() && p->state() != QProcess::NotRunning) out.push_back(p->processId());
  }
  return out;
}

}  // namespace halvern::app
