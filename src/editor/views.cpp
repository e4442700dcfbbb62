// The views of the tabs and the timeline band. Each arrives with its own
// issue; until then the main panel shows the empty workspace around them.
#include "editor/editor.h"

void kelvra_draw_sampling(KelvraApp*) {}
void kelvra_draw_monitor(KelvraApp*) {}
void kelvra_draw_other(KelvraApp*) {}
void kelvra_draw_sequence(KelvraApp*) {}
