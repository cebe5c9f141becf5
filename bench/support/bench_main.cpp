// Shared main for the benchmark binaries.
//
// Benchmarks are named "<kernel>:<impl>/<args>", e.g. "conv_u16_f32:kavro/76800"
// and "conv_u16_f32:opencv/76800". After the normal console report this main
// prints, for every kernel and argument set, the ratio of our time to each
// reference's time ("kavro/opencv 0.85" means ours takes 85 % of OpenCV's time).
// With --benchmark_repetitions=N the ratio uses the medians of the runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            // With --benchmark_repetitions the median aggregate is the figure to
            // compare; single iterations count only until it arrives.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const std::string name = run.run_name.str();
            const size_t colon = name.find(':');
            if (colon == std::string::npos) continue;
            const size_t slash = name.find('/', colon);
            const std::string kernel = name.substr(0, colon);
            const std::string impl = name.substr(colon + 1, slash == std::string::npos ? std::string::npos
                                                                                        : slash - colon - 1);
            const std::string args = slash == std::string::npos ? "" : name.substr(slash);
            const std::string key = kernel + args;
            if (median) {
                times_[key][impl] = run.GetAdjustedRealTime();
                medians_.insert(key + "|" + impl);
            } else if (!medians_.count(key + "|" + impl)) {
                times_[key][impl] = run.GetAdjustedRealTime();
            }
        }
    }

    void PrintRatios() const {
        if (times_.empty()) return;
        printf("\n%-48s %-22s %s\n", "kernel/args", "ours/reference", "ratio");
        for (const auto &[key, impls] : times_) {
            const auto ours = impls.find("kavro");
            if (ours == impls.end()) continue;
            for (const auto &[impl, t] : impls) {
                if (impl == "kavro" || t <= 0) continue;
                printf("%-48s %-22s %.3f\n", key.c_str(), ("kavro/" + impl).c_str(), ours->second / t);
            }
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> times_;
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
