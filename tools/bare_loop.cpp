// The bare write loop that tools/bench measures beside voidfill.exe: Wine's
// own write path on a volume, with nothing of the program around it.
//
//   bare_loop x: READY-LINE GO-FILE
//
// Once the bench has created GO-FILE (see bench_wait.h), asks the free space
// of the drive once, writes zeros in 4 MiB blocks with fwrite into a new
// file x:\BARELOOP.TMP until only 10,485,760 bytes would stay free, commits
// the file, closes and deletes it. An existing file of that name is never
// touched. Exit status 0 after a complete fill.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "bench_wait.h"

static const size_t BLOCK_BYTES = 4194304;
static const uint64_t RESERVE_BYTES = 10485760;

// The stream sits on a handle that was created new, as voidfill's does.
static FILE *create_new(const char *path)
{
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return NULL;
    int fd = _open_osfhandle((intptr_t)handle, _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return NULL;
    }
    FILE *file = _fdopen(fd, "wb");
    if (file == NULL)
        _close(fd);
    return file;
}

static bool write_zeros(FILE *file, const char *zeros, uint64_t bytes)
{
    while (bytes > 0) {
        size_t n = bytes > BLOCK_BYTES ? BLOCK_BYTES : (size_t)bytes;
        if (fwrite(zeros, 1, n, file) != n)
            return false;
        bytes -= n;
    }
    return true;
}

int main(int argc, char **argv)
{
    if (argc != 4 || argv[1][0] == '\0' || argv[1][1] != ':' || argv[1][2] != '\0') {
        fprintf(stderr, "usage: bare_loop x: READY-LINE GO-FILE\n");
        return 2;
    }
    if (!wait_for_go(argv[2], argv[3]))
        return 1;
    char root[4];
    char path[32];
    snprintf(root, sizeof root, "%c:\\", argv[1][0]);
    snprintf(path, sizeof path, "%c:\\BARELOOP.TMP", argv[1][0]);
    ULARGE_INTEGER free_bytes;
    if (!GetDiskFreeSpaceExA(root, &free_bytes, NULL, NULL)) {
        fprintf(stderr, "bare_loop: no free space for %s\n", root);
        return 1;
    }
    if (free_bytes.QuadPart <= RESERVE_BYTES)
        return 0;
    char *zeros = (char *)calloc(1, BLOCK_BYTES);
    FILE *file = zeros != NULL ? create_new(path) : NULL;
    if (file == NULL) {
        fprintf(stderr, "bare_loop: cannot create %s\n", path);
        free(zeros);
        return 1;
    }
    bool complete = write_zeros(file, zeros, free_bytes.QuadPart - RESERVE_BYTES);
    complete = fflush(file) == 0 && complete;
    complete = _commit(_fileno(file)) == 0 && complete;
    fclose(file);
    free(zeros);
    if (!DeleteFileA(path)) {
        fprintf(stderr, "bare_loop: cannot delete %s\n", path);
        return 1;
    }
    printf("bare_loop: %s of %llu bytes\n", complete ? "wrote all" : "stopped short",
           (unsigned long long)(free_bytes.QuadPart - RESERVE_BYTES));
    return complete ? 0 : 1;
}
