// The item list model and its controller.
#include "app/file_list_ctrl.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cstring>
#include <limits>

#include "backup/media_scan.h"
#include "categories/category.h"
#include "platform/platform.h"
#include "ui/controls.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// A fixed word of a list cell ("Folder", "Incoming", ...) in the current language.
QString ListWord(const QString& word) {
  const QString text = ui::Text(ui::Texts().Section("DataList"), word.toStdString());
  return text.isEmpty() ? word : text;
}

// A conversation's label with "3 deleted" after it when some, not all, of its messages are.
QString WithDeletedCount(const QString& label, const DeletedMarks& marks) {
  if (marks.deleted == 0 || marks.Whole()) return label;
  QString format = ListWord(QStringLiteral("DeletedCount"));
  if (format == QLatin1String("DeletedCount")) format = QStringLiteral("%1 deleted");
  return label + QStringLiteral(" \u00B7 ") + format.arg(marks.deleted);
}

QIcon Draw(const std::function<void(QPainter&)>& paint) {
  QPixmap pixmap(18, 18);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  paint(p);
  return QIcon(pixmap);
}

}  // namespace

namespace {

template <class Map>
std::vector<DeletedMarks> MarksOfEach(const Map& map) {
  std::vector<DeletedMarks> marks;
  for (const auto& [key, conversation] : map) {
    if (conversation.messages.empty()) continue;
    DeletedMarks m;
    m.total = uint32_t(conversation.messages.size());
    for (const auto& message : conversation.messages) m.deleted += message.deleted != 0;
    marks.push_back(m);
  }
  // The same order as the rows: those holding a deleted message first, stable.
  std::stable_partition(marks.begin(), marks.end(),
                        [](const DeletedMarks& m) { return m.deleted > 0; });
  return marks;
}

}  // namespace

std::vector<DeletedMarks> ConversationMarks(const MessageMap& messages) {
  return MarksOfEach(messages);
}
std::vector<DeletedMarks> ChatMarks(const ChatMap& chats) { return MarksOfEach(chats); }

bool HasDeletionMarks(ScanCategory category) { return CategoryHasDeletionMarks(category); }

QString TableColumnTitle(const TableCategory& category, const TableColumn& column) {
  ui::TextMap& texts = ui::Texts().Section("TableColumns");
  QString text = ui::Text(texts, std::string(category.key) + "." + column.key);
  if (text.isEmpty()) text = ui::Text(texts, column.key);
  return text.isEmpty() ? Q(column.title) : text;
}

QString TableCellText(const Cell& cell, ColumnType type) {
  const QString text = Q(ShownText(cell, type));
  return type == ColumnType::kFlag && !text.isEmpty() ? ListWord(text) : text;
}

bool IsVideoName(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  // "*.ext|" against the list with a closing "|", so that its last entry counts too.
  const std::string key = "*." + platform::AsciiLower(name.substr(dot + 1)) + "|";
  const std::string list = std::string(kVideoList) + "|";
  return list.find(key) != std::string::npos;
}

const QIcon& ListIcons::Picture() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(QPen(QColor(0x3A, 0x8D, 0xDE), 1.4));
    p.setBrush(QColor(0xE8, 0xF2, 0xFC));
    p.drawRoundedRect(QRectF(1.5, 3.5, 15, 11), 2, 2);
    QPainterPath hill;
    hill.moveTo(3, 13);
    hill.lineTo(7, 8);
    hill.lineTo(10, 11);
    hill.lineTo(12, 9);
    hill.lineTo(15, 13);
    hill.closeSubpath();
    p.setBrush(QColor(0x3A, 0x8D, 0xDE));
    p.setPen(Qt::NoPen);
    p.drawPath(hill);
    p.drawEllipse(QPointF(12, 6.5), 1.3, 1.3);
  });
  return icon;
}

const QIcon& ListIcons::Video() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x7B, 0x4F, 0xD6));
    p.drawRoundedRect(QRectF(1, 3, 16, 12), 2, 2);
    QPainterPath play;
    play.moveTo(7, 6);
    play.lineTo(12.5, 9);
    play.lineTo(7, 12);
    play.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(play);
  });
  return icon;
}

const QIcon& ListIcons::Audio() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1F, 0xA2, 0x6B));
    p.drawRoundedRect(QRectF(1, 1, 16, 16), 3, 3);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(6.5, 12.5), 2.2, 1.8);
    p.drawRect(QRectF(7.8, 4, 1.4, 8.5));
    p.drawRect(QRectF(7.8, 4, 5, 1.6));
  });
  return icon;
}

const QIcon& ListIcons::Document() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(QPen(QColor(0x6B, 0x72, 0x80), 1.2));
    p.setBrush(QColor(0xF4, 0xF5, 0xF7));
    p.drawRoundedRect(QRectF(3.5, 1.5, 11, 15), 1.5, 1.5);
    p.drawLine(QPointF(6, 6), QPointF(12, 6));
    p.drawLine(QPointF(6, 9), QPointF(12, 9));
    p.drawLine(QPointF(6, 12), QPointF(10, 12));
  });
  return icon;
}

const QIcon& ListIcons::ForFile(const std::string& kind, const std::string& name) {
  std::string media = MediaClassOf(kind);
  if (media.empty()) media = IsVideoName(name) ? "video" : "image";
  if (media == "audio") return Audio();
  if (media == "video") return Video();
  if (media == "document") return Document();
  return Picture();
}

const QIcon& ListIcons::Folder() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xF2, 0xB1, 0x3A));
    p.drawRoundedRect(QRectF(1, 3, 7, 4), 1, 1);
    p.drawRoundedRect(QRectF(1, 5, 16, 10), 1.5, 1.5);
  });
  return icon;
}

const QIcon& ListIcons::Deleted() {
  static const QIcon icon = Draw([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgba(kDeletedColour));
    p.drawEllipse(QRectF(1, 1, 16, 16));
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(QPointF(6, 6), QPointF(12, 12));
    p.drawLine(QPointF(12, 6), QPointF(6, 12));
  });
  return icon;
}

// ----- Model -------------------------------------------------------------------------------

ItemListModel::ItemListModel(const ScanResults& results, const CategoryRows& rows,
                             const CStatisticsObj& selection, QObject* parent)
    : QAbstractTableModel(parent), results_(results), rows_(rows), selection_(selection) {}

void ItemListModel::SetColumns(std::vector<Column> columns) { columns_ = std::move(columns); }

void ItemListModel::Clear() {
  beginResetModel();
  level_ = Level::kNone;
  columns_.clear();
  files_ = nullptr;
  appFiles_ = nullptr;
  table_ = nullptr;
  tableCategory_ = nullptr;
  apps_.clear();
  filtered_ = false;
  visible_.clear();
  app_.clear();
  endResetModel();
}

void ItemListModel::ShowCategory(ScanCategory category, bool deletedOnly) {
  beginResetModel();
  level_ = Level::kCategory;
  category_ = category;
  app_.clear();
  files_ = nullptr;
  appFiles_ = nullptr;
  table_ = results_.Table(category);
  tableCategory_ = TableCategoryOf(category);
  apps_.clear();
  if (table_ != nullptr) {
    // One column per column of the table, sized by what its type shows.
    std::vector<Column> columns;
    for (const TableColumn& c : table_->columns) {
      int width = 130;
      switch (c.type) {
        case ColumnType::kDate:
          width = 150;
          break;
        case ColumnType::kDuration:
          width = 90;
          break;
        case ColumnType::kNumber:
        case ColumnType::kFlag:
          width = 70;
          break;
        case ColumnType::kText:
        case ColumnType::kFile:
        case ColumnType::kPlace:
        case ColumnType::kList:
          width = 130;
          break;
      }
      columns.push_back({c.title, width, false, &c});
    }
    SetColumns(std::move(columns));
  }
  using C = ScanCategory;
  switch (category) {
    case C::kCameraRoll:
    case C::kPhotoStream:
      files_ = category == C::kCameraRoll ? &results_.cameraRoll : &results_.photoStream;
      SetColumns({{"File Name", 200, false}, {"Kind", 60, false}, {"File Size", 0, false}});
      break;
    case C::kMessageAttachments:
    case C::kWhatsAppAttachments:
      files_ = category == C::kMessageAttachments ? &results_.messageAttachments
                                                  : &results_.whatsAppAttachments;
      SetColumns({{"File Name", 300, false}, {"Kind", 60, false}, {"File Size", 0, false}});
      break;
    case C::kAppPhotos:
    case C::kAppVideos:
      for (const auto& entry :
           category == C::kAppPhotos ? results_.appPhotos : results_.appVideos) {
        apps_.push_back(&entry);
      }
      SetColumns({{"App Name", 300, false}, {"Type", 0, false}});
      break;
    case C::kMessages:
      SetColumns({{"User Name", 100, false},
                  {"Phone Number", 100, false},
                  {"Date", 120, false},
                  {"Message", 0, false}});
      break;
    case C::kContacts:
      SetColumns({{"Name", 100, true},
                  {"Company", 100, false},
                  {"Phone", 100, true},
                  {"Email", 100, true},
                  {"Home Page", 0, false}});
      break;
    case C::kCallHistory:
      SetColumns({{"User Name", 130, false},
                  {"Phone Number", 130, false},
                  {"Date", 130, false},
                  {"Call Status", 200, false},
                  {"Duration", 90, false},
                  {"Status", 0, false}});
      break;
    case C::kNotes:
      SetColumns({{"Title", 100, false},
                  {"Folder", 100, false},
                  {"Date", 110, false},
                  {"Note", 0, false},
                  {"Status", 60, false}});
      break;
    case C::kWhatsApp:
      SetColumns({{"Chats", 150, false}, {"Name", 150, true}, {"Phone", 0, true}});
      break;
    default:
      break;
  }
  const bool deletedFilter = deletedOnly && HasDeletionMarks(category);
  const bool inView = table_ != nullptr && !viewRows_.empty() && viewCategory_ == category;
  filtered_ = deletedFilter || inView;
  visible_.clear();
  if (inView) {
    const size_t n = ItemCount();
    for (size_t i : viewRows_.front() == kEmptyView ? std::vector<size_t>() : viewRows_) {
      if (i < n && (!deletedFilter || ItemDeleted(i))) visible_.push_back(uint32_t(i));
    }
  } else if (filtered_) {
    const size_t n = ItemCount();
    for (size_t i = 0; i < n; ++i) {
      if (ItemDeleted(i)) visible_.push_back(uint32_t(i));
    }
  }
  endResetModel();
}

void ItemListModel::SetView(ScanCategory category, const std::vector<size_t>* rows) {
  viewCategory_ = category;
  viewRows_.clear();
  if (rows == nullptr) return;
  // An empty view still shows no row (an empty list of rows would mean "no view").
  viewRows_ = rows->empty() ? std::vector<size_t>{kEmptyView} : *rows;
}

void ItemListModel::ShowAppFiles(ScanCategory category, const std::string& app) {
  const AppFileMap& map =
      category == ScanCategory::kAppPhotos ? results_.appPhotos : results_.appVideos;
  auto it = map.find(app);
  if (it == map.end()) return;
  beginResetModel();
  level_ = Level::kAppFiles;
  category_ = category;
  app_ = app;
  table_ = nullptr;
  tableCategory_ = nullptr;
  apps_.clear();
  files_ = nullptr;
  appFiles_ = &it->second;
  filtered_ = false;
  visible_.clear();
  SetColumns({{"File Name", 200, false},
              {"App Name", 200, false},
              {"Kind", 60, false},
              {"Size", 0, false}});
  endResetModel();
}

void ItemListModel::RefreshChecks() {
  if (rowCount() > 0) {
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
  }
}

void ItemListModel::RefreshRows() {
  if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

size_t ItemListModel::ItemCount() const {
  if (level_ == Level::kNone) return 0;
  if (level_ == Level::kAppFiles) return appFiles_->size();
  if (table_ != nullptr) return table_->rows.size();
  using C = ScanCategory;
  switch (category_) {
    case C::kCameraRoll:
    case C::kPhotoStream:
    case C::kMessageAttachments:
    case C::kWhatsAppAttachments:
      return files_->size();
    case C::kAppPhotos:
    case C::kAppVideos:
      return apps_.size();
    case C::kMessages:
      return rows_.conversations.size();
    case C::kContacts:
      return rows_.contacts.size();
    case C::kCallHistory:
      return rows_.calls.size();
    case C::kNotes:
      return rows_.notes.size();
    case C::kWhatsApp:
      return rows_.chats.size();
  }
  return 0;
}

const void* ItemListModel::ItemKey(size_t i) const {
  if (level_ == Level::kAppFiles) return &(*appFiles_)[i];
  if (table_ != nullptr) return &table_->rows[i];  // as the selection keys it
  using C = ScanCategory;
  switch (category_) {
    case C::kCameraRoll:
    case C::kPhotoStream:
    case C::kMessageAttachments:
    case C::kWhatsAppAttachments:
      return &(*files_)[i];
    case C::kAppPhotos:
    case C::kAppVideos:
      return &apps_[i]->second;  // the app's group
    case C::kMessages:
      return &rows_.conversations[i];
    case C::kContacts:
      return &rows_.contacts[i];
    case C::kCallHistory:
      return &rows_.calls[i];
    case C::kNotes:
      return &rows_.notes[i];
    case C::kWhatsApp:
      return &rows_.chats[i];
  }
  return nullptr;
}

bool ItemListModel::ItemDeleted(size_t i) const {
  if (level_ != Level::kCategory) return false;
  if (table_ != nullptr) return table_->rows[i].deleted != 0;
  using C = ScanCategory;
  switch (category_) {
    case C::kMessages:
      return rows_.conversations[i].deleted != 0;
    case C::kContacts:
      return rows_.contacts[i].deleted != 0;
    case C::kCallHistory:
      return rows_.calls[i].deleted != 0;
    case C::kNotes:
      return rows_.notes[i].deleted != 0;
    case C::kWhatsApp:
      return rows_.chats[i].deleted != 0;
    default:
      return false;
  }
}

DeletedMarks ItemListModel::MarksOf(size_t i) const {
  if (level_ != Level::kCategory) return {};
  const std::vector<DeletedMarks>* marks = nullptr;
  if (category_ == ScanCategory::kMessages) marks = &rows_.conversationMarks;
  if (category_ == ScanCategory::kWhatsApp) marks = &rows_.chatMarks;
  if (marks == nullptr) return {};
  if (i < marks->size()) return (*marks)[i];
  // Rows built without their marks: the row's own flag stands for the whole conversation.
  return ItemDeleted(i) ? DeletedMarks{1, 1} : DeletedMarks{0, 1};
}

bool ItemListModel::ItemMarkedDeleted(size_t i) const {
  if (level_ == Level::kCategory &&
      (category_ == ScanCategory::kMessages || category_ == ScanCategory::kWhatsApp)) {
    return MarksOf(i).Whole();
  }
  return ItemDeleted(i);
}

std::string ItemListModel::AppOfRow(int row) const {
  if (level_ != Level::kCategory || row < 0 || size_t(row) >= apps_.size()) return {};
  return apps_[size_t(row)]->first;
}

QString ItemListModel::Cell(size_t i, int column) const {
  if (level_ == Level::kAppFiles) {
    const AppFileItem& f = (*appFiles_)[i];
    switch (column) {
      case 0:
        return Q(f.displayName);
      case 1:
        return Q(f.appName);
      case 2:
        return Q(f.kind);
      case 3:
        return Q(FormatSize(int64_t(f.size)));
      default:
        return {};
    }
  }
  if (table_ != nullptr) {
    const TableRow& row = table_->rows[i];
    if (column < 0 || size_t(column) >= table_->columns.size() ||
        size_t(column) >= row.cells.size()) {
      return {};
    }
    // A list row keeps one line: line breaks of a text (a transcript) become spaces.
    return TableCellText(row.cells[size_t(column)], table_->columns[size_t(column)].type)
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
  }
  using C = ScanCategory;
  switch (category_) {
    case C::kCameraRoll:
    case C::kPhotoStream:
    case C::kMessageAttachments:
    case C::kWhatsAppAttachments: {
      const MediaFileItem& f = (*files_)[i];
      if (column == 0) return Q(f.displayName);
      return column == 1 ? Q(f.kind) : Q(FormatSize(int64_t(f.size)));
    }
    case C::kAppPhotos:
    case C::kAppVideos:
      return column == 0 ? Q(apps_[i]->first) : ListWord(QStringLiteral("Folder"));
    case C::kMessages: {
      const MessageItem& m = rows_.conversations[i];
      const std::string* cells[] = {&m.name, &m.phone, &m.date, &m.text};
      if (column == 0) return WithDeletedCount(Q(m.name), MarksOf(i));
      return column < 4 ? Q(*cells[column]) : QString();
    }
    case C::kContacts: {
      const ContactItem& c = rows_.contacts[i];
      const std::string* cells[] = {&c.name, &c.company, &c.phones, &c.email, &c.url};
      return column < 5 ? Q(*cells[column]).replace(QLatin1Char('\n'), QLatin1Char(' '))
                        : QString();
    }
    case C::kCallHistory: {
      const CallItem& c = rows_.calls[i];
      switch (column) {
        case 0:
          return Q(c.name);
        case 1:
          return Q(c.phone);
        case 2:
          return Q(c.date);
        case 3:  // "FaceTime Video, Incoming, Missed"
          return ListWord(Q(CallKindText(c))) + QStringLiteral(", ") +
                 ListWord(QLatin1String(CallDirectionText(c))) + QStringLiteral(", ") +
                 ListWord(Q(CallOutcomeText(c)));
        case 4: {  // "Missed", or "2 Min 5 Sec" with its units in the language
          if (c.duration == 0) return ListWord(Q(CallDurationText(c)));
          QStringList words = Q(CallDurationText(c)).split(QLatin1Char(' '));
          for (QString& w : words) {
            if (!w.isEmpty() && !w.front().isDigit()) w = ListWord(w);
          }
          return words.join(QLatin1Char(' '));
        }
        case 5:
          return ListWord(c.deleted ? QStringLiteral("Deleted") : QStringLiteral("Normal"));
        default:
          return {};
      }
    }
    case C::kNotes: {
      const NoteItem& n = rows_.notes[i];
      if (column == 4) {
        if (n.deleted) return ListWord(QStringLiteral("Deleted"));
        return ListWord(n.locked ? QStringLiteral("Locked") : QStringLiteral("Normal"));
      }
      const std::string* cells[] = {&n.title, &n.folder, &n.date, &n.body};
      return column < 4 ? Q(*cells[column]).replace(QLatin1Char('\n'), QLatin1Char(' '))
                        : QString();
    }
    case C::kWhatsApp: {
      const ChatMessageItem& c = rows_.chats[i];
      switch (column) {
        case 0:
          return WithDeletedCount(Q(c.chatTitle), MarksOf(i));
        case 1:
          return Q(c.chatNames.empty() ? c.name : c.chatNames);
        case 2:
          return Q(c.chatPhones.empty() ? c.phone : c.chatPhones);
        default:
          return {};
      }
    }
  }
  return {};
}

QIcon ItemListModel::IconOf(size_t i) const {
  if (level_ == Level::kAppFiles) {
    return ListIcons::ForFile((*appFiles_)[i].kind, (*appFiles_)[i].displayName);
  }
  if (table_ != nullptr) {
    const TableRow& row = table_->rows[i];
    if (row.deleted != 0) return ListIcons::Deleted();
    // A row that owns a sound, a video or a picture says so by its icon.
    for (const OwnedFile& f : row.files) {
      if (f.mime.rfind("audio/", 0) == 0) return ListIcons::Audio();
      if (f.mime.rfind("video/", 0) == 0) return ListIcons::Video();
      if (f.mime.rfind("image/", 0) == 0) return ListIcons::Picture();
    }
    return {};
  }
  using C = ScanCategory;
  switch (category_) {
    case C::kCameraRoll:
    case C::kPhotoStream:
    case C::kMessageAttachments:
    case C::kWhatsAppAttachments:
      return ListIcons::ForFile((*files_)[i].kind, (*files_)[i].displayName);
    case C::kAppPhotos:
    case C::kAppVideos:
      return ListIcons::Folder();
    default:
      return ItemMarkedDeleted(i) ? ListIcons::Deleted() : QIcon();
  }
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return int(filtered_ ? visible_.size() : ItemCount());
}

int ItemListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(columns_.size());
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const size_t item = ItemOfRow(index.row());
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return Cell(item, column);
    case Qt::DecorationRole:
      if (column == 0) {
        QIcon icon = IconOf(item);
        if (!icon.isNull()) return icon;
      }
      return {};
    case Qt::CheckStateRole: {
      if (column != 0) return {};
      const SelectionEntry* e = selection_.Find(ItemKey(item));
      if (e == nullptr) return Qt::Unchecked;
      if (e->group && e->node != nullptr) {  // an app: from its node's counters
        if (e->node->selected == 0) return Qt::Unchecked;
        return e->node->selected >= e->node->items ? Qt::Checked : Qt::PartiallyChecked;
      }
      return e->checked ? Qt::Checked : Qt::Unchecked;
    }
    case Qt::ForegroundRole:
      if (ItemMarkedDeleted(item)) return QColor::fromRgba(kDeletedColour);
      return {};
    case Qt::TextAlignmentRole:
      if (size_t(column) < columns_.size() && columns_[size_t(column)].centred) {
        return int(Qt::AlignCenter);
      }
      return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::SizeHintRole:
      return QSize(0, kListRowHeight);
    case kSortRole:
      return SortKey(item, column);
    default:
      return {};
  }
}

QVariant ItemListModel::SortKey(size_t item, int column) const {
  if (table_ != nullptr && size_t(column) < table_->columns.size()) {
    const TableRow& row = table_->rows[item];
    const ColumnType type = table_->columns[size_t(column)].type;
    if (type == ColumnType::kText || type == ColumnType::kFile || type == ColumnType::kPlace) {
      return Cell(item, column);
    }
    // Dates, durations, numbers and flags by their stored value; an empty one first.
    if (size_t(column) >= row.cells.size() || row.cells[size_t(column)].IsNull()) {
      return -std::numeric_limits<double>::max();
    }
    return row.cells[size_t(column)].Number();
  }
  if (size_t(column) < columns_.size() &&
      columns_[size_t(column)].title.find("Size") != std::string::npos) {
    if (level_ == Level::kAppFiles) return qlonglong((*appFiles_)[item].size);
    if (files_ != nullptr) return qlonglong((*files_)[item].size);
  }
  return Cell(item, column);
}

QVariant ItemListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || size_t(section) >= columns_.size()) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  const Column& c = columns_[size_t(section)];
  if (role == Qt::DisplayRole) {
    if (c.table != nullptr && tableCategory_ != nullptr) {
      return TableColumnTitle(*tableCategory_, *c.table);
    }
    const QString text = ui::Text(ui::Texts().Section("DataList"), c.title);
    return text.isEmpty() ? Q(c.title) : text;
  }
  if (role == Qt::TextAlignmentRole) {
    return int((c.centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
  }
  return {};
}

bool ItemListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0) return false;
  const bool on = value.toInt() != Qt::Unchecked;
  if (onCheck) onCheck(index.row(), on);
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags ItemListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

// ----- Controller --------------------------------------------------------------------------

CFileListCtrl::CFileListCtrl(QTreeView* view, QCheckBox* checkAll, std::vector<QLabel*> headers,
                             QLabel* filterCount, const ScanResults& results,
                             const CategoryRows& rows, CStatisticsObj& selection)
    : view_(view),
      checkAll_(checkAll),
      headers_(std::move(headers)),
      filterCount_(filterCount),
      selection_(selection),
      model_(results, rows, selection) {
  // Sorting by a header click and the search box work on a proxy; the model keeps the
  // pre-sorted order that the recover run and the print page use.
  proxy_.setSourceModel(&model_);
  proxy_.setSortRole(ItemListModel::kSortRole);
  proxy_.setSortCaseSensitivity(Qt::CaseInsensitive);
  proxy_.setFilterKeyColumn(-1);
  proxy_.setFilterCaseSensitivity(Qt::CaseInsensitive);
  view_->setModel(&proxy_);
  view_->setUniformRowHeights(true);
  view_->setHeaderHidden(false);
  view_->setSortingEnabled(true);
  view_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  view_->header()->setSectionsClickable(true);
  view_->header()->setSortIndicatorShown(true);
  view_->header()->setMinimumSectionSize(60);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setFocusPolicy(Qt::StrongFocus);
  view_->setRootIsDecorated(false);
  view_->setIconSize(QSize(18, 18));
  view_->header()->setStretchLastSection(true);
  view_->header()->setSectionResizeMode(QHeaderView::Interactive);
  view_->setProperty("filter", QStringLiteral("N"));
  view_->setStyleSheet(
      QStringLiteral("QTreeView { border: 2px solid transparent; background: #FFFFFF; }"
                     "QTreeView:focus { border: 2px solid #1F5FBF; }"
                     "QTreeView::item { border-bottom: 1px solid #EDEEF0; }"
                     // Dark text on the selected row: contrast above 9:1.
                     "QTreeView::item:selected { background: #FFE0C7; color: #2B2F36; }"
                     "QTreeView::indicator:unchecked { image: url(:/skin/images/check_off.svg); }"
                     "QTreeView::indicator:checked { image: url(:/skin/images/check_on.svg); }"));
  model_.onCheck = [this](int row, bool on) {
    selection_.Select(model_.ItemKey(model_.ItemOfRow(row)), on);
    selection_.Recount();
    if (onSelectionChanged) onSelectionChanged();
  };
  QObject::connect(checkAll_, &QCheckBox::clicked, view_, [this](bool on) {
    if (model_.level() == ItemListModel::Level::kNone) return;
    if (model_.level() == ItemListModel::Level::kAppFiles) {
      selection_.Select(model_.AppGroupKey(), on);
    } else {
      selection_.SelectCategory(model_.category(), on);
    }
    selection_.Recount();
    model_.RefreshChecks();
    if (onSelectionChanged) onSelectionChanged();
  });
  // Space checks or unchecks the current row, or every selected row at once (Ctrl+A selects
  // them all).
  struct SpaceKeys : QObject {
    CFileListCtrl* list;
    explicit SpaceKeys(CFileListCtrl* l) : list(l) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() != QEvent::KeyPress) return false;
      auto* key = static_cast<QKeyEvent*>(e);
      if (key->key() != Qt::Key_Space || key->modifiers() != Qt::NoModifier) return false;
      const QModelIndex current = list->view()->currentIndex();
      QItemSelectionModel* s = list->view()->selectionModel();
      if (s == nullptr || (!current.isValid() && !s->hasSelection())) return false;
      // The current row (whichever cell holds the focus) turns, and every selected row with it.
      if (current.isValid() && !s->isRowSelected(current.row(), current.parent())) {
        s->select(current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      }
      const bool on = !current.isValid() ||
                      current.siblingAtColumn(0).data(Qt::CheckStateRole).toInt() != Qt::Checked;
      list->CheckSelected(on);
      return true;
    }
  };
  auto* keys = new SpaceKeys(this);
  keys->setParent(view_);
  view_->installEventFilter(keys);
  SetHeader();
}

int CFileListCtrl::SourceRow(const QModelIndex& viewIndex) const {
  if (!viewIndex.isValid()) return -1;
  if (viewIndex.model() == &model_) return viewIndex.row();
  return proxy_.mapToSource(viewIndex).row();
}

int ItemListModel::RowOfItem(size_t item) const {
  if (item >= ItemCount()) return -1;
  if (!filtered_) return int(item);
  const auto found = std::find(visible_.begin(), visible_.end(), uint32_t(item));
  return found == visible_.end() ? -1 : int(found - visible_.begin());
}

bool CFileListCtrl::SelectItem(size_t item) {
  const int row = model_.RowOfItem(item);
  if (row < 0) return false;
  QModelIndex index = model_.index(row, 0);
  if (view_->model() == &proxy_) {
    // The list's own search may hide the row: it is emptied first.
    if (!proxy_.mapFromSource(index).isValid() && search_ != nullptr) search_->clear();
    index = proxy_.mapFromSource(index);
  }
  if (!index.isValid()) return false;
  view_->setCurrentIndex(index);
  view_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  return true;
}

void CFileListCtrl::Search(const QString& text) {
  proxy_.setFilterFixedString(text);
}

void CFileListCtrl::BindSearch(QLineEdit* edit) {
  search_ = edit;
  QObject::connect(edit, &QLineEdit::textChanged, view_, [this](const QString& t) { Search(t); });
}

void CFileListCtrl::CheckSelected(bool on) {
  const QModelIndexList rows = view_->selectionModel()->selectedRows();
  for (const QModelIndex& r : rows) {
    const int source = SourceRow(r);
    if (source >= 0) selection_.Select(model_.ItemKey(model_.ItemOfRow(source)), on);
  }
  selection_.Recount();
  model_.RefreshChecks();
  if (onSelectionChanged) onSelectionChanged();
}

// The header bar lays out CheckAll and Col1..Col6 over the view's columns. The first column
// also holds each row's check box and icon, so it is wider than its text by that much.
void CFileListCtrl::SetHeader() {
  constexpr int kCheckAndIcon = 44;  // row check box and icon before the first cell's text
  constexpr int kCellPadding = 28;   // the cell's margins and the header's sort arrow
  const auto& columns = model_.columns();
  const QFontMetrics text(view_->font());
  QFont bold = view_->header()->font();
  bold.setBold(true);
  const QFontMetrics title(bold);
  // What the widest usual value of a column looks like, so that dates, numbers and sizes are
  // never cut even before the rows are looked at.
  auto sample = [](const ItemListModel::Column& c) -> QString {
    if (c.table != nullptr) {
      switch (c.table->type) {
        case ColumnType::kDate:
          return QStringLiteral("0000-00-00 00:00:00");
        case ColumnType::kDuration:
          return QStringLiteral("00 Min 00 Sec");
        default:
          return {};
      }
    }
    const QString t = Q(c.title);
    if (t.contains(QLatin1String("Date"))) return QStringLiteral("0000-00-00 00:00:00");
    if (t.contains(QLatin1String("Phone"))) return QStringLiteral("+00 000 000 000 000");
    if (t.contains(QLatin1String("Size"))) return QStringLiteral("1000.00 MB");
    if (t.contains(QLatin1String("Duration"))) return QStringLiteral("00 Min 00 Sec");
    if (t.contains(QLatin1String("Status"))) return QStringLiteral("Outgoing");
    return {};
  };
  // Each column as wide as its widest cell among the first rows (durations, addresses, the
  // numbers of a group), within a limit; the last column takes the rest of the width.
  constexpr int kRowsMeasured = 400;
  constexpr int kWidestColumn = 380;
  const size_t measured = std::min<size_t>(model_.ItemCount(), kRowsMeasured);
  for (size_t c = 0; c < headers_.size(); ++c) {
    // The view's own header carries the titles; the bar above keeps only CheckAll.
    if (c < columns.size()) headers_[c]->setText(Q(columns[c].title));
    headers_[c]->hide();
  }
  for (size_t c = 0; c < columns.size(); ++c) {
    const QString shown = model_.headerData(int(c), Qt::Horizontal, Qt::DisplayRole).toString();
    int content = text.horizontalAdvance(sample(columns[c]));
    for (size_t i = 0; i < measured; ++i) {
      content = std::max(content, text.horizontalAdvance(model_.Cell(i, int(c))));
    }
    int width = std::max({columns[c].width, std::min(content + kCellPadding, kWidestColumn),
                          title.horizontalAdvance(shown) + kCellPadding});
    if (c == 0) width += kCheckAndIcon;
    if (c + 1 < columns.size() || columns[c].width > 0) view_->setColumnWidth(int(c), width);
  }
  view_->header()->setStretchLastSection(true);
  checkAll_->setEnabled(!columns.empty());
  const QSignalBlocker quiet(checkAll_);
  checkAll_->setChecked(model_.level() == ItemListModel::Level::kCategory &&
                        selection_.CategoryState(model_.category()) == CheckState::kChecked);
}

bool CFileListCtrl::FilterOn() const {
  return view_->property("filter").toString() == QLatin1String("D");
}

void CFileListCtrl::HideUnlisted() {
  const size_t n = model_.ItemCount();
  for (size_t i = 0; i < n; ++i) {
    if (!model_.ItemDeleted(i)) selection_.SetHidden(model_.ItemKey(i), true);
  }
}

QString CFileListCtrl::FilterCountText() const {
  QString format = ui::Text(ui::Texts().Section("PageScan"), "DeletedShown");
  if (format.isEmpty()) {
    format = QStringLiteral("%1 of %2 deleted \u00B7 Recover saves the checked ones shown");
  }
  // The rows the filter keeps are the deleted items (conversations holding deleted messages).
  return format.arg(model_.rowCount()).arg(model_.ItemCount());
}

void CFileListCtrl::UpdateFilterCount() {
  const bool show = FilterOn() && model_.level() == ItemListModel::Level::kCategory &&
                    HasDeletionMarks(model_.category());
  if (show) {
    // The line may be long (German): shortened in the middle, whole in its tool tip with what
    // the filter means for the recovery.
    ui::SetElidedText(filterCount_, FilterCountText());
    const QString tip = ui::Text(ui::Texts().Section("PageScan"), "DeletedShownTip");
    if (!tip.isEmpty()) filterCount_->setToolTip(FilterCountText() + QStringLiteral("\n\n") + tip);
  }
  filterCount_->setVisible(show);
}

void CFileListCtrl::Fill(ScanCategory category, const std::vector<size_t>* viewRows) {
  const bool filter = FilterOn() && HasDeletionMarks(category);
  model_.SetView(category, viewRows);
  model_.ShowCategory(category, filter);
  // With the filter on, what the list hides is hidden in the selection too, so that the
  // statistics line and the recover run agree with what the user sees.
  if (filter) {
    HideUnlisted();
    selection_.Recount();
  }
  // A new list starts in its own order and unsearched.
  view_->header()->setSortIndicator(-1, Qt::AscendingOrder);
  proxy_.sort(-1);
  if (search_ != nullptr && !search_->text().isEmpty()) search_->clear();
  SetHeader();
  UpdateFilterCount();
  view_->scrollToTop();
}

bool CFileListCtrl::OpenApp(int row) {
  if (model_.level() != ItemListModel::Level::kCategory) return false;
  const ScanCategory category = model_.category();
  if (category != ScanCategory::kAppPhotos && category != ScanCategory::kAppVideos) return false;
  const std::string app = model_.AppOfRow(row);
  if (app.empty() && model_.ItemCount() == 0) return false;
  model_.ShowAppFiles(category, app);
  SetHeader();
  const SelectionEntry* group = selection_.Find(model_.AppGroupKey());
  if (group != nullptr && group->node != nullptr) {
    const QSignalBlocker quiet(checkAll_);
    checkAll_->setChecked(group->node->selected >= group->node->items);
  }
  view_->scrollToTop();
  return true;
}

void CFileListCtrl::Clear() {
  model_.Clear();
  SetHeader();
  filterCount_->hide();
}

void CFileListCtrl::ApplyFilter(bool on) {
  view_->setProperty("filter", on ? QStringLiteral("D") : QStringLiteral("N"));
  if (on) {
    if (model_.level() == ItemListModel::Level::kCategory && HasDeletionMarks(model_.category())) {
      HideUnlisted();
      model_.ShowCategory(model_.category(), true);
    }
  } else {
    // Every hidden item becomes visible again, in whichever category it was hidden.
    std::vector<const void*> hidden;
    for (const auto& [key, entry] : selection_.Entries()) {
      if (entry->hidden) hidden.push_back(key);
    }
    for (const void* key : hidden) selection_.SetHidden(key, false);
    if (model_.level() == ItemListModel::Level::kCategory) {
      model_.ShowCategory(model_.category(), false);
    }
  }
  selection_.Recount();
  UpdateFilterCount();
}

void CFileListCtrl::RefreshChecks() {
  model_.RefreshChecks();
  SetHeader();
}

}  // namespace halvern::app
