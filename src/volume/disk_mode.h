// Disk mode: every drive letter whose volume lies on one physical disk, and
// the lookup of the disk behind a drive letter.
#pragma once

#include "platform/os.h"

enum { EXTENTS_BUFFER_SIZE = 2048, DEVICE_PATH_SIZE = 1024 };
enum { DISK_DEVICE_UNAVAILABLE = -1, DISK_EXTENTS_UNREADABLE = -2 };

// Argument: a digit followed by ':'. Confirms, then fills each matching drive.
void run_disk_mode(const char *argument);

int get_disk_number(char letter);
void *query_disk_extents(HANDLE device, void *buffer, DWORD size);
