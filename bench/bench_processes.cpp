// Whole programs timed as processes: the vmdetect tool against a program
// that runs only its five firmware command lines, with systemd-detect-virt
// and virt-what beside them as anchors.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// The report as a whole process against systemd-detect-virt, on the real
// machine: run in pairs, the order alternating, so that both see the same
// load; the figure is the median of the pairs' ratios.
void ReportPairs(benchmark::State& state, const std::string& cli, const std::string& anchor) {
    const std::vector<std::string> ours = {cli, "--report", "--no-network"};
    const std::vector<std::string> theirs = {anchor};
    std::vector<double> oursTimes, theirTimes, ratios;
    bool oursFirst = true;
    for (auto _ : state) {
        const double a = oursFirst ? SecondsOf(ours, g_originalEnvp.data()) : -2;
        const double b = SecondsOf(theirs, g_originalEnvp.data());
        const double o = oursFirst ? a : SecondsOf(ours, g_originalEnvp.data());
        if (o < 0 || b <= 0) {
            state.SkipWithError("the report or the anchor failed");
            return;
        }
        oursTimes.push_back(o);
        theirTimes.push_back(b);
        ratios.push_back(o / b);
        oursFirst = !oursFirst;
    }
    state.counters["pair_ratio"] = Median(ratios);
    state.counters["ours_ns"] = Median(oursTimes) * 1e9;
    state.counters["base_ns"] = Median(theirTimes) * 1e9;
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
    if (!detectVirt.empty()) {
        benchmark::RegisterBenchmark("BM_ReportPairs", [cli, detectVirt](benchmark::State& state) {
            ReportPairs(state, cli, detectVirt);
        })->Iterations(10)->UseRealTime();
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
    return 0;
}
