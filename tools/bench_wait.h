// How tools/bench starts its two stand-in programs under Wine: each prints
// the line it is given (the harness knows that a program runs once it has
// printed its banner) and waits until the bench creates the go file, so
// that the bench can read its memory and prepare the volume first.
#pragma once

#include <windows.h>
#include <stdio.h>

// False when the go file has not appeared within a minute: the bench is
// gone, and the program must not start on its own.
static bool wait_for_go(const char *ready_line, const char *go_file)
{
    printf("%s\n", ready_line);
    fflush(stdout);
    for (int waited_ms = 0; waited_ms < 60000; waited_ms++) {
        if (GetFileAttributesA(go_file) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(1);
    }
    return false;
}
