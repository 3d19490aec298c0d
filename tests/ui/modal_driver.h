// Answers the modal pop-ups a test provokes, in order, and keeps what each one showed:
// its layout, its title and its message. A pop-up that no answer was scripted for is noted
// and closed with 2, so that a test fails instead of hanging.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

namespace halvern::testing {

struct SeenPopup {
  QString layout;   // the pop-up's layout name ("MessageBox_Question.xml", ...)
  QString title;    // text of its control "title"
  QString message;  // text of "message", or of "LblDesc" in the password dialog
};

class ModalDriver {
 public:
  ModalDriver() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
    timer_.start();
  }

  // Presses the button `name` of the next pop-up.
  ModalDriver& Press(const char* name) {
    answers_.push_back([name](QWidget* popup) { ClickIn(popup, name); });
    return *this;
  }
  // Types `password` into EditPassword of the next pop-up and presses BtnOK.
  ModalDriver& EnterPassword(const QString& password) {
    answers_.push_back([password](QWidget* popup) {
      if (auto* edit = popup->findChild<QLineEdit*>(QStringLiteral("EditPassword"))) {
        edit->setText(password);
      }
      ClickIn(popup, "BtnOK");
    });
    return *this;
  }

  // Presses `key` (Enter, Escape, ...) in the next pop-up, in the widget that holds the
  // keyboard focus, as the keyboard would.
  ModalDriver& Key(int key) {
    answers_.push_back([key](QWidget* popup) {
      QWidget* target = popup->focusWidget() != nullptr ? popup->focusWidget() : popup;
      QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
      QApplication::sendEvent(target, &press);
      QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
      QApplication::sendEvent(target, &release);
    });
    return *this;
  }

  const std::vector<SeenPopup>& Seen() const { return seen_; }
  int Unanswered() const { return unanswered_; }
  size_t Pending() const { return answers_.size(); }

 private:
  static void ClickIn(QWidget* popup, const char* name) {
    if (auto* button = popup->findChild<QPushButton*>(QLatin1String(name))) {
      button->click();
    } else if (auto* dialog = qobject_cast<QDialog*>(popup)) {
      dialog->done(2);
    }
  }
  static QString LabelText(QWidget* popup, const char* name) {
    auto* label = popup->findChild<QLabel*>(QLatin1String(name));
    return label != nullptr ? label->text() : QString();
  }

  void Look() {
    QWidget* popup = QApplication::activeModalWidget();
    if (popup == nullptr || !popup->isVisible() || popup == last_) return;
    last_ = popup;
    SeenPopup seen;
    seen.layout = popup->property("layout").toString();
    seen.title = LabelText(popup, "title");
    seen.message = LabelText(popup, "message");
    if (seen.message.isEmpty()) seen.message = LabelText(popup, "LblDesc");
    seen_.push_back(seen);
    if (answers_.empty()) {
      ++unanswered_;
      if (auto* dialog = qobject_cast<QDialog*>(popup)) dialog->done(2);
      return;
    }
    auto answer = std::move(answers_.front());
    answers_.pop_front();
    answer(popup);
  }

  QTimer timer_;
  QPointer<QWidget> last_;
  std::deque<std::function<void(QWidget*)>> answers_;
  std::vector<SeenPopup> seen_;
  int unanswered_ = 0;
};

}  // namespace halvern::testing
