// The custom control kinds that layouts name: ButtonGif, FileTree, LabelEx, ButtonEx,
// Pagination and DiskList. The loader makes them; everything else is one of Qt's own widgets.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QMovie>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>

namespace halvern::ui {

// A flat button that plays an animated GIF of the skin, named by its attribute normalgiffile.
class ButtonGif : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(QString normalgiffile READ NormalGifFile WRITE SetNormalGifFile)

 public:
  explicit ButtonGif(QWidget* parent = nullptr);

  QString NormalGifFile() const { return gifFile_; }
  // Loads the animation (a skin image name such as "iTunesScanning.gif"); shows its first frame.
  void SetNormalGifFile(const QString& fileName);
  void PlayGif();
  void StopGif();
  bool IsPlaying() const;
  bool HasAnimation() const { return movie_.isValid(); }

 private:
  void ShowFrame();

  QString gifFile_;
  QMovie movie_;
};

// The category tree with check boxes (one column, no header).
class FileTree : public QTreeWidget {
  Q_OBJECT
 public:
  explicit FileTree(QWidget* parent = nullptr);
};

// A label that breaks its text over several lines by its own text style (speech bubbles).
class LabelEx : public QLabel {
  Q_OBJECT
 public:
  explicit LabelEx(QWidget* parent = nullptr);
};

// A push button that keeps a second text for its hover state.
class ButtonEx : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(QString hottext READ HotText WRITE SetHotText)

 public:
  explicit ButtonEx(QWidget* parent = nullptr);
  QString HotText() const { return hotText_; }
  void SetHotText(const QString& text) { hotText_ = text; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QString hotText_;
  QString normalText_;
};

// Page switcher: previous, "page / count", next.
class Pagination : public QWidget {
  Q_OBJECT
 public:
  explicit Pagination(QWidget* parent = nullptr);
  // Pages count from 0; a count below 1 is taken as 1.
  void SetPageCount(int count);
  int PageCount() const { return count_; }
  void SetCurrentPage(int page);
  int CurrentPage() const { return current_; }

 signals:
  void PageChanged(int page);

 private:
  void Refresh();

  int count_ = 1;
  int current_ = 0;
  QPushButton* prev_;
  QPushButton* next_;
  QLabel* label_;
};

// A list of mounted disks, one row each with its free space.
class DiskList : public QListWidget {
  Q_OBJECT
 public:
  explicit DiskList(QWidget* parent = nullptr);
};

// Shows `text` in `label` on one line, shortened in the middle ("The backup … opened") when the
// label is too narrow, and again whenever the label changes width; the whole text is the
// label's tool tip and stays readable through FullText().
void SetElidedText(QLabel* label, const QString& text, Qt::TextElideMode mode = Qt::ElideMiddle);
QString FullText(const QLabel* label);

}  // namespace halvern::ui
