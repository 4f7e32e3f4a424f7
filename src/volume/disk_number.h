// The physical disk that the volume behind a drive letter lies on.
#pragma once

#include "platform/os.h"

enum { EXTENTS_BUFFER_SIZE = 2048, DEVICE_PATH_SIZE = 1024 };
enum { DISK_DEVICE_UNAVAILABLE = -1, DISK_EXTENTS_UNREADABLE = -2 };

// The disk of the volume's first extent, or one of the two codes above.
int get_disk_number(char letter);
// The volume's extents record in `buffer`, or null.
void *query_disk_extents(HANDLE device, void *buffer, DWORD size);
