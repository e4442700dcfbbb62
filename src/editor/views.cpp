// The monitor of the Timeline tab and the Text and Render tabs. They draw
// nothing over the empty main panel that the workspace draws around them.
#include "editor/editor.h"

void kelvra_draw_monitor(KelvraApp*) {}
void kelvra_draw_other(KelvraApp*) {}
