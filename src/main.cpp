// kelvra: the editor. `kelvra [PROJECT.pjn]`, `--help`, `--version`; the
// environment and the media folder configure the rest.
#include <cstdio>

#include "app/command_line.h"
#include "app/run.h"

int main(int argc, char** argv) {
  const int done = kelvra_command_line(argc, argv, stdout, stderr);
  if (done != KELVRA_COMMAND_LINE_START) return done;
  return kelvra_run();
}
