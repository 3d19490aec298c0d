// Modal pop-up windows and message boxes.
#include "ui/popup.h"

#include <QPushButton>

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>

namespace halvern::ui {

CPopUpWnd::CPopUpWnd(QString layout, std::string section, QWidget* parent, int width, int height)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      timers_(this),
      layout_(std::move(layout)),
      section_(std::move(section)) {
  setModal(true);
  setAttribute(Qt::WA_TranslucentBackground, false);
  setProperty("layout", layout_);
  resize(width, height);
}

CPopUpWnd::~CPopUpWnd() = default;

bool CPopUpWnd::Build(QString* error) {
  if (!built_) {
    built_ = true;
    root_ = LoadLayout(layout_, this, &buildError_);
    if (root_ != nullptr) {
      auto* box = new QVBoxLayout(this);
      box->setContentsMargins(1, 1, 1, 1);  // the dialog's own colour draws a thin frame
      box->addWidget(root_);
      BindNotifications(root_, this);
      Notification init;
      init.type = QLatin1String(notify::kWindowInit);
      Notify(init);
      QStringList missing;
      buildOk_ = OnInit(&missing);
      if (!buildOk_) buildError_ = missing.join(QLatin1Char('\n'));
    }
  }
  if (!buildOk_ && error != nullptr) *error = buildError_;
  return buildOk_;
}

int CPopUpWnd::DoModal() {
  if (!Build()) {
    qWarning("%s", qPrintable(buildError_));
    return kResultCancel;
  }
  CentreOverParent();
  return exec();
}

void CPopUpWnd::Notify(const Notification& n) {
  if (n.type == QLatin1String(notify::kWindowInit)) {
    ApplyTexts(root_, Texts().Section(section_));
  } else if (n.type == QLatin1String(notify::kClick)) {
    if (n.sender == QLatin1String("okbtn")) {
      done(kResultOk);
    } else if (n.sender == QLatin1String("closebtn") || n.sender == QLatin1String("cancelbtn")) {
      done(kResultCancel);
    }
  }
}

bool CPopUpWnd::OnInit(QStringList*) { return true; }

void CPopUpWnd::reject() { done(kResultCancel); }

void CPopUpWnd::CentreOverParent() {
  QRect area;
  if (QWidget* p = parentWidget(); p != nullptr && p->isVisible()) {
    area = p->window()->frameGeometry();
  } else if (QScreen* s = QGuiApplication::primaryScreen()) {
    area = s->availableGeometry();
  }
  if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
}

// The top band of a frameless pop-up drags it.
void CPopUpWnd::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && event->position().y() < 44) {
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
  }
  QDialog::mousePressEvent(event);
}

void CPopUpWnd::mouseMoveEvent(QMouseEvent* event) {
  if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
    move(event->globalPosition().toPoint() - *dragOffset_);
  }
  QDialog::mouseMoveEvent(event);
}

void CPopUpWnd::mouseReleaseEvent(QMouseEvent* event) {
  dragOffset_.reset();
  QDialog::mouseReleaseEvent(event);
}

QString MessageBoxLayout(int kind) {
  switch (kind) {
    case kBoxConfirm:
      return QStringLiteral("MessageBox_Confirm.xml");
    case kBoxInformation:
      return QStringLiteral("MessageBox_Information.xml");
    case kBoxWarning:
      return QStringLiteral("MessageBox_Warning.xml");
    case kBoxQuestion:
      return QStringLiteral("MessageBox_Question.xml");
    default:
      return QStringLiteral("MessageBox_Error.xml");
  }
}

std::string MessageBoxTitleKey(int kind) {
  switch (kind) {
    case kBoxConfirm:
      return "MSG0402";
    case kBoxInformation:
      return "MSG0403";
    case kBoxWarning:
      return "MSG0405";
    case kBoxQuestion:
      return "MSG0404";
    default:
      return "MSG0401";
  }
}

CMessageBox::CMessageBox(int kind, QWidget* parent, std::optional<QString> title, QString text,
                         int width, int height)
    : CPopUpWnd(MessageBoxLayout(kind), "MessageBox", parent, width, height),
      kind_(kind),
      title_(std::move(title)),
      text_(std::move(text)) {}

bool CMessageBox::OnInit(QStringList* missing) {
  ControlBinder bind(Root(), LayoutName());
  auto* title = bind.Get<QLabel>("title");
  auto* message = bind.Get<QLabel>("message");
  bind.Get<QWidget>("closebtn");
  bind.Get<QWidget>("okbtn");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  title->setText(title_ ? *title_ : MessageText(MessageBoxTitleKey(kind_)));
  message->setText(text_);
  setWindowTitle(title->text());
  // Enter answers OK (the default button, which holds the focus at first); Escape closes.
  if (auto* ok = qobject_cast<QPushButton*>(FindControl(Root(), QStringLiteral("okbtn")))) {
    ok->setDefault(true);
    ok->setFocus(Qt::OtherFocusReason);
  }
  return true;
}

int ShowMessageBox(int kind, QWidget* parent, std::optional<QString> title, const QString& text,
                   int width, int height) {
  CMessageBox box(kind, parent, std::move(title), text, width, height);
  return box.DoModal();
}

}  // namespace halvern::ui
