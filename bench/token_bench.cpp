// One request-shaped sequence on the SM2 token (acquire a new container, generate both keys, export the
// public keys, sign, release) against a store already holding 0, 1,000 and 10,000 containers. The
// sequences run in bench/win/TokenStoreBench.exe under Wine, which times them itself, so the pipe to
// this program is not in the figures. Target: at 10,000 containers at most twice the empty store's cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "support/HostProcess.h"

using namespace bm;

namespace {

void BM_TokenRequest(benchmark::State& state)
{
    const std::string exe = WinBuildDir() + "/bench/win/TokenStoreBench.exe";
    struct stat st;
    std::string error, reply;
    if (stat(exe.c_str(), &st) != 0) {
        state.SkipWithError((exe + " is not built").c_str());
        return;
    }
    HostProcess token;
    std::vector<std::string> argv = WineCommand(exe);
    argv.push_back(std::to_string(state.range(0)));
    // Filling the store and the first sequence (which loads the provider) are not measured.
    if (!EnsureWineRunning(error) || !token.Start(argv, DefaultHostEnv(), error) ||
        !token.Exchange("1", reply, std::chrono::seconds(900), error)) {
        state.SkipWithError((error + " " + token.StderrText()).c_str());
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        if (!token.Exchange("1", reply, std::chrono::seconds(300), error)) {
            state.SkipWithError((error + " " + token.StderrText()).c_str());
            return;
        }
        const double seconds = strtod(reply.c_str(), nullptr) / 1e6;
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    double total = 0;
    for (double s : samples) total += s;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    state.counters["request_ms"] = total / static_cast<double>(samples.size()) * 1e3;
    state.counters["request_median_ms"] = samples[samples.size() / 2] * 1e3;
    state.counters["requests_per_s"] = total > 0 ? static_cast<double>(samples.size()) / total : 0;
}
BENCHMARK(BM_TokenRequest)->ArgName("containers")->Arg(0)->Arg(1000)->Arg(10000)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
