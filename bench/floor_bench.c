/* The floors the message costs are measured against.
 *
 *   ovbench_floor futex --rounds N [--cpu C]
 *       A round trip between two processes through one shared futex word
 *       (a MAP_SHARED page, futexes without FUTEX_PRIVATE_FLAG, as the
 *       library's events use): the parent stores 1 and wakes, the child
 *       waits for 1, stores 2 and wakes, the parent waits for 2.  Both are
 *       pinned to CPU C when given.  One operation is one round trip.
 *
 *   ovbench_floor shm --count N
 *       shm_open of a name that does not exist.
 *
 *   ovbench_floor map --count N [--dir DIR]
 *       Maps one page of a file in DIR (/dev/shm by default) shared,
 *       writes a byte to it and unmaps it: what opening a named object and
 *       touching it costs beyond the open itself.
 *
 * Prints ns_per_op (the mean), p50_ns and p99_ns.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

/* Every operation is timed on its own, as the message client times each
 * message, so that floor and subject carry the same clock overhead; prints
 * the mean and the median. */
static uint64_t* samples;

static int compare_u64(const void* a, const void* b) {
    uint64_t x = *(const uint64_t*)a, y = *(const uint64_t*)b;
    return x < y ? -1 : x > y;
}

static void print_samples(long n) {
    double sum = 0;
    for (long i = 0; i < n; ++i) sum += (double)samples[i];
    qsort(samples, (size_t)n, sizeof *samples, compare_u64);
    printf("ns_per_op=%.1f p50_ns=%llu p99_ns=%llu\n", sum / (double)n, (unsigned long long)samples[n / 2],
           (unsigned long long)samples[(long)(0.99 * (double)(n - 1) + 0.5)]);
}

static long futex(_Atomic uint32_t* word, int op, uint32_t value) {
    return syscall(SYS_futex, word, op, value, NULL, NULL, 0);
}

/* Sleeps until the word holds `want`. */
static void wait_for(_Atomic uint32_t* word, uint32_t want) {
    for (;;) {
        uint32_t seen = atomic_load(word);
        if (seen == want) return;
        futex(word, FUTEX_WAIT, seen);
    }
}

static void store_and_wake(_Atomic uint32_t* word, uint32_t value) {
    atomic_store(word, value);
    futex(word, FUTEX_WAKE, 1);
}

static void pin(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        perror("ovbench_floor: sched_setaffinity");
        exit(2);
    }
}

static int futex_round_trips(long rounds, int cpu) {
    pin(cpu);
    _Atomic uint32_t* word = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (word == MAP_FAILED) return 2;
    atomic_store(word, 0);
    const long warm_up = 200;
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        for (long i = 0; i < warm_up + rounds; ++i) {
            wait_for(word, 1);
            store_and_wake(word, 2);
        }
        _exit(0);
    }
    for (long i = 0; i < warm_up + rounds; ++i) {
        uint64_t t0 = now_ns();
        store_and_wake(word, 1);
        wait_for(word, 2);
        if (i >= warm_up) samples[i - warm_up] = now_ns() - t0;
    }
    int status = 0;
    waitpid(child, &status, 0);
    print_samples(rounds);
    return 0;
}

static int failed_shm_opens(long count) {
    char name[64];
    snprintf(name, sizeof name, "/ovbench-missing-%d", (int)getpid());
    for (int i = 0; i < 1000; ++i) shm_open(name, O_RDONLY, 0);
    for (long i = 0; i < count; ++i) {
        uint64_t t0 = now_ns();
        int fd = shm_open(name, O_RDONLY, 0);
        samples[i] = now_ns() - t0;
        if (fd >= 0 || errno != ENOENT) {
            fprintf(stderr, "ovbench_floor: %s exists\n", name);
            return 2;
        }
    }
    print_samples(count);
    return 0;
}

static int page_maps(long count, const char* directory) {
    char path[4096];
    snprintf(path, sizeof path, "%s/ovbench-page-%d", directory, (int)getpid());
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, 4096) != 0) {
        perror("ovbench_floor: page file");
        return 2;
    }
    unlink(path);
    for (long i = 0; i < 100 + count; ++i) {
        uint64_t t0 = now_ns();
        volatile char* page = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (page == MAP_FAILED) return 2;
        page[0] = (char)i;
        munmap((void*)page, 4096);
        if (i >= 100) samples[i - 100] = now_ns() - t0;
    }
    close(fd);
    print_samples(count);
    return 0;
}

int main(int argc, char** argv) {
    long n = 0;
    int cpu = -1;
    const char* directory = "/dev/shm";
    for (int i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0 || strcmp(argv[i], "--count") == 0) n = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--cpu") == 0) cpu = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--dir") == 0) directory = argv[i + 1];
    }
    samples = n > 0 ? calloc((size_t)n, sizeof *samples) : NULL;
    if (n > 0 && samples == NULL) return 2;
    if (argc >= 2 && n > 0 && strcmp(argv[1], "futex") == 0) return futex_round_trips(n, cpu);
    if (argc >= 2 && n > 0 && strcmp(argv[1], "shm") == 0) return failed_shm_opens(n);
    if (argc >= 2 && n > 0 && strcmp(argv[1], "map") == 0) return page_maps(n, directory);
    fputs("usage: ovbench_floor futex --rounds N [--cpu C] | shm --count N | map --count N [--dir DIR]\n", stderr);
    return 2;
}
