#pragma once
// The clipboard guard: pasted text must not reach the guarded edits.

#include "platform/events.h"

namespace clipboard {

// Empty the system clipboard.
void empty();

// A key that empties the clipboard before the edit handles it: any key with
// Ctrl held, V (86) with or without modifiers, and a key processed by an input
// method (229).
bool guardsKey(quint16 key, TShiftState shift);

} // namespace clipboard
