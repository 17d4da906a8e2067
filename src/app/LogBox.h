#pragma once
// Lines the program writes to the log box.

class QPlainTextEdit;
class QString;

// Appends aLine as the new last line of the log box. The box's undo history
// is kept for the user's own edits only, as in a plain edit control: a line
// the program appends cannot be undone, and the program's change ends the
// history before it. Recorded for every line, the history would also hold a
// second copy of the whole log, a quarter of its memory.
void AppendLogLine(QPlainTextEdit *aLog, const QString &aLine);
