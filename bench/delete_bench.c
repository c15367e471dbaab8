/* Deletion at scale: FileDeleteWC against a bare C loop and find -delete.
 *
 *   ovbench_delete compare --dir BASE --count N --reps R --library LIB
 *       For each repetition, runs the three contenders in an order that
 *       rotates from one repetition to the next.  Before each run it makes
 *       a fresh directory BASE/run-REP-TOOL, fills it with N empty files
 *       f0000000.tmp, f0000001.tmp, ... (not timed), and flushes the file
 *       system's dirty state (syncfs, not timed; nothing is dropped from the
 *       page cache), so that every contender starts from the same state.
 *       Each contender is a child process; the parent times it from fork to
 *       exit (wall_ns) and reads its peak memory (ru_maxrss of wait4).  The
 *       bare loop and the FileDeleteWC driver also time their own work
 *       (call_ns), which leaves out the process's start and exit.  Prints
 *       one line per run:
 *         tool=bare|find|wc rep=R count=N wall_ns=.. call_ns=.. maxrss_kb=.. user_us=.. system_us=..
 *         minor_faults=.. fill_ns=.. sync_ns=.. result=.. left=..
 *       (user_us and system_us: the child's CPU time in user and kernel mode;
 *       minor_faults: the pages it touched for the first time.)
 *
 *   ovbench_delete bare DIR MASK      the floor: readdir, fnmatch,
 *                                     fstatat(AT_SYMLINK_NOFOLLOW), a
 *                                     read-only file stops the loop,
 *                                     unlinkat
 *   ovbench_delete wc LIB PATTERN     dlopen LIB, FileDeleteWC(PATTERN)
 *   ovbench_delete fill DIR N         makes the files only
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/fs.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

static void die(const char* what, const char* detail) {
    fprintf(stderr, "ovbench_delete: %s %s: %s\n", what, detail != NULL ? detail : "", strerror(errno));
    exit(2);
}

/* ---------------------------------------------------------------- floor */

/* What a wildcard deletion must do at least, written plainly. */
static int bare_loop(const char* directory, const char* mask) {
    DIR* d = opendir(directory);
    if (d == NULL) die("cannot open", directory);
    int fd = dirfd(d);
    int result = 1;
    int matched = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
        if (fnmatch(mask, e->d_name, 0) != 0) continue;
        struct stat st;
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            result = 0;
            break;
        }
        matched = 1;
        if (S_ISDIR(st.st_mode)) continue;
        /* Read-only: refused, and the walk stops, as FileDeleteWC stops. */
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || unlinkat(fd, e->d_name, 0) != 0) {
            result = 0;
            break;
        }
    }
    closedir(d);
    return result && matched;
}

static int run_bare(const char* directory, const char* mask) {
    uint64_t t0 = now_ns();
    int result = bare_loop(directory, mask);
    uint64_t t1 = now_ns();
    printf("call_ns=%llu result=%d\n", (unsigned long long)(t1 - t0), result);
    return 0;
}

typedef int (*file_delete_fn)(const char*);

static int run_wc(const char* library, const char* pattern) {
    void* module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "ovbench_delete: %s\n", dlerror());
        return 2;
    }
    file_delete_fn file_delete;
    *(void**)&file_delete = dlsym(module, "FileDeleteWC");
    if (file_delete == NULL) {
        fprintf(stderr, "ovbench_delete: no FileDeleteWC in %s\n", library);
        return 2;
    }
    uint64_t t0 = now_ns();
    int result = file_delete(pattern);
    uint64_t t1 = now_ns();
    printf("call_ns=%llu result=%d\n", (unsigned long long)(t1 - t0), result);
    return 0;
}

/* ---------------------------------------------------------------- files */

static void fill(const char* directory, unsigned count) {
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) die("cannot open", directory);
    char name[32];
    /* mknodat makes the same empty regular file as open and close, in one
     * call and without the open file: on ext4 here it is several times
     * quicker, which matters at a million files. */
    for (unsigned i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "f%07u.tmp", i);
        if (mknodat(fd, name, S_IFREG | 0644, 0) != 0) die("cannot create", name);
    }
    close(fd);
}

/* Writes back what filling left dirty, so that no contender pays for it. */
static void sync_directory(const char* directory) {
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || syncfs(fd) != 0) die("cannot sync", directory);
    close(fd);
}

/* On ext4, the run directories made in `base` go wherever ext4 puts a new
 * top-level directory (FS_TOPDIR_FL), which is a block group picked at
 * random, instead of next to `base`.  Without a journal, ext4 passes over
 * inodes freed in the last minutes when it allocates one, scanning past
 * each of them, so that filling a directory beside the one just emptied
 * costs milliseconds per file after a million deletions.  Filling is not
 * timed, but it would make the run take hours.  Elsewhere the flag is
 * refused and nothing changes. */
static void spread_subdirectories(const char* base) {
    int fd = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= FS_TOPDIR_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    close(fd);
}

/* Entries left in the directory besides "." and "..". */
static unsigned long left_in(const char* directory) {
    DIR* d = opendir(directory);
    if (d == NULL) die("cannot open", directory);
    unsigned long n = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

static void empty_directory(const char* directory) {
    DIR* d = opendir(directory);
    if (d == NULL) return;
    struct dirent* e;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

/* ---------------------------------------------------------------- compare */

enum { tool_bare, tool_find, tool_wc, tool_count };
static const char* const tool_names[tool_count] = {"bare", "find", "wc"};

struct outcome {
    uint64_t wall_ns;
    uint64_t call_ns;
    long maxrss_kb;
    uint64_t user_us;
    uint64_t system_us;
    long minor_faults;
    int result;
};

static struct outcome run_child(char* const argv[]) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) die("pipe", NULL);
    struct outcome o = {0, 0, 0, 0, 0, 0, -1};
    uint64_t t0 = now_ns();
    pid_t pid = fork();
    if (pid < 0) die("fork", NULL);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execvp(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) die("wait4", NULL);
    o.wall_ns = now_ns() - t0;
    o.maxrss_kb = ru.ru_maxrss;
    o.minor_faults = ru.ru_minflt;
    o.user_us = (uint64_t)ru.ru_utime.tv_sec * 1000000u + (uint64_t)ru.ru_utime.tv_usec;
    o.system_us = (uint64_t)ru.ru_stime.tv_sec * 1000000u + (uint64_t)ru.ru_stime.tv_usec;
    char text[256] = "";
    ssize_t n = read(out[0], text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    close(out[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "ovbench_delete: %s failed (status %d)\n", argv[0], status);
        exit(2);
    }
    unsigned long long call = 0;
    int result = -1;
    if (sscanf(text, "call_ns=%llu result=%d", &call, &result) == 2) {
        o.call_ns = call;
        o.result = result;
    }
    return o;
}

static int compare(const char* base, unsigned count, int reps, const char* library, const char* self) {
    /* The pattern must stay within the 259-character path limit. */
    char directory[260], pattern[260];
    if (strlen(base) + sizeof "/run-999-bare/*.tmp" > sizeof pattern) {
        fprintf(stderr, "ovbench_delete: %s is too long a directory\n", base);
        return 2;
    }
    if (mkdir(base, 0755) != 0 && errno != EEXIST) die("cannot make", base);
    spread_subdirectories(base);
    for (int rep = 0; rep < reps && rep < 1000; ++rep) {
        for (int k = 0; k < tool_count; ++k) {
            int tool = (k + rep) % tool_count;
            /* A fresh directory each time, under a name of its own (ext4
             * places a top-level directory by a hash of its name): a large
             * directory that has been emptied stays large on ext4 and would
             * slow the next reader. */
            snprintf(directory, sizeof directory, "%.200s/run-%d-%s", base, rep, tool_names[tool]);
            snprintf(pattern, sizeof pattern, "%.240s/*.tmp", directory);
            if (mkdir(directory, 0755) != 0) die("cannot make", directory);
            uint64_t f0 = now_ns();
            fill(directory, count);
            uint64_t f1 = now_ns();
            sync_directory(directory);
            uint64_t fill_ns = f1 - f0, sync_ns = now_ns() - f1;
            struct outcome o;
            if (tool == tool_bare) {
                char* argv[] = {(char*)self, "bare", directory, "*.tmp", NULL};
                o = run_child(argv);
            } else if (tool == tool_wc) {
                char* argv[] = {(char*)self, "wc", (char*)library, pattern, NULL};
                o = run_child(argv);
            } else {
                char* argv[] = {"find", directory, "-maxdepth", "1", "-name", "*.tmp", "-type", "f", "-delete", NULL};
                o = run_child(argv);
                o.result = 1;
            }
            unsigned long left = left_in(directory);
            printf("tool=%s rep=%d count=%u wall_ns=%llu call_ns=%llu maxrss_kb=%ld user_us=%llu "
                   "system_us=%llu minor_faults=%ld fill_ns=%llu sync_ns=%llu result=%d left=%lu\n",
                   tool_names[tool], rep, count, (unsigned long long)o.wall_ns, (unsigned long long)o.call_ns,
                   o.maxrss_kb, (unsigned long long)o.user_us, (unsigned long long)o.system_us, o.minor_faults,
                   (unsigned long long)fill_ns, (unsigned long long)sync_ns, o.result, left);
            fflush(stdout);
            empty_directory(directory);
            rmdir(directory);
            if (left != 0 || o.result != 1) {
                fprintf(stderr, "ovbench_delete: %s left %lu files (result %d)\n", tool_names[tool], left, o.result);
                return 1;
            }
        }
    }
    return 0;
}

static int usage(void) {
    fputs("usage: ovbench_delete compare --dir BASE --count N --reps R --library LIB\n"
          "       ovbench_delete bare DIR MASK | wc LIB PATTERN | fill DIR N\n",
          stderr);
    return 2;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "bare") == 0) return run_bare(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "wc") == 0) return run_wc(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "fill") == 0) {
        fill(argv[2], (unsigned)strtoul(argv[3], NULL, 10));
        return 0;
    }
    if (argc < 2 || strcmp(argv[1], "compare") != 0) return usage();
    const char* base = NULL;
    const char* library = NULL;
    unsigned count = 0;
    int reps = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
        else if (strcmp(argv[i], "--count") == 0) count = (unsigned)strtoul(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "--reps") == 0) reps = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--library") == 0) library = argv[i + 1];
        else return usage();
    }
    if (base == NULL || library == NULL || count == 0 || reps <= 0) return usage();
    /* The children are started by this program's own path. */
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) die("readlink", "/proc/self/exe");
    self[n] = '\0';
    return compare(base, count, reps, library, self);
}
