// Speed of the hot paths: enumerating and deleting matches, a message with
// no logger, and a full handoff to a running logger.
//   build/native/bin/ovdelete_bench [--benchmark_filter=...]
// Built when Google Benchmark is installed.  scripts/bench runs the
// comparisons against floors; this program is the quick in-process view of
// the same paths while working on them.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "debug_client.h"
#include "ovdelete.h"
#include "tools_platform.h"

namespace fs = std::filesystem;

namespace {

fs::path make_dir(const char* name) {
    fs::path dir = fs::temp_directory_path() / (std::string("ovdelete-bench-") + name + "-" +
                                                std::to_string(ov::current_process_id()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void fill(const fs::path& dir, int count) {
    for (int i = 0; i < count; ++i) std::ofstream(dir / ("file" + std::to_string(i) + ".tmp")) << 'x';
}

// FileDeleteWC over N matching files (creating them is not timed).
void BM_DeleteMatches(benchmark::State& state) {
    fs::path dir = make_dir("delete");
    std::string pattern = (dir / "*.tmp").string();
    for (auto _ : state) {
        state.PauseTiming();
        fill(dir, static_cast<int>(state.range(0)));
        state.ResumeTiming();
        if (FileDeleteWC(pattern.c_str()) != 1) state.SkipWithError("FileDeleteWC failed");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    fs::remove_all(dir);
}
BENCHMARK(BM_DeleteMatches)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Enumerating N entries of which none matches the files' names but all are
// listed: the snapshot, the sort and the matching.
void BM_EnumerateMatches(benchmark::State& state) {
    fs::path dir = make_dir("enum");
    fill(dir, static_cast<int>(state.range(0)));
    std::string pattern = (dir / "FILE*.TMP").string();
    for (auto _ : state) {
        ov::find_data entry{};
        ov::handle find = ov::sys.find_first_file(pattern.c_str(), &entry);
        int count = find != nullptr;
        while (find != nullptr && ov::sys.find_next_file(find, &entry)) ++count;
        if (find != nullptr) ov::sys.find_close(find);
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    fs::remove_all(dir);
}
BENCHMARK(BM_EnumerateMatches)->Arg(1000)->Unit(benchmark::kMicrosecond);

// A message when no logger runs: one failed open of the mapping.
void BM_MessageWithoutLogger(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ov::diag::DebugMsg("%s", "File Not Found: x.tmp"));
}
BENCHMARK(BM_MessageWithoutLogger);

// A whole handoff to a running ovlogger: claim, write, notify, acknowledge.
void BM_MessageToLogger(benchmark::State& state) {
    char dir[4096];
    if (!ov::executable_directory(dir, sizeof dir)) {
        state.SkipWithError("cannot find the build directory");
        return;
    }
    std::string logger = std::string(dir) + "ovlogger" + OV_EXE_SUFFIX;
    fs::path work = make_dir("logger");
    std::string out = (work / "out").string(), err = (work / "err").string();
    const char* argv[] = {logger.c_str(), nullptr};
    ov::process_options options{argv, out.c_str(), err.c_str(), nullptr};
    ov::handle child = ov::spawn_process(options);
    for (int i = 0; child != nullptr && i < 500; ++i) {
        std::ifstream in(err);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("ready") != std::string::npos) break;
        ov::sleep_ms(10);
    }
    ov::diag::reset_client_for_testing();
    for (auto _ : state)
        if (ov::diag::DebugMsg("%s", "File Read Only or Hidden: b.tmp") != 1) state.SkipWithError("handoff failed");
    int code = 0;
    if (child != nullptr) {
        ov::stop_process(child, false);
        ov::wait_process(child, 5000, &code);
        ov::close_process(child);
    }
    fs::remove_all(work);
}
BENCHMARK(BM_MessageToLogger)->Unit(benchmark::kMicrosecond);

}  // namespace

// The run's messages go to logger objects and a WIN.INI of its own, so that
// a logger the user runs never sees them and the user's profile plays no
// part; both are removed at the end.
int main(int argc, char** argv) {
    std::string name = "bench-gb-" + std::to_string(ov::current_process_id());
    fs::path config = fs::temp_directory_path() / ("ovdelete-bench-config-" + std::to_string(ov::current_process_id()));
    fs::create_directories(config);
    setenv("OVDELETE_NAMESPACE", name.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    char place[4096];
    std::error_code ignored;
    if (ov::object_place(place, sizeof place)) fs::remove_all(place, ignored);
    fs::remove_all(config, ignored);
    return 0;
}
