// Functions of ntdll.dll, looked up by name: the file functions beneath
// kernel32's, for what kernel32 has no call for, while the program
// imports kernel32 alone.
#pragma once

#include "platform/os.h"

// The function `name` of ntdll.dll, or null where the system lacks it.
template <typename Function> Function ntdll_function(const char *name)
{
    HMODULE ntdll = sys::GetModuleHandleA("ntdll.dll");
    FARPROC found = ntdll != NULL ? sys::GetProcAddress(ntdll, name) : NULL;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
