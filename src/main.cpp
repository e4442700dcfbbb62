// kelvra: the editor. It takes no arguments; the environment and the media
// folder configure it.
#include "app/run.h"

int main() { return kelvra_run(); }
