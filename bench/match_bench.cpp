// The wildcard matcher on its worst input: a 259-character mask against a
// 255-character name, the library's matcher against glibc's fnmatch.
//
//   ovbench_match --dir BASE [--reps R] [--iterations N]
//
// The library's matcher is internal to its enumeration, so it is measured
// through the seam: ov::sys.find_first_file(mask) over a directory that
// holds one entry with the long name, minus the same enumeration with a
// mask that fails at its first character ("x*").  Both masks match nothing,
// so both enumerations take the same path (open, read, no match, close).
// A mask of 259 characters leaves no room for a directory part within the
// 259-character path limit, so the program works inside the directory and
// passes the mask alone.
//
// fnmatch runs in the "C" locale, once with FNM_CASEFOLD (a GNU extension;
// the library's matcher ignores ASCII case too) and once with no flags
// (POSIX, case-sensitive).  Mask and name are in the same case, so both
// flavours do the same work.  The two matchers differ in what they accept
// ('[' sets and '\' escapes are fnmatch's alone, trailing '.' and '*' after
// the name are the library's), but neither mask uses those.
//
// For each case and repetition prints one line:
//   case=NAME rep=R base_ns=.. enumerate_ns=.. library_ns=.. fnmatch_casefold_ns=.. fnmatch_ns=..
// (library_ns = enumerate_ns - base_ns, all per call).
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

std::uint64_t now_ns() {
    struct timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

struct match_case {
    const char* label;
    std::string mask;
    std::string name;
};

// The library's matcher keeps one back-tracking point, the last '*': its
// cost is at most the name's length times the longest literal run after a
// star, so its worst mask is one star followed by a run that almost
// matches at every offset (about 255 * 255 / 2 character steps).  Many '*'
// and '?' cost it less, because each star commits what came before; they
// are measured too, as the shape glibc's recursion handles worst.
match_case make_literal_case() {
    return {"star-literal", std::string(4, '*') + std::string(255, 'a'), std::string(254, 'a') + "b"};
}

match_case make_stars_case() {
    std::string mask;
    for (int i = 0; i < 64; ++i) mask += "*?";
    mask += std::string(130, 'a') + "c";
    return {"stars-questions", mask, std::string(255, 'a')};
}

// One enumeration that must find nothing; false when it found something.
bool enumerate_nothing(const char* mask) {
    ov::find_data entry{};
    ov::handle find = ov::sys.find_first_file(mask, &entry);
    if (find == nullptr) return ov::sys.get_last_error() == ov::err::file_not_found;
    ov::sys.find_close(find);
    return false;
}

// Nanoseconds per call of `body` over n calls.
template <typename F>
double per_call(long n, F body) {
    std::uint64_t t0 = now_ns();
    for (long i = 0; i < n; ++i) body();
    return static_cast<double>(now_ns() - t0) / static_cast<double>(n);
}

int run_case(const std::string& base, const match_case& c, int reps, long iterations) {
    std::string directory = base + "/" + c.label;
    mkdir(directory.c_str(), 0755);
    std::string file = directory + "/" + c.name;
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || close(fd) != 0 || chdir(directory.c_str()) != 0) {
        std::perror("ovbench_match");
        return 2;
    }
    if (c.mask.size() != 259 || c.name.size() != 255 || fnmatch(c.mask.c_str(), c.name.c_str(), 0) == 0 ||
        !enumerate_nothing(c.mask.c_str()) || !enumerate_nothing("x*")) {
        std::fprintf(stderr, "ovbench_match: case %s is not set up as intended\n", c.label);
        return 2;
    }
    volatile int sink = 0;
    for (int rep = 0; rep < reps; ++rep) {
        double base_ns = per_call(iterations, [&] { sink = sink + enumerate_nothing("x*"); });
        double enumerate_ns = per_call(iterations, [&] { sink = sink + enumerate_nothing(c.mask.c_str()); });
        double fold_ns =
            per_call(iterations, [&] { sink = sink + fnmatch(c.mask.c_str(), c.name.c_str(), FNM_CASEFOLD); });
        double posix_ns = per_call(iterations, [&] { sink = sink + fnmatch(c.mask.c_str(), c.name.c_str(), 0); });
        std::printf("case=%s rep=%d base_ns=%.0f enumerate_ns=%.0f library_ns=%.0f fnmatch_casefold_ns=%.0f "
                    "fnmatch_ns=%.0f\n",
                    c.label, rep, base_ns, enumerate_ns, enumerate_ns - base_ns, fold_ns, posix_ns);
    }
    if (chdir(base.c_str()) != 0 || unlink(file.c_str()) != 0 || rmdir(directory.c_str()) != 0) {
        std::perror("ovbench_match: clean-up");
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* base = nullptr;
    int reps = 7;
    long iterations = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0) base = argv[i + 1];
        else if (std::strcmp(argv[i], "--reps") == 0) reps = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--iterations") == 0) iterations = std::atol(argv[i + 1]);
    }
    if (base == nullptr || reps < 1 || iterations < 1) {
        std::fputs("usage: ovbench_match --dir BASE [--reps R] [--iterations N]\n", stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    mkdir(base, 0755);
    for (const match_case& c : {make_literal_case(), make_stars_case()})
        if (int status = run_case(base, c, reps, iterations); status != 0) return status;
    rmdir(base);
    return 0;
}
