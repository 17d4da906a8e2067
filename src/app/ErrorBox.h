#pragma once
// The one way the program shows an error box. Tests set ErrorBoxHook to record
// the text instead of opening a modal box.

#include <QString>
#include <functional>

extern std::function<void(const QString &Text)> ErrorBoxHook;

void ShowErrorBox(const QString &Text);
