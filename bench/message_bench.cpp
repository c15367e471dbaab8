// Diagnostic messages through the library's client, as the library sends
// them (ov::diag::DebugMsg), to whatever logger serves the namespace in
// OVDELETE_NAMESPACE, or to none.
//
//   ovbench_message latency --count N [--cpu C]
//       One process: sets the client up with one message (not timed), then
//       times N messages one by one.  Prints the distribution and the
//       process's own CPU time per message, in user mode and in the kernel.
//   ovbench_message load --procs K --seconds T [--cpus LIST]
//       K client processes, each allowed on the CPUs in LIST ("0" or
//       "0,1"), send messages back to back for T seconds from a common
//       start.  Prints the total throughput, the distribution over every
//       client's messages, the fewest and most messages a client sent, and
//       repeat_share: of all messages in the order they completed, the
//       share that followed one of the same client (0 when the clients
//       take strict turns, 1/K when the order is random), and the clients'
//       CPU time and context switches per message (from wait4).
//
// Output is one line of key=value pairs, times in nanoseconds.
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "debug_client.h"

namespace {

constexpr char line[] = "File Read Only or Hidden: b.tmp";

std::uint64_t now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// Restricts the calling process to the CPUs in a list such as "0" or "0,1";
// an empty list leaves it alone.
bool allow_cpus(const char* list) {
    if (list == nullptr || list[0] == '\0') return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const char* p = list; *p != '\0';) {
        char* end = nullptr;
        long cpu = std::strtol(p, &end, 10);
        if (end == p || cpu < 0 || cpu >= CPU_SETSIZE) return false;
        CPU_SET(static_cast<int>(cpu), &set);
        p = *end == ',' ? end + 1 : end;
    }
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        std::perror("ovbench_message: sched_setaffinity");
        return false;
    }
    return true;
}

// The client as a host has it after its first message.
void set_up_client() {
    ov::diag::reset_client_for_testing();
    ov::diag::DebugMsg("%s", line);
}

std::uint64_t percentile(const std::vector<std::uint64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    std::size_t at = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

void print_distribution(std::vector<std::uint64_t>& ns) {
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (std::uint64_t v : ns) sum += static_cast<double>(v);
    std::printf("p50_ns=%llu p90_ns=%llu p99_ns=%llu min_ns=%llu max_ns=%llu mean_ns=%.0f",
                static_cast<unsigned long long>(percentile(ns, 0.50)),
                static_cast<unsigned long long>(percentile(ns, 0.90)),
                static_cast<unsigned long long>(percentile(ns, 0.99)),
                static_cast<unsigned long long>(ns.empty() ? 0 : ns.front()),
                static_cast<unsigned long long>(ns.empty() ? 0 : ns.back()), ns.empty() ? 0.0 : sum / ns.size());
}

double microseconds(const struct timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
}

int latency(long count, const char* cpus) {
    if (!allow_cpus(cpus)) return 2;
    set_up_client();
    std::vector<std::uint64_t> ns(static_cast<std::size_t>(count));
    long failed = 0;
    struct rusage before {}, after {};
    getrusage(RUSAGE_SELF, &before);
    for (long i = 0; i < count; ++i) {
        std::uint64_t t0 = now_ns();
        int result = ov::diag::DebugMsg("%s", line);
        ns[static_cast<std::size_t>(i)] = now_ns() - t0;
        failed += result != 1;
    }
    getrusage(RUSAGE_SELF, &after);
    const double messages = count > 0 ? static_cast<double>(count) : 1.0;
    std::printf("count=%ld failed=%ld user_us_per_msg=%.2f system_us_per_msg=%.2f ", count, failed,
                (microseconds(after.ru_utime) - microseconds(before.ru_utime)) / messages,
                (microseconds(after.ru_stime) - microseconds(before.ru_stime)) / messages);
    print_distribution(ns);
    std::printf("\n");
    return 0;
}

// What the clients of a load run share with the parent.
struct shared_block {
    std::atomic<int> ready;
    std::atomic<std::uint64_t> start_ns;
    std::atomic<std::uint64_t> end_ns[64];
    std::atomic<long> sent[64];
    std::atomic<long> failed[64];
};

int load(int procs, double seconds, const char* cpus) {
    if (procs < 1 || procs > 64) return 2;
    // Room for one message every microsecond, far more than a logger takes.
    const std::size_t capacity = static_cast<std::size_t>(seconds * 1e6) + 1024;
    // Per client: the latencies, then the times each message completed.
    std::size_t bytes =
        sizeof(shared_block) + static_cast<std::size_t>(procs) * 2 * capacity * sizeof(std::uint64_t);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return 2;
    auto* block = new (memory) shared_block{};
    auto* samples = reinterpret_cast<std::uint64_t*>(static_cast<char*>(memory) + sizeof(shared_block));
    std::vector<pid_t> children;
    for (int c = 0; c < procs; ++c) {
        pid_t pid = fork();
        if (pid < 0) return 2;
        if (pid == 0) {
            if (!allow_cpus(cpus)) _exit(2);
            set_up_client();
            block->ready.fetch_add(1);
            std::uint64_t start = 0;
            while ((start = block->start_ns.load()) == 0) usleep(200);
            struct timespec at {static_cast<time_t>(start / 1000000000u), static_cast<long>(start % 1000000000u)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            const std::uint64_t deadline = start + static_cast<std::uint64_t>(seconds * 1e9);
            std::uint64_t* mine = samples + static_cast<std::size_t>(c) * 2 * capacity;
            std::uint64_t* ends = mine + capacity;
            long n = 0, failed = 0;
            for (std::uint64_t t0 = now_ns(); t0 < deadline && static_cast<std::size_t>(n) < capacity;) {
                int result = ov::diag::DebugMsg("%s", line);
                std::uint64_t t1 = now_ns();
                ends[n] = t1;
                mine[n++] = t1 - t0;
                failed += result != 1;
                t0 = t1;
            }
            block->sent[c].store(n);
            block->failed[c].store(failed);
            block->end_ns[c].store(now_ns());
            _exit(0);
        }
        children.push_back(pid);
    }
    while (block->ready.load() < procs) usleep(500);
    const std::uint64_t start = now_ns() + 20000000u;  // 20 ms for every client to be asleep until then
    block->start_ns.store(start);
    int bad = 0;
    double cpu_us = 0, voluntary = 0, involuntary = 0;
    for (pid_t pid : children) {
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        bad += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        cpu_us += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        voluntary += static_cast<double>(usage.ru_nvcsw);
        involuntary += static_cast<double>(usage.ru_nivcsw);
    }
    if (bad != 0) return 2;
    std::vector<std::uint64_t> all;
    std::vector<std::pair<std::uint64_t, int>> order;
    long total = 0, failed = 0, fewest = -1, most = 0;
    std::uint64_t end = start;
    for (int c = 0; c < procs; ++c) {
        long n = block->sent[c].load();
        total += n;
        failed += block->failed[c].load();
        fewest = fewest < 0 ? n : std::min(fewest, n);
        most = std::max(most, n);
        end = std::max(end, block->end_ns[c].load());
        const std::uint64_t* theirs = samples + static_cast<std::size_t>(c) * 2 * capacity;
        all.insert(all.end(), theirs, theirs + n);
        for (long i = 0; i < n; ++i) order.emplace_back(theirs[capacity + static_cast<std::size_t>(i)], c);
    }
    std::sort(order.begin(), order.end());
    long repeats = 0;
    for (std::size_t i = 1; i < order.size(); ++i) repeats += order[i].second == order[i - 1].second;
    double repeat_share = order.size() > 1 ? static_cast<double>(repeats) / static_cast<double>(order.size() - 1) : 0;
    double elapsed = static_cast<double>(end - start) / 1e9;
    const double messages = total > 0 ? static_cast<double>(total) : 1.0;
    std::printf("procs=%d count=%ld failed=%ld per_s=%.0f fewest=%ld most=%ld repeat_share=%.3f "
                "cpu_us_per_msg=%.1f voluntary_per_msg=%.2f involuntary_per_msg=%.2f ",
                procs, total, failed, static_cast<double>(total) / elapsed, fewest, most, repeat_share,
                cpu_us / messages, voluntary / messages, involuntary / messages);
    print_distribution(all);
    std::printf("\n");
    munmap(memory, bytes);
    return 0;
}

int usage() {
    std::fputs("usage: ovbench_message latency --count N [--cpu C]\n"
               "       ovbench_message load --procs K --seconds T [--cpus LIST]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    long count = 0;
    int procs = 0;
    double seconds = 0;
    const char* cpus = nullptr;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) count = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--procs") == 0) procs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--cpu") == 0 || std::strcmp(argv[i], "--cpus") == 0) cpus = argv[i + 1];
        else return usage();
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (std::strcmp(argv[1], "latency") == 0 && count >= 0) return latency(count, cpus);
    if (std::strcmp(argv[1], "load") == 0 && seconds > 0) return load(procs, seconds, cpus);
    return usage();
}
