// Drive-to-disk mapping.
#include "volume/disk_number.h"

#include <string.h>

void *query_disk_extents(HANDLE device, void *buffer, DWORD size)
{
    memset(buffer, 0, size);
    DWORD returned = 0;
    if (sys::DeviceIoControl(device, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, buffer, size,
                             &returned, NULL) == 0)
        return NULL;
    if (returned > size)
        return NULL;
    return buffer;
}

static uint32_t read_u32(const unsigned char *bytes)
{
    uint32_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

static int disk_of_device(const char *device_path)
{
    HANDLE device = sys::CreateFileA(device_path, GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                     NULL);
    if (device == INVALID_HANDLE_VALUE)
        return sys::GetLastError() == ERROR_ACCESS_DENIED ? DISK_NEEDS_ADMIN
                                                          : DISK_DEVICE_UNAVAILABLE;
    unsigned char extents[EXTENTS_BUFFER_SIZE];
    void *result = query_disk_extents(device, extents, sizeof extents);
    sys::CloseHandle(device);
    if (result == NULL)
        return DISK_EXTENTS_UNREADABLE;
    // A volume without any extent lies on no disk; the zeroed buffer would
    // otherwise read as disk 0.
    if (read_u32(extents) == 0)
        return DISK_EXTENTS_UNREADABLE;
    // The first extent's disk number follows the count and its padding.
    return (int)read_u32(extents + 8);
}

int get_disk_number(char letter)
{
    char device_path[DEVICE_PATH_SIZE] = "\\\\.\\C:";
    device_path[4] = letter;
    // An empty card reader or optical drive answers with a failure, not
    // with the system's own "no disk" box.
    UINT previous_mode = sys::SetErrorMode(SEM_FAILCRITICALERRORS);
    sys::SetErrorMode(previous_mode | SEM_FAILCRITICALERRORS);
    int disk = disk_of_device(device_path);
    sys::SetErrorMode(previous_mode);
    return disk;
}
