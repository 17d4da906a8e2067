#pragma once
// Keeps a scroll area's repaints inside it. Its viewport fills its own
// background and its scroll bars cover their whole area, so Qt does not
// repaint the window's gradient and the group box beneath them whenever a line
// or the scroll bar changes, and it scrolls the viewport by moving the pixels
// already drawn instead of drawing every visible line again.
//
// The style sheet turns the viewport's own fill off when it polishes the
// widget (its background is drawn by the scroll area, under the viewport); the
// fill, in the same colour, is turned on again after every polish.

class QAbstractScrollArea;

void KeepScrollAreaOpaque(QAbstractScrollArea *aArea);
