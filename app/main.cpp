// halvern: the desktop program.
#include "app/app.h"

int main(int argc, char** argv) { return halvern::app::RunHalvern(argc, argv); }
