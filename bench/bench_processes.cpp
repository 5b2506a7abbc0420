// Whole programs timed as processes: the vmdetect tool against a program
// that runs only its five firmware command lines, with systemd-detect-virt
// and virt-what beside them as anchors.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"

extern char** environ;

namespace {

// The environment as the bench started, for the anchors: they run the real
// tools, not the fakes.
std::vector<std::string> g_originalEnv;
std::vector<char*> g_originalEnvp;

void KeepOriginalEnvironment() {
    for (char** entry = environ; *entry != nullptr; ++entry) {
        g_originalEnv.emplace_back(*entry);
    }
    for (std::string& entry : g_originalEnv) {
        g_originalEnvp.push_back(&entry[0]);
    }
    g_originalEnvp.push_back(nullptr);
}

std::string FindProgram(const char* name) {
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

void TimeProgram(benchmark::State& state, const std::string& path, bool fakes,
                 bool mustSucceed) {
    char* const* envp = fakes ? environ : g_originalEnvp.data();
    const std::vector<std::string> argv = {path};
    for (auto _ : state) {
        const int status = bench::SpawnAndWait(argv, envp);
        if (status < 0 || (mustSucceed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))) {
            state.SkipWithError(("failed: " + path).c_str());
            break;
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

double SecondsOf(const std::vector<std::string>& argv, char* const* envp) {
    const auto start = std::chrono::steady_clock::now();
    const int status = bench::SpawnAndWait(argv, envp);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status < 0 || !WIFEXITED(status) ? -1 : seconds;
}

// Whole programs in rounds, the order reversing each round, so that all see
// the same load: each program's time per round, or false when one failed.
bool Rounds(benchmark::State& state, const std::vector<std::vector<std::string>>& programs,
            std::vector<std::vector<double>>& times) {
    times.assign(programs.size(), {});
    bool forward = true;
    for (auto _ : state) {
        for (std::size_t k = 0; k < programs.size(); ++k) {
            const std::size_t i = forward ? k : programs.size() - 1 - k;
            const double seconds = SecondsOf(programs[i], g_originalEnvp.data());
            if (seconds <= 0) {
                state.SkipWithError(("failed: " + programs[i][0]).c_str());
                return false;
            }
            times[i].push_back(seconds);
        }
        forward = !forward;
    }
    return true;
}

// The median of the rounds' ratios of program `a` to program `b`.
double RatioOf(const std::vector<std::vector<double>>& times, std::size_t a, std::size_t b) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < times[a].size(); ++r) ratios.push_back(times[a][r] / times[b][r]);
    return Median(ratios);
}

// The report as a whole process against systemd-detect-virt, on the real
// machine, with /bin/true beside them as the floor of any process start;
// the figures are the medians of the rounds' ratios.
void ReportPairs(benchmark::State& state, const std::string& cli, const std::string& anchor,
                 const std::string& floor) {
    std::vector<std::vector<double>> times;
    if (!Rounds(state, {{cli, "--report", "--no-network"}, {anchor}, {floor}}, times)) {
        return;
    }
    state.counters["pair_ratio"] = RatioOf(times, 0, 1);
    state.counters["floor_ratio"] = RatioOf(times, 2, 1);
    state.counters["ours_ns"] = Median(times[0]) * 1e9;
    state.counters["base_ns"] = Median(times[1]) * 1e9;
    state.counters["floor_ns"] = Median(times[2]) * 1e9;
}

// This machine's own collection replayed against the live report of the
// same machine, both whole processes.
void ReplayPair(benchmark::State& state, const std::string& cli, const std::string& collection) {
    std::vector<std::vector<double>> times;
    if (!Rounds(state, {{cli, "--evidence", collection, "--report"}, {cli, "--report", "--no-network"}}, times)) {
        return;
    }
    state.counters["pair_ratio"] = RatioOf(times, 0, 1);
    state.counters["ours_ns"] = Median(times[0]) * 1e9;
    state.counters["base_ns"] = Median(times[1]) * 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    KeepOriginalEnvironment();
    bench::UseFakeEnvironment(VMDETECT_BENCH_FAKES, VMDETECT_BENCH_DATA);
    bench::EmptyDir emptyProc;
    ::setenv("HOST_PROC", emptyProc.path().c_str(), 1);

    const std::string cli = VMDETECT_BENCH_CLI;
    const std::string five = VMDETECT_BENCH_FIVE;
    benchmark::RegisterBenchmark("BM_Cli_Ours", [cli](benchmark::State& state) {
        TimeProgram(state, cli, true, true);
    })->Iterations(3)->UseRealTime();
    benchmark::RegisterBenchmark("BM_Cli_Bare", [five](benchmark::State& state) {
        TimeProgram(state, five, true, true);
    })->Iterations(3)->UseRealTime();
    const std::string detectVirt = FindProgram("systemd-detect-virt");
    const std::string floor = FindProgram("true");
    if (!detectVirt.empty() && !floor.empty()) {
        benchmark::RegisterBenchmark("BM_ReportPairs", [cli, detectVirt, floor](benchmark::State& state) {
            ReportPairs(state, cli, detectVirt, floor);
        })->Iterations(10)->UseRealTime();
    }
    bench::EmptyDir scratch;
    const std::string collection = scratch.path() + "/evidence";
    if (bench::SpawnAndWait({cli, "--collect", collection}, g_originalEnvp.data()) == 0) {
        benchmark::RegisterBenchmark("BM_ReplayPair", [cli, collection](benchmark::State& state) {
            ReplayPair(state, cli, collection);
        })->Iterations(20)->UseRealTime();
    }
    for (const char* anchor : {"systemd-detect-virt", "virt-what"}) {
        const std::string path = FindProgram(anchor);
        if (path.empty()) {
            continue;
        }
        benchmark::RegisterBenchmark((std::string("BM_Anchor_") + anchor).c_str(),
                                     [path](benchmark::State& state) {
                                         TimeProgram(state, path, false, false);
                                     })
            ->Iterations(3)
            ->UseRealTime();
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(collection);
    return 0;
}
