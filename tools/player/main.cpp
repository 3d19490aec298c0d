// Player (video) and Player1 (sound): plays the file named on the command line.
#include <QApplication>
#include <cstdio>

#include "tools/player/player.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  halvern::player::Options options;
  if (!halvern::player::ParseOptions(app.arguments().mid(1), options)) {
    std::fprintf(stderr, "usage: %s [-geometry X:Y] [-x W -y H] [-nosound] FILE\n", argv[0]);
    return 87;
  }
  halvern::player::MediaPlayer player(options, HALVERN_PLAYER_VIDEO != 0);
  if (!player.Start()) return 87;
  return app.exec();
}
