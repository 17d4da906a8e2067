#pragma once
// The one way the program shows an error box. Tests set ErrorBoxHook to record
// the text instead of opening a box.

#include <QString>
#include <functional>

class QFontMetrics;
class QWidget;

extern std::function<void(const QString &Text)> ErrorBoxHook;

void ShowErrorBox(const QString &Text);

// A box that leaves the window usable while it is open; aClosed runs once it
// has been closed. With ErrorBoxHook set, the hook stands for the box and
// aClosed runs right after it.
void ShowModelessErrorBox(QWidget *aParent, const QString &Text, const std::function<void()> &aClosed);

// Text with its quoted part (a path) elided in the middle when that part alone
// is wider than aWidth pixels: the rest of the text wraps at its spaces, a
// path does not.
QString ElideQuotedToFit(const QString &Text, const QFontMetrics &aMetrics, int aWidth);
