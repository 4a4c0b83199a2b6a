#pragma once
// The clipboard guard: pasted text must not reach the guarded edits.

#include "platform/events.h"

class QAbstractSpinBox;
class QLineEdit;

namespace clipboard {

// Empty the system clipboard.
void empty();

// A key that empties the clipboard before the edit handles it: any key with
// Ctrl held, V (86) with or without modifiers, and a key processed by an input
// method (229).
bool guardsKey(quint16 key, TShiftState shift);

// The ways around the key and mouse guard that X11 offers: a middle click
// pastes the primary selection, and an edit takes dragged text where it is
// dropped. Both are shut on a guarded edit.
void shutSideDoors(QLineEdit *edit);

// A date picker takes its date from its calendar and its fields only: no
// pasted text (paste keys, middle click, the context menu's Paste) and no
// dropped text reaches it.
void refusePastedText(QAbstractSpinBox *picker);

} // namespace clipboard
