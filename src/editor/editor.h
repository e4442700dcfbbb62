// Editor operations shared across the program: the transport restart and the
// timeline end.
#pragma once

struct KelvraApp;

// Restarts the playback clock at the current playheads (after any playhead move).
void kelvra_seek(KelvraApp* app);
// Recomputes the timeline end from clips and titles and pulls the playhead back to it.
void kelvra_sequence_end(KelvraApp* app);
