// The custom control kinds of the skin.
#include "ui/controls.h"

#include <QEnterEvent>
#include <QBoxLayout>
#include <QHBoxLayout>

#include "ui/skin.h"

namespace halvern::ui {

ButtonGif::ButtonGif(QWidget* parent) : QPushButton(parent) {
  setFlat(true);
  setFocusPolicy(Qt::NoFocus);
  connect(&movie_, &QMovie::frameChanged, this, [this](int) { ShowFrame(); });
}

void ButtonGif::SetNormalGifFile(const QString& fileName) {
  movie_.stop();
  gifFile_ = fileName;
  movie_.setFileName(ImagePath(fileName));
  movie_.setCacheMode(QMovie::CacheAll);
  if (movie_.isValid()) {
    movie_.jumpToFrame(0);
    ShowFrame();
  }
}

void ButtonGif::PlayGif() {
  if (movie_.isValid() && movie_.state() != QMovie::Running) movie_.start();
}

void ButtonGif::StopGif() {
  if (movie_.state() == QMovie::Running) movie_.setPaused(true);
}

bool ButtonGif::IsPlaying() const { return movie_.state() == QMovie::Running; }

void ButtonGif::ShowFrame() {
  const QPixmap frame = movie_.currentPixmap();
  setIcon(QIcon(frame));
  setIconSize(frame.size());
}

FileTree::FileTree(QWidget* parent) : QTreeWidget(parent) {
  setHeaderHidden(true);
  setColumnCount(1);
  setRootIsDecorated(false);
  setIndentation(14);
}

LabelEx::LabelEx(QWidget* parent) : QLabel(parent) {
  setWordWrap(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse);
}

ButtonEx::ButtonEx(QWidget* parent) : QPushButton(parent) {}

void ButtonEx::enterEvent(QEnterEvent* event) {
  if (!hotText_.isEmpty()) {
    normalText_ = text();
    setText(hotText_);
  }
  QPushButton::enterEvent(event);
}

void ButtonEx::leaveEvent(QEvent* event) {
  if (!hotText_.isEmpty() && !normalText_.isNull()) setText(normalText_);
  QPushButton::leaveEvent(event);
}

Pagination::Pagination(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  prev_ = new QPushButton(QStringLiteral("\u2039"), this);
  next_ = new QPushButton(QStringLiteral("\u203A"), this);
  label_ = new QLabel(this);
  label_->setAlignment(Qt::AlignCenter);
  row->addWidget(prev_);
  row->addWidget(label_);
  row->addWidget(next_);
  connect(prev_, &QPushButton::clicked, this, [this] { SetCurrentPage(current_ - 1); });
  connect(next_, &QPushButton::clicked, this, [this] { SetCurrentPage(current_ + 1); });
  Refresh();
}

void Pagination::SetPageCount(int count) {
  count_ = count < 1 ? 1 : count;
  if (current_ >= count_) current_ = count_ - 1;
  Refresh();
}

void Pagination::SetCurrentPage(int page) {
  if (page < 0 || page >= count_ || page == current_) return;
  current_ = page;
  Refresh();
  emit PageChanged(current_);
}

void Pagination::Refresh() {
  label_->setText(QStringLiteral("%1 / %2").arg(current_ + 1).arg(count_));
  prev_->setEnabled(current_ > 0);
  next_->setEnabled(current_ + 1 < count_);
}

DiskList::DiskList(QWidget* parent) : QListWidget(parent) {}

namespace {

constexpr const char* kFullText = "halvernFullText";
constexpr const char* kElideMode = "halvernElideMode";

void Elide(QLabel* label) {
  const QString full = label->property(kFullText).toString();
  const auto mode = Qt::TextElideMode(label->property(kElideMode).toInt());
  const int room = label->contentsRect().width() - 2 * label->margin() - label->indent();
  label->setText(room > 0 ? label->fontMetrics().elidedText(full, mode, room) : full);
}

// Re-elides its label whenever the label is resized or its font changes.
class ElideFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Resize || e->type() == QEvent::FontChange ||
        e->type() == QEvent::Show) {
      if (auto* label = qobject_cast<QLabel*>(watched)) Elide(label);
    }
    return false;
  }
};

}  // namespace

void SetElidedText(QLabel* label, const QString& text, Qt::TextElideMode mode) {
  if (label == nullptr) return;
  QString line = text;
  line.replace(QLatin1Char('\n'), QLatin1Char(' '));
  label->setWordWrap(false);
  // A shortened label must not ask for the width of its whole text.
  label->setMinimumWidth(0);
  label->setSizePolicy(QSizePolicy::Ignored, label->sizePolicy().verticalPolicy());
  // Its row gives it the room a spacer beside it would otherwise take.
  if (QWidget* parent = label->parentWidget()) {
    if (auto* row = qobject_cast<QBoxLayout*>(parent->layout())) row->setStretchFactor(label, 1);
  }
  label->setProperty(kFullText, line);
  label->setProperty(kElideMode, int(mode));
  label->setToolTip(text);
  if (label->findChild<ElideFilter*>(QString(), Qt::FindDirectChildrenOnly) == nullptr) {
    label->installEventFilter(new ElideFilter(label));
  }
  Elide(label);
}

QString FullText(const QLabel* label) {
  const QVariant full = label->property(kFullText);
  return full.isValid() ? full.toString() : label->text();
}

}  // namespace halvern::ui
