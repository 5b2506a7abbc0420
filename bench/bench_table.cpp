// Turns the benchmark programs' JSON into one table of ratios: every figure
// next to the floor measured in the same run, medians over the repetitions.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Result {
    double medianNs = -1;
    double medianCpuNs = -1;  // the calling process only, children not counted
    std::map<std::string, double> counters;  // user counters of the median
    std::string error;
};

std::map<std::string, Result> g_results;

// "BM_WarmWalk_Ours/100/repeats:15/real_time" -> "BM_WarmWalk_Ours/100"
std::string Key(const std::string& runName) {
    std::string key;
    std::stringstream parts(runName);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.find(':') != std::string::npos || part == "real_time" || part == "manual_time") {
            continue;
        }
        key += key.empty() ? part : "/" + part;
    }
    return key;
}

double ToNs(double value, const std::string& unit) {
    if (unit == "us") return value * 1e3;
    if (unit == "ms") return value * 1e6;
    if (unit == "s") return value * 1e9;
    return value;
}

void LoadBenchmarks(const std::string& file) {
    std::ifstream in(file);
    if (!in) {
        return;
    }
    nlohmann::json document;
    try {
        in >> document;
    } catch (const std::exception&) {
        return;
    }
    for (const auto& entry : document.value("benchmarks", nlohmann::json::array())) {
        const std::string key = Key(entry.value("run_name", entry.value("name", "")));
        Result& result = g_results[key];
        if (entry.value("error_occurred", false)) {
            result.error = entry.value("error_message", "error");
            continue;
        }
        if (entry.value("run_type", "") == "aggregate" &&
            entry.value("aggregate_name", "") == "median") {
            result.medianNs = ToNs(entry.value("real_time", -1.0), entry.value("time_unit", "ns"));
            result.medianCpuNs = ToNs(entry.value("cpu_time", -1.0), entry.value("time_unit", "ns"));
            for (const char* counter :
                 {"pair_ratio", "ours_ns", "base_ns", "floor_ratio", "floor_ns"}) {
                if (entry.contains(counter)) {
                    result.counters[counter] = entry.value(counter, -1.0);
                }
            }
        }
    }
}

std::string Time(double ns) {
    char text[32];
    if (ns < 0) return "n/a";
    if (ns < 1e3) std::snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 1e6) std::snprintf(text, sizeof text, "%.1f µs", ns / 1e3);
    else std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    return text;
}

double Median(const std::string& key) {
    const auto found = g_results.find(key);
    if (found == g_results.end() || !found->second.error.empty()) return -1;
    return found->second.medianNs;
}

double MedianCpu(const std::string& key) {
    const auto found = g_results.find(key);
    if (found == g_results.end() || !found->second.error.empty()) return -1;
    return found->second.medianCpuNs;
}

int g_missed = 0;
int g_unmeasured = 0;

void Row(const std::string& figure, const std::string& ours, const std::string& base,
         const std::string& ratio, const std::string& goal, const std::string& met) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", figure.c_str(), ours.c_str(), base.c_str(),
                ratio.c_str(), goal.c_str(), met.c_str());
}

std::string Ratio(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

void RatioRow(const std::string& figure, double ours, double base, double goal) {
    if (ours < 0 || base <= 0) {
        ++g_unmeasured;
        Row(figure, Time(ours), Time(base), "n/a", "<= " + Ratio(goal).substr(0, 4), "n/a");
        return;
    }
    const double ratio = ours / base;
    const bool met = ratio <= goal;
    g_missed += met ? 0 : 1;
    char goalText[16];
    std::snprintf(goalText, sizeof goalText, "<= %.2f", goal);
    Row(figure, Time(ours), Time(base), Ratio(ratio), goalText, met ? "yes" : "NO");
}

// A figure against a fixed bound rather than a baseline.
void BoundRow(const std::string& figure, double ours, double boundNs) {
    const std::string goal = "<= " + Time(boundNs);
    if (ours < 0) {
        ++g_unmeasured;
        Row(figure, "n/a", "-", "n/a", goal, "n/a");
        return;
    }
    const bool met = ours <= boundNs;
    g_missed += met ? 0 : 1;
    Row(figure, Time(ours), "-", Ratio(ours / boundNs) + " of the bound", goal, met ? "yes" : "NO");
}

double Counter(const std::string& key, const char* counter) {
    const auto found = g_results.find(key);
    if (found == g_results.end() || !found->second.error.empty()) return -1;
    const auto value = found->second.counters.find(counter);
    return value == found->second.counters.end() ? -1 : value->second;
}

void AnchorRow(const std::string& figure, double anchor, double base) {
    Row(figure, Time(anchor), Time(base),
        anchor < 0 || base <= 0 ? "n/a" : Ratio(anchor / base), "anchor", "-");
}

// The platform report: as a whole process against systemd-detect-virt, and
// the call itself against fixed bounds.
void ReportRows() {
    const char* figure =
        "`vmdetect --report --no-network` process vs systemd-detect-virt (median of alternating rounds)";
    const double ratio = Counter("BM_ReportPairs", "pair_ratio");
    const double base = Counter("BM_ReportPairs", "base_ns");
    if (ratio < 0) {
        ++g_unmeasured;
        Row(figure, "n/a", "n/a", "n/a", "<= 0.30", "n/a");
    } else {
        g_missed += ratio <= 0.3 ? 0 : 1;
        Row(figure, Time(Counter("BM_ReportPairs", "ours_ns")), Time(base), Ratio(ratio),
            "<= 0.30", ratio <= 0.3 ? "yes" : "NO");
    }
    // Any process start costs this much: the row above cannot go below it.
    const double floor = Counter("BM_ReportPairs", "floor_ratio");
    Row("(floor: `/bin/true` process vs systemd-detect-virt, same rounds)",
        Time(Counter("BM_ReportPairs", "floor_ns")), Time(base),
        floor < 0 ? "n/a" : Ratio(floor), "context", "-");
    const double replay = Counter("BM_ReplayPair", "pair_ratio");
    g_missed += replay < 0 || replay <= 1.1 ? 0 : 1;
    Row("`vmdetect --evidence DIR --report` of this machine's collection vs its live `--report --no-network`",
        Time(Counter("BM_ReplayPair", "ours_ns")), Time(Counter("BM_ReplayPair", "base_ns")),
        replay < 0 ? "n/a" : Ratio(replay), "<= 1.10", replay < 0 ? "n/a" : replay <= 1.1 ? "yes" : "NO");
    BoundRow("`vmdetect_report` without network, warm", Median("BM_Report_Warm"), 5e3);
    BoundRow("`vmdetect_report` without network, first call (evidence read)",
             Median("BM_Report_First"), 200e3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MEMORY.json BENCH.json...\n", argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        LoadBenchmarks(argv[i]);
    }

    std::printf("| figure | ours | baseline | ratio | goal | met? |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const int n : {100, 1000, 10000}) {
        char figure[64];
        std::snprintf(figure, sizeof figure, "warm walk, N=%s",
                      n == 100 ? "100" : n == 1000 ? "1,000" : "10,000");
        RatioRow(figure, Median("BM_WarmWalk_Ours/" + std::to_string(n)),
                 Median("BM_WarmWalk_Bare/" + std::to_string(n)), 1.2);
    }
    {
        // Linear: the cost per process grows from N=1,000 to N=10,000 no
        // more than the floor's own (the file system's) does.
        const double big = Median("BM_WarmWalk_Ours/10000");
        const double small = Median("BM_WarmWalk_Ours/1000");
        const double bareBig = Median("BM_WarmWalk_Bare/10000");
        const double bareSmall = Median("BM_WarmWalk_Bare/1000");
        const char* figure = "warm walk growth per entry, N=1,000 to 10,000, vs the floor's";
        if (big < 0 || small <= 0 || bareBig < 0 || bareSmall <= 0) {
            ++g_unmeasured;
            Row(figure, "n/a", "n/a", "n/a", "<= 1.20", "n/a");
        } else {
            const double ours = (big / 10000) / (small / 1000);
            const double floor = (bareBig / 10000) / (bareSmall / 1000);
            const double ratio = ours / floor;
            g_missed += ratio <= 1.2 ? 0 : 1;
            Row(figure, "x" + Ratio(ours) + " (" + Time(small / 1000) + " to " + Time(big / 10000) + ")",
                "x" + Ratio(floor), Ratio(ratio), "<= 1.20 (linear)", ratio <= 1.2 ? "yes" : "NO");
        }
    }
    RatioRow("runner `ZtProcess::system(\"true\")` vs posix_spawn+waitpid",
             Median("BM_Runner_Ours"), Median("BM_Runner_Bare"), 1.15);
    RatioRow("runner under a 4 GiB caller vs without", Median("BM_RunnerLarge_Ours"),
             Median("BM_Runner_Ours"), 1.1);
    {
        // What posix_spawn itself pays for the same caller, for reading the row above.
        const double big = Median("BM_RunnerLarge_Bare");
        const double small = Median("BM_Runner_Bare");
        Row("(floor: bare posix_spawn under a 4 GiB caller vs without)", Time(big), Time(small),
            big < 0 || small <= 0 ? "n/a" : Ratio(big / small), "context", "-");
    }
    RatioRow("first fill (five lines) vs bare posix_spawn", Median("BM_FirstFill_Ours"),
             Median("BM_FirstFill_Bare"), 1.15);
    RatioRow("metadata request, ZTLibCurl vs bare libcurl", Median("BM_Metadata_Ours"),
             Median("BM_Metadata_Bare"), 1.2);
    RatioRow("cold cloud identity on a loopback EC2 vs the same three requests bare",
             Median("BM_CloudCold_Ours"), Median("BM_CloudCold_Bare"), 1.3);
    Row("(then each warm call: the kept answer)", Time(Median("BM_CloudWarm_Ours")), "-", "-",
        "context", "-");
    RatioRow("cold cloud identity on a loopback IBM Cloud VPC (token demanded) vs the same two "
             "requests bare",
             Median("BM_CloudColdIbm_Ours"), Median("BM_CloudColdIbm_Bare"), 1.3);
    RatioRow("five DetectHypervisor calls, QEMU guest, silent Oracle address: "
             "nProbeCacheSeconds=300 vs without (1.5 s vs 5 s)",
             Median("BM_QemuFiveCalls/300"), Median("BM_QemuFiveCalls/0"), 0.3);
    RatioRow("whole CLI vs five-line program", Median("BM_Cli_Ours"), Median("BM_Cli_Bare"), 1.3);
    ReportRows();
    AnchorRow("anchor: systemd-detect-virt vs five-line program",
              Median("BM_Anchor_systemd-detect-virt"), Median("BM_Cli_Bare"));
    AnchorRow("anchor: virt-what vs five-line program", Median("BM_Anchor_virt-what"),
              Median("BM_Cli_Bare"));

    std::ifstream memoryFile(argv[1]);
    nlohmann::json memory;
    bool haveMemory = false;
    if (memoryFile) {
        try {
            memoryFile >> memory;
            haveMemory = memory.contains("rss_after_kib");
        } catch (const std::exception&) {
        }
    }
    if (haveMemory) {
        const long before = memory["rss_before_kib"].get<long>();
        const long after = memory["rss_after_kib"].get<long>();
        const long loaded = memory["rss_loaded_kib"].get<long>();
        const double added = static_cast<double>(after - before) / 1024.0;
        char ours[64], base[64], ratio[64];
        std::snprintf(ours, sizeof ours, "%ld KiB (+%.2f MiB; load alone +%.2f MiB)", after, added,
                      static_cast<double>(loaded - before) / 1024.0);
        std::snprintf(base, sizeof base, "%ld KiB", before);
        std::snprintf(ratio, sizeof ratio, "%.3f", static_cast<double>(after) / before);
        const bool met = added < 2.0;
        g_missed += met ? 0 : 1;
        Row("memory: RSS after load + 10,000 warm calls vs before load", ours, base, ratio,
            "< 2 MiB added", met ? "yes" : "NO");
        const long curl = memory.value("rss_curl_kib", -1L);
        if (curl >= 0) {
            char share[96], rest[96];
            std::snprintf(share, sizeof share, "+%.2f MiB", static_cast<double>(curl - after) / 1024.0);
            std::snprintf(rest, sizeof rest, "%ld KiB", after);
            Row("(then libcurl, loaded by the first metadata request)", share, rest, "-",
                "context", "-");
        }
    } else {
        ++g_unmeasured;
        Row("memory: RSS after load + 10,000 warm calls vs before load", "n/a", "n/a", "n/a",
            "< 2 MiB added", "n/a");
    }
    // Where a child process is started, wall time mostly waits for the
    // child and swings with the machine's load; the caller's own CPU time
    // shows what the library itself spends around it.
    std::printf("\nCPU time of the calling process alone (diagnostic, no goal):\n\n");
    std::printf("| figure | ours | baseline | ratio |\n|---|---|---|---|\n");
    const struct {
        const char* figure;
        const char* ours;
        const char* base;
    } cpuRows[] = {
        {"runner vs posix_spawn+waitpid", "BM_Runner_Ours", "BM_Runner_Bare"},
        {"runner under a 4 GiB caller vs without", "BM_RunnerLarge_Ours", "BM_Runner_Ours"},
        {"(floor under a 4 GiB caller vs without)", "BM_RunnerLarge_Bare", "BM_Runner_Bare"},
        {"first fill vs bare posix_spawn", "BM_FirstFill_Ours", "BM_FirstFill_Bare"},
    };
    for (const auto& row : cpuRows) {
        const double ours = MedianCpu(row.ours);
        const double base = MedianCpu(row.base);
        std::printf("| %s | %s | %s | %s |\n", row.figure, Time(ours).c_str(), Time(base).c_str(),
                    ours < 0 || base <= 0 ? "n/a" : Ratio(ours / base).c_str());
    }
    std::printf("\n%s: %d missed, %d not measured\n",
                g_missed == 0 && g_unmeasured == 0 ? "every goal met" : "goals", g_missed,
                g_unmeasured);
    return 0;
}
