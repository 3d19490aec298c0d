// The media players: Qt Multimedia playback with a progress line on standard output.
#include "tools/player/player.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

namespace halvern::player {

bool ParseOptions(const QStringList& args, Options& out) {
  out = Options{};
  bool haveX = false;
  bool haveY = false;
  int w = 0;
  int h = 0;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == QLatin1String("-geometry") && hasValue) {
      const QStringList xy = args[++i].split(QLatin1Char(':'));
      bool okX = false;
      bool okY = false;
      if (xy.size() == 2) {
        const int x = xy[0].toInt(&okX);
        const int y = xy[1].toInt(&okY);
        if (okX && okY) out.position = QPoint(x, y);
      }
    } else if (a == QLatin1String("-x") && hasValue) {
      w = args[++i].toInt(&haveX);
    } else if (a == QLatin1String("-y") && hasValue) {
      h = args[++i].toInt(&haveY);
    } else if (a == QLatin1String("-nosound")) {
      out.muted = true;
    } else if ((a == QLatin1String("-aspect") || a == QLatin1String("-vo") ||
                a == QLatin1String("-lavdopts")) &&
               hasValue) {
      ++i;  // options of other players' command lines, taken and ignored
    } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
      // an unknown switch without a value
    } else {
      out.file = a;
    }
  }
  if (haveX && haveY && w > 0 && h > 0) out.size = QSize(w, h);
  return !out.file.isEmpty();
}

MediaPlayer::MediaPlayer(const Options& options, bool video) : options_(options), video_(video) {
  audio_.setMuted(options_.muted);
  player_.setAudioOutput(&audio_);
  window_ = std::make_unique<QWidget>();
  window_->setWindowTitle(QFileInfo(options_.file).fileName());
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  if (video_) {
    videoWidget_ = new QVideoWidget(window_.get());
    layout->addWidget(videoWidget_);
    player_.setVideoOutput(videoWidget_);
    window_->resize(options_.size.value_or(QSize(326, 189)));
  } else {
    auto* name = new QLabel(QFileInfo(options_.file).fileName(), window_.get());
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);
    window_->resize(options_.size.value_or(QSize(320, 80)));
  }
  if (options_.position) window_->move(*options_.position);
  connect(&player_, &QMediaPlayer::playbackStateChanged, this, &MediaPlayer::OnState);
  connect(&player_, &QMediaPlayer::positionChanged, this, &MediaPlayer::OnPosition);
  connect(&player_, &QMediaPlayer::errorOccurred, this, &MediaPlayer::OnError);
  connect(&player_, &QMediaPlayer::mediaStatusChanged, this, [](QMediaPlayer::MediaStatus s) {
    if (s == QMediaPlayer::EndOfMedia) QApplication::quit();
  });
}

MediaPlayer::~MediaPlayer() = default;

bool MediaPlayer::Start() {
  const QFileInfo info(options_.file);
  if (!info.isFile()) {
    std::fprintf(stderr, "Player: no such file: %s\n", qPrintable(options_.file));
    return false;
  }
  window_->show();
  player_.setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
  player_.play();
  return true;
}

void MediaPlayer::OnState(QMediaPlayer::PlaybackState state) {
  // The state turns to playing as soon as play() is asked, before any decoder is found;
  // only a moving position tells that the file really plays.
  if (state == QMediaPlayer::StoppedState && player_.error() != QMediaPlayer::NoError) {
    QApplication::exit(1);
  }
}

void MediaPlayer::OnPosition(qint64 position) {
  if (player_.playbackState() != QMediaPlayer::PlayingState) return;
  if (position <= 0) return;
  const qint64 duration = player_.duration();
  if (duration <= 0) {
    Report(0);
    return;
  }
  Report(int(std::clamp<qint64>(position * 100 / duration, 0, 100)));
}

void MediaPlayer::OnError(QMediaPlayer::Error error, const QString& text) {
  if (error == QMediaPlayer::NoError) return;
  std::fprintf(stderr, "Player: %s\n", qPrintable(text));
  QApplication::exit(1);
}

void MediaPlayer::Report(int percent) {
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  std::printf("Playing %d%%\n", percent);
  std::fflush(stdout);
}

}  // namespace halvern::player
