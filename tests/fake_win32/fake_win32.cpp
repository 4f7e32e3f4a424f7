// Reset of all areas of the test double.
#include "fake_win32/fake_win32.h"

namespace fake {
void reset()
{
    reset_dialog();
    reset_console();
    reset_volumes();
    reset_system();
}
}  // namespace fake
