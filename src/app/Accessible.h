#pragma once
// What assistive technology learns of the two views that draw themselves:
// the log box exposes its text, line by line, and its caret, as an edit box
// does; the topic list exposes its rows as list items, the selected one
// marked, as Qt's own item views do.

// Installs the factory of these interfaces once; later calls do nothing.
void InstallAccessibleViews();
