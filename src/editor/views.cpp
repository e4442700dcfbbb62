// The monitor of the Timeline tab, the Text and Render tabs and the timeline
// band. They draw nothing over the empty main panel and timeline area that
// the workspace draws around them.
#include "editor/editor.h"

void kelvra_draw_monitor(KelvraApp*) {}
void kelvra_draw_other(KelvraApp*) {}
void kelvra_draw_sequence(KelvraApp*) {}
