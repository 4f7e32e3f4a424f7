// The test double of the operating system: every sys:: function of
// src/platform/os.h, defined on the host over scriptable state held in
// memory. Tests call fake::reset() first, script the state through the
// area headers, run the program's code and read back what it did.
#pragma once

#include "fake_win32/fake_console.h"
#include "fake_win32/fake_dialog.h"
#include "fake_win32/fake_system.h"
#include "fake_win32/fake_volume.h"

namespace fake {
// Forgets every script and record of every area.
void reset();
}  // namespace fake
