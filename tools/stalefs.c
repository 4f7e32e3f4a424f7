/* stalefs: a small FUSE file system for the tests, whose freed blocks keep
 * their bytes, as the clusters of an NTFS volume do.
 *
 *   stalefs IMAGE MOUNTPOINT --size MIB [--map FILE] [--write-rate KIB] [-f] [-d]
 *
 * File data lives in 4 KiB blocks of IMAGE, block n at byte n * 4096; the
 * tree, each file's block table and the free map live in memory only, so
 * every mount starts empty, with whatever bytes the image holds. A block
 * never written is a hole of the sparse image and reads zeros. A block freed
 * by a delete or a truncate keeps its bytes, a write takes the lowest free
 * block first (deleted data is reused first), and fallocate hands blocks out
 * without touching them: the file then reads what they held, as a file does
 * on Windows after SetFileValidData (which Wine turns into fallocate). Under
 * Wine every other file system reads zeros there and proves nothing.
 *
 * --map FILE: at unmount, the free blocks as lines "first-last", so that a
 * test can check in the image which free blocks still hold old data.
 * --write-rate KIB: writes take at least as long as at KIB KiB/s, for a slow
 * volume without special kernel features.
 *
 * Single-threaded (-s). Unlinked files that are still open stay readable
 * through their handles and give their blocks back at the last close
 * (hard_remove: no hidden files in the tree, which Windows would not show).
 * No links, hard or symbolic.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/falloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define BLOCK 4096u
#define NONE UINT32_MAX
/* 64 GiB a file: keeps a file's block table (4 bytes a block) small. */
#define MAX_FILE_BLOCKS (1u << 24)
#define MIB_MAX (1u << 20)

struct node {
    char name[NAME_MAX + 1];
    struct node *parent, *children, *next;
    int is_dir;
    uint64_t ino;
    off_t size;
    uint32_t *block; /* image block of each file block, NONE where unassigned */
    uint32_t nblock;
    uint64_t assigned;
    unsigned opens;
    int linked;
    struct timespec atime, mtime, ctime;
};

static struct {
    int image, map;
    uint32_t blocks, free, low; /* every block below low is in use */
    uint64_t *used;
    double rate; /* bytes a second; 0: no cap */
    int64_t write_due; /* monotonic ns at which the writes so far may have ended */
    uint64_t next_ino, nodes;
    struct node root;
} fs;

static const char zeros[BLOCK];

/* --- the free map ------------------------------------------------------ */

static uint32_t take_block(void) /* the caller made sure one is free */
{
    uint32_t word = fs.low >> 6;
    while (fs.used[word] == ~0ull)
        word++;
    uint32_t b = word * 64 + (uint32_t)__builtin_ctzll(~fs.used[word]);
    fs.used[word] |= 1ull << (b & 63);
    fs.free--;
    fs.low = b + 1;
    return b;
}

static void give_block(uint32_t b)
{
    fs.used[b >> 6] &= ~(1ull << (b & 63));
    fs.free++;
    if (b < fs.low)
        fs.low = b;
}

/* --- the image --------------------------------------------------------- */

static int image_io(int writing, char *buf, size_t len, off_t at)
{
    while (len > 0) {
        ssize_t n = writing ? pwrite(fs.image, buf, len, at) : pread(fs.image, buf, len, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -EIO;
        buf += n;
        len -= (size_t)n;
        at += n;
    }
    return 0;
}

static uint32_t block_of(const struct node *n, uint64_t fb)
{
    return fb < n->nblock ? n->block[fb] : NONE;
}

/* One pread or pwrite per run of blocks that follow each other in the
 * image; unassigned blocks read zeros (a write must have assigned them). */
static int transfer(struct node *n, int writing, char *buf, size_t len, off_t off)
{
    size_t done = 0;
    while (done < len) {
        uint64_t fb = (uint64_t)(off + (off_t)done) / BLOCK, next = fb + 1;
        size_t in = (size_t)((off + (off_t)done) % BLOCK);
        uint32_t b = block_of(n, fb);
        size_t run = len - done < BLOCK - in ? len - done : BLOCK - in;
        while (done + run < len) {
            uint32_t nb = block_of(n, next);
            if (b == NONE ? nb != NONE : nb != b + (next - fb))
                break;
            run += len - done - run < BLOCK ? len - done - run : BLOCK;
            next++;
        }
        if (b == NONE) {
            if (writing)
                return -EIO;
            memset(buf + done, 0, run);
        } else if (image_io(writing, buf + done, run, (off_t)b * BLOCK + (off_t)in) != 0) {
            return -EIO;
        }
        done += run;
    }
    return 0;
}

/* Bytes past the end of a file read zeros once it grows again, as past the
 * valid data on NTFS: the rest of its last block is cleared whenever the
 * size moves (a write or truncate past it, a truncate below it). */
static int clear_tail(struct node *n)
{
    uint32_t in = (uint32_t)(n->size % BLOCK);
    uint32_t b = block_of(n, (uint64_t)n->size / BLOCK);
    if (in == 0 || b == NONE)
        return 0;
    return image_io(1, (char *)zeros, BLOCK - in, (off_t)b * BLOCK + in);
}

/* Assigns free blocks to every unassigned block first..last, all or none. */
static int assign(struct node *n, uint64_t first, uint64_t last)
{
    if (last >= MAX_FILE_BLOCKS)
        return -EFBIG;
    uint64_t missing = 0;
    for (uint64_t fb = first; fb <= last; fb++)
        missing += block_of(n, fb) == NONE;
    if (missing > fs.free)
        return -ENOSPC;
    if (last >= n->nblock) {
        uint32_t *grown = realloc(n->block, (last + 1) * sizeof *grown);
        if (!grown)
            return -ENOMEM;
        for (uint64_t fb = n->nblock; fb <= last; fb++)
            grown[fb] = NONE;
        n->block = grown;
        n->nblock = (uint32_t)last + 1;
    }
    for (uint64_t fb = first; fb <= last; fb++) {
        if (n->block[fb] == NONE) {
            n->block[fb] = take_block();
            n->assigned++;
        }
    }
    return 0;
}

static void free_from(struct node *n, uint64_t first)
{
    for (uint64_t fb = first; fb < n->nblock; fb++) {
        if (n->block[fb] != NONE) {
            give_block(n->block[fb]);
            n->assigned--;
        }
    }
    if (first < n->nblock)
        n->nblock = (uint32_t)first;
}

/* --- the tree ---------------------------------------------------------- */

static void now(struct timespec *t) { clock_gettime(CLOCK_REALTIME, t); }

static struct node *child(struct node *dir, const char *name, size_t len)
{
    for (struct node *c = dir->children; c; c = c->next)
        if (strlen(c->name) == len && memcmp(c->name, name, len) == 0)
            return c;
    return NULL;
}

static struct node *find(const char *path)
{
    struct node *n = &fs.root;
    while (n && *path) {
        while (*path == '/')
            path++;
        if (!*path)
            break;
        size_t len = strcspn(path, "/");
        n = n->is_dir ? child(n, path, len) : NULL;
        path += len;
    }
    return n;
}

/* The folder that holds path, and the last name in path. */
static int split(const char *path, struct node **dir, const char **name)
{
    const char *slash = strrchr(path, '/');
    *name = slash + 1;
    if (strlen(*name) > NAME_MAX)
        return -ENAMETOOLONG;
    char parent[PATH_MAX];
    snprintf(parent, sizeof parent, "%.*s", (int)(slash - path), path);
    *dir = find(parent);
    if (!*dir)
        return -ENOENT;
    if (!(*dir)->is_dir)
        return -ENOTDIR;
    return child(*dir, *name, strlen(*name)) ? -EEXIST : 0;
}

static void attach(struct node *dir, struct node *n)
{
    n->parent = dir;
    n->next = dir->children;
    dir->children = n;
    n->linked = 1;
    now(&dir->mtime);
    dir->ctime = dir->mtime;
}

static void detach(struct node *n)
{
    struct node **p = &n->parent->children;
    while (*p != n)
        p = &(*p)->next;
    *p = n->next;
    now(&n->parent->mtime);
    n->parent->ctime = n->parent->mtime;
    n->linked = 0;
}

static void drop_if_unused(struct node *n)
{
    if (n->linked || n->opens)
        return;
    free_from(n, 0);
    free(n->block);
    free(n);
    fs.nodes--;
}

static int make(const char *path, int is_dir, struct node **made)
{
    struct node *dir;
    const char *name;
    int err = split(path, &dir, &name);
    if (err)
        return err;
    struct node *n = calloc(1, sizeof *n);
    if (!n)
        return -ENOMEM;
    snprintf(n->name, sizeof n->name, "%s", name);
    n->is_dir = is_dir;
    n->ino = fs.next_ino++;
    now(&n->mtime);
    n->atime = n->ctime = n->mtime;
    attach(dir, n);
    fs.nodes++;
    *made = n;
    return 0;
}

static struct node *node_of(const char *path, struct fuse_file_info *fi)
{
    return fi && fi->fh ? (struct node *)(uintptr_t)fi->fh : find(path);
}

/* --- operations -------------------------------------------------------- */

static int op_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (!n)
        return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_ino = n->ino;
    st->st_mode = n->is_dir ? S_IFDIR | 0755 : S_IFREG | 0644;
    st->st_nlink = n->is_dir ? 2 : n->linked;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_size = n->is_dir ? BLOCK : n->size;
    st->st_blksize = BLOCK;
    st->st_blocks = (blkcnt_t)(n->assigned * (BLOCK / 512));
    st->st_atim = n->atime;
    st->st_mtim = n->mtime;
    st->st_ctim = n->ctime;
    return 0;
}

static int op_open(const char *path, struct fuse_file_info *fi)
{
    struct node *n = find(path);
    if (!n)
        return -ENOENT;
    n->opens++;
    fi->fh = (uintptr_t)n;
    return 0;
}

static int op_release(const char *path, struct fuse_file_info *fi)
{
    struct node *n = (struct node *)(uintptr_t)fi->fh;
    n->opens--;
    drop_if_unused(n);
    return 0;
}

static int op_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    struct node *n;
    int err = make(path, 0, &n);
    if (err)
        return err;
    n->opens = 1;
    fi->fh = (uintptr_t)n;
    return 0;
}

static int op_mkdir(const char *path, mode_t mode)
{
    struct node *n;
    return make(path, 1, &n);
}

static int op_unlink(const char *path)
{
    struct node *n = find(path);
    if (!n)
        return -ENOENT;
    if (n->is_dir)
        return -EISDIR;
    detach(n);
    drop_if_unused(n);
    return 0;
}

static int op_rmdir(const char *path)
{
    struct node *n = find(path);
    if (!n)
        return -ENOENT;
    if (!n->is_dir)
        return -ENOTDIR;
    if (n == &fs.root)
        return -EBUSY;
    if (n->children)
        return -ENOTEMPTY;
    detach(n);
    drop_if_unused(n);
    return 0;
}

static int op_rename(const char *from, const char *to, unsigned int flags)
{
    struct node *n = find(from), *dir;
    const char *name;
    if (!n)
        return -ENOENT;
    if (flags & ~RENAME_NOREPLACE)
        return -EINVAL;
    int err = split(to, &dir, &name);
    if (err && err != -EEXIST)
        return err;
    for (struct node *up = dir; up; up = up->parent)
        if (up == n)
            return -EINVAL; /* a folder into itself */
    struct node *old = child(dir, name, strlen(name));
    if (old == n)
        return 0;
    if (old) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
        if (old->is_dir != n->is_dir)
            return old->is_dir ? -EISDIR : -ENOTDIR;
        if (old->children)
            return -ENOTEMPTY;
        detach(old);
        drop_if_unused(old);
    }
    detach(n);
    snprintf(n->name, sizeof n->name, "%s", name);
    attach(dir, n);
    now(&n->ctime);
    return 0;
}

static int op_no_links(const char *from, const char *to)
{
    return -EPERM;
}

static int op_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (!n)
        return -ENOENT;
    if (n->is_dir)
        return -EISDIR;
    if (size > (off_t)MAX_FILE_BLOCKS * BLOCK)
        return -EFBIG;
    int err = 0;
    if (size > n->size) {
        err = clear_tail(n); /* assigns nothing: the new range reads zeros */
        n->size = size;
    } else {
        n->size = size;
        free_from(n, ((uint64_t)size + BLOCK - 1) / BLOCK);
        err = clear_tail(n);
    }
    now(&n->mtime);
    n->ctime = n->mtime;
    return err;
}

static int op_read(const char *path, char *buf, size_t len, off_t off, struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (off >= n->size)
        return 0;
    if ((off_t)len > n->size - off)
        len = (size_t)(n->size - off);
    int err = transfer(n, 0, buf, len, off);
    return err ? err : (int)len;
}

static int64_t monotonic_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* Holds a write back until the capped rate allows it to have ended. */
static void pace(size_t len)
{
    if (fs.rate <= 0)
        return;
    int64_t start = monotonic_ns();
    if (fs.write_due < start)
        fs.write_due = start;
    fs.write_due += (int64_t)((double)len / fs.rate * 1e9);
    struct timespec due = {(time_t)(fs.write_due / 1000000000), (long)(fs.write_due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL) == EINTR) {
    }
}

static int op_write(const char *path, const char *buf, size_t len, off_t off,
                    struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (len == 0)
        return 0;
    uint64_t first = (uint64_t)off / BLOCK, last = ((uint64_t)off + len - 1) / BLOCK;
    int fresh_head = block_of(n, first) == NONE, fresh_tail = block_of(n, last) == NONE;
    int err = off + (off_t)len > n->size ? clear_tail(n) : 0;
    if (!err)
        err = assign(n, first, last);
    /* A new block reads zeros where the write leaves a gap inside the file;
     * past the end it keeps its bytes until the file grows (clear_tail).
     * Wine extends a file by writing one byte at the new end, then
     * truncating: that must not wipe the whole block it borrows. */
    off_t end = off + (off_t)len, in_end = end % BLOCK;
    if (!err && fresh_head && off % BLOCK)
        err = image_io(1, (char *)zeros, (size_t)(off % BLOCK), (off_t)n->block[first] * BLOCK);
    if (!err && fresh_tail && in_end && end < n->size)
        err = image_io(1, (char *)zeros, (size_t)(n->size - end < BLOCK - in_end ? n->size - end : BLOCK - in_end),
                       (off_t)n->block[last] * BLOCK + in_end);
    if (!err)
        err = transfer(n, 1, (char *)buf, len, off);
    if (err)
        return err;
    if (end > n->size)
        n->size = end;
    now(&n->mtime);
    n->ctime = n->mtime;
    pace(len);
    return (int)len;
}

/* Hands out free blocks as they are, old bytes and all. */
static int op_fallocate(const char *path, int mode, off_t off, off_t len,
                        struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (mode & ~FALLOC_FL_KEEP_SIZE)
        return -EOPNOTSUPP;
    if (off < 0 || len <= 0)
        return -EINVAL;
    int err = assign(n, (uint64_t)off / BLOCK, (uint64_t)(off + len - 1) / BLOCK);
    if (err)
        return err;
    if (!(mode & FALLOC_FL_KEEP_SIZE) && off + len > n->size)
        n->size = off + len;
    now(&n->ctime);
    return 0;
}

static int op_statfs(const char *path, struct statvfs *st)
{
    memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = BLOCK;
    st->f_blocks = fs.blocks;
    st->f_bfree = st->f_bavail = fs.free;
    st->f_files = fs.nodes + 1000000;
    st->f_ffree = st->f_favail = 1000000;
    st->f_namemax = NAME_MAX;
    return 0;
}

static int op_opendir(const char *path, struct fuse_file_info *fi)
{
    struct node *n = find(path);
    if (!n)
        return -ENOENT;
    if (!n->is_dir)
        return -ENOTDIR;
    n->opens++;
    fi->fh = (uintptr_t)n;
    return 0;
}

static int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    struct node *n = (struct node *)(uintptr_t)fi->fh;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    for (struct node *c = n->children; c; c = c->next)
        if (fill(buf, c->name, NULL, 0, 0))
            break;
    return 0;
}

static int op_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi)
{
    struct node *n = node_of(path, fi);
    if (!n)
        return -ENOENT;
    struct timespec *times[2] = {&n->atime, &n->mtime};
    for (int i = 0; i < 2; i++) {
        if (tv[i].tv_nsec == UTIME_NOW)
            now(times[i]);
        else if (tv[i].tv_nsec != UTIME_OMIT)
            *times[i] = tv[i];
    }
    now(&n->ctime);
    return 0;
}

/* Modes and owners are fixed; flushing has nothing to do: the image is
 * written as each write comes. */
static int op_chmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    return node_of(path, fi) ? 0 : -ENOENT;
}

static int op_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi)
{
    return node_of(path, fi) ? 0 : -ENOENT;
}

static int op_flush(const char *path, struct fuse_file_info *fi) { return 0; }

static int op_fsync(const char *path, int datasync, struct fuse_file_info *fi) { return 0; }

static void *op_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    cfg->use_ino = 1;
    /* No page cache: a read after fallocate must come here, not from pages
     * the kernel kept of the range while it was a hole. */
    cfg->direct_io = 1;
    conn->max_write = 1u << 20;
    conn->max_readahead = 1u << 20;
    return NULL;
}

/* At unmount: the free blocks, as "first-last" lines, for the tests. */
static void op_destroy(void *data)
{
    if (fs.map < 0)
        return;
    FILE *out = fdopen(fs.map, "w");
    for (uint32_t b = 0; out && b < fs.blocks;) {
        if (fs.used[b >> 6] >> (b & 63) & 1) {
            b++;
            continue;
        }
        uint32_t last = b;
        while (last + 1 < fs.blocks && !(fs.used[(last + 1) >> 6] >> ((last + 1) & 63) & 1))
            last++;
        fprintf(out, "%u-%u\n", b, last);
        b = last + 1;
    }
    if (!out || fclose(out) != 0)
        fprintf(stderr, "stalefs: cannot write the map of free blocks\n");
}

static const struct fuse_operations ops = {
    .getattr = op_getattr,
    .mkdir = op_mkdir,
    .unlink = op_unlink,
    .rmdir = op_rmdir,
    .symlink = op_no_links,
    .rename = op_rename,
    .link = op_no_links,
    .chmod = op_chmod,
    .chown = op_chown,
    .truncate = op_truncate,
    .open = op_open,
    .read = op_read,
    .write = op_write,
    .statfs = op_statfs,
    .flush = op_flush,
    .release = op_release,
    .fsync = op_fsync,
    .opendir = op_opendir,
    .readdir = op_readdir,
    .releasedir = op_release,
    .init = op_init,
    .destroy = op_destroy,
    .create = op_create,
    .utimens = op_utimens,
    .fallocate = op_fallocate,
};

static int usage(void)
{
    fprintf(stderr, "usage: stalefs IMAGE MOUNTPOINT --size MIB [--map FILE] "
                    "[--write-rate KIB] [-f] [-d]\n");
    return 2;
}

static int number(const char *text, unsigned long max, unsigned long *value)
{
    char *end;
    errno = 0;
    *value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && !*end && !errno && *value >= 1 && *value <= max;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    unsigned long mib = 0, kib = 0;
    const char *map = NULL;
    char *fuse_argv[8] = {argv[0], argv[2], "-s", "-o", NULL};
    int fuse_argc = 5;
    for (int i = 3; i < argc; i++) {
        if (!strcmp(argv[i], "-f") || !strcmp(argv[i], "-d")) {
            fuse_argv[fuse_argc++] = argv[i];
        } else if (i + 1 == argc) {
            return usage();
        } else if (!strcmp(argv[i], "--size")) {
            if (!number(argv[++i], MIB_MAX, &mib))
                return usage();
        } else if (!strcmp(argv[i], "--write-rate")) {
            if (!number(argv[++i], ULONG_MAX / 1024, &kib))
                return usage();
        } else if (!strcmp(argv[i], "--map")) {
            map = argv[++i];
        } else {
            return usage();
        }
    }
    if (!mib)
        return usage();

    /* Both files are opened now: the daemon changes to / before it serves. */
    char image[PATH_MAX], options[3 * PATH_MAX];
    fs.image = open(argv[1], O_RDWR);
    if (fs.image < 0 || !realpath(argv[1], image)) {
        perror(argv[1]);
        return 1;
    }
    fs.blocks = (uint32_t)(mib * (1024 * 1024 / BLOCK));
    struct stat st;
    if (fstat(fs.image, &st) != 0 ||
        (st.st_size < (off_t)fs.blocks * BLOCK && ftruncate(fs.image, (off_t)fs.blocks * BLOCK))) {
        perror(argv[1]);
        return 1;
    }
    fs.map = map ? open(map, O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (map && fs.map < 0) {
        perror(map);
        return 1;
    }
    fs.rate = (double)kib * 1024;
    uint32_t words = (fs.blocks + 63) / 64;
    fs.used = calloc(words, sizeof *fs.used);
    if (!fs.used)
        return 1;
    if (fs.blocks % 64)
        fs.used[words - 1] = ~0ull << (fs.blocks % 64); /* past the end: never free */
    fs.free = fs.blocks;
    fs.root.is_dir = fs.root.linked = 1;
    fs.root.ino = 1;
    fs.next_ino = 2;
    now(&fs.root.mtime);
    fs.root.atime = fs.root.ctime = fs.root.mtime;

    /* The image's path names the mount (commas escaped for -o). */
    size_t used = (size_t)snprintf(options, sizeof options, "subtype=stalefs,fsname=");
    for (const char *c = image; *c && used + 3 < sizeof options; c++) {
        if (*c == ',' || *c == '\\')
            options[used++] = '\\';
        options[used++] = *c;
    }
    options[used] = '\0';
    fuse_argv[4] = options;
    return fuse_main(fuse_argc, fuse_argv, &ops, NULL);
}
