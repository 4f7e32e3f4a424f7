// The physical disk that the volume behind a drive letter lies on.
#pragma once

#include "platform/os.h"

enum { EXTENTS_BUFFER_SIZE = 2048, DEVICE_PATH_SIZE = 1024 };
enum { DISK_DEVICE_UNAVAILABLE = -1, DISK_EXTENTS_UNREADABLE = -2, DISK_NEEDS_ADMIN = -3 };

// The disk of the volume's first extent, or one of the codes above. Opening
// a volume to read needs an administrator: a program that is not elevated
// gets DISK_NEEDS_ADMIN for every drive.
int get_disk_number(char letter);
// The volume's extents record in `buffer`, or null.
void *query_disk_extents(HANDLE device, void *buffer, DWORD size);
