// Functions of kernel32 that older systems lack, looked up by name.
#pragma once

#include "platform/os.h"

// The function `name` of kernel32.dll, or null where the system lacks it.
template <typename Function> Function kernel32_function(const char *name)
{
    HMODULE kernel32 = sys::GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel32 != NULL ? sys::GetProcAddress(kernel32, name) : NULL;
    // Through a generic function pointer type, which every compiler accepts
    // as a cast target without a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
