// The score's place in the project file: the "audioScore" member it is read
// from and written to, and the import of the older "music" member.
#pragma once

struct Project;
struct Score;
struct TextBuffer;

// Appends the "audioScore" object for `score`.
void project_write_score(TextBuffer* buffer, const Score* score);
// Reads "audioScore" of the candidate's document into its score, or imports
// "music" when there is none; false when the member is malformed.
bool project_read_score(Project* project);
// Turns the legacy "music" member's blocks into regions and notes.
bool project_import_music(Project* project);
