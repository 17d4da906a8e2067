#pragma once
// Visual styles carried inside the executable as resources (":/styles/<name>.qss").

#include <QString>

// Applies the style of that name to the whole application. When there is no
// such style, shows the error box "Style '<name>' not found", keeps the
// standard look and returns false.
bool ApplyStyle(const QString &Name);
