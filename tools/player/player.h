// The two media players behind the preview pane. Each plays one file and reports on its
// standard output: "Playing N%" once the position has moved, and again as it goes on
// (the pane waits for the first "%"); errors go to standard error and end the program with 1.
#pragma once

#include <QAudioOutput>
#include <QMediaPlayer>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVideoWidget>
#include <memory>
#include <optional>

namespace halvern::player {

// The command line: options the pane may pass, then the file (the last argument that is not
// an option value). Unknown options are ignored, so the pane's option list may grow.
struct Options {
  QString file;
  std::optional<QPoint> position;  // "-geometry X:Y"
  std::optional<QSize> size;       // "-x W -y H"
  bool muted = false;              // "-nosound"
};
// False when no file was named.
bool ParseOptions(const QStringList& args, Options& out);

class MediaPlayer : public QObject {
  Q_OBJECT
 public:
  // `video`: show a window with the picture; otherwise sound only (with a small window that
  // names the file, so that the user can close it).
  MediaPlayer(const Options& options, bool video);
  ~MediaPlayer() override;
  // Starts playback; false when the file does not exist.
  bool Start();

 private:
  void OnState(QMediaPlayer::PlaybackState state);
  void OnPosition(qint64 position);
  void OnError(QMediaPlayer::Error error, const QString& text);
  void Report(int percent);

  Options options_;
  bool video_;
  QMediaPlayer player_;
  QAudioOutput audio_;
  std::unique_ptr<QWidget> window_;
  QVideoWidget* videoWidget_ = nullptr;
  int lastPercent_ = -1;
};

}  // namespace halvern::player
