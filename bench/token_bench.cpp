// One request-shaped sequence on the SM2 token (acquire a new container, generate both keys, export the
// public keys, sign, release) against a store already holding 0, 1,000 and 10,000 containers. The
// sequences run in bench/win/TokenStoreBench.exe under Wine, which times them itself, so the pipe to
// this program is not in the figures. Target: at 10,000 containers at most twice the empty store's cost,
// judged on the interleaved medians of BM_TokenStoreSizes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "support/HostProcess.h"

using namespace bm;

namespace {

// A TokenStoreBench.exe with its store filled, past its first (unmeasured) sequence, which loads the provider.
bool StartToken(HostProcess& token, long containers, std::string& error)
{
    const std::string exe = WinBuildDir() + "/bench/win/TokenStoreBench.exe";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) {
        error = exe + " is not built";
        return false;
    }
    std::vector<std::string> argv = WineCommand(exe);
    argv.push_back(std::to_string(containers));
    std::string reply;
    if (EnsureWineRunning(error) && token.Start(argv, DefaultHostEnv(), error) &&
        token.Exchange("1", reply, std::chrono::seconds(900), error))
        return true;
    error.append(" ").append(token.StderrText());
    return false;
}

// Seconds one sequence took, as the token program measured it.
bool TimeRequest(HostProcess& token, double& seconds, std::string& error)
{
    std::string reply;
    if (!token.Exchange("1", reply, std::chrono::seconds(300), error)) {
        error.append(" ").append(token.StderrText());
        return false;
    }
    seconds = strtod(reply.c_str(), nullptr) / 1e6;
    return true;
}

double Median(std::vector<double> samples)
{
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

void BM_TokenRequest(benchmark::State& state)
{
    HostProcess token;
    std::string error;
    if (!StartToken(token, static_cast<long>(state.range(0)), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        double seconds = 0;
        if (!TimeRequest(token, seconds, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    double total = 0;
    for (double s : samples) total += s;
    state.counters["request_ms"] = total / static_cast<double>(samples.size()) * 1e3;
    state.counters["request_median_ms"] = Median(samples) * 1e3;
    state.counters["requests_per_s"] = total > 0 ? static_cast<double>(samples.size()) / total : 0;
}
BENCHMARK(BM_TokenRequest)->Arg(0)->Arg(1000)->Arg(10000)->UseManualTime()
    ->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The three store sizes take turns, sequence by sequence, so that all of them meet the same machine (other
// programs on a shared one move single runs by more than the store does); the ratios are of medians.
void BM_TokenStoreSizes(benchmark::State& state)
{
    const long sizes[3] = {0, 1000, 10000};
    HostProcess tokens[3];
    std::string error;
    for (int i = 0; i < 3; ++i) {
        if (!StartToken(tokens[i], sizes[i], error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    std::vector<double> samples[3];
    size_t turn = 0;
    for (auto _ : state) {
        double total = 0;
        for (int k = 0; k < 3; ++k) {
            const size_t i = (turn + static_cast<size_t>(k)) % 3;
            double seconds = 0;
            if (!TimeRequest(tokens[i], seconds, error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            samples[i].push_back(seconds);
            total += seconds;
        }
        ++turn;
        state.SetIterationTime(total);
    }
    const double m0 = Median(samples[0]), m1 = Median(samples[1]), m2 = Median(samples[2]);
    state.counters["empty_median_ms"] = m0 * 1e3;
    state.counters["c1000_median_ms"] = m1 * 1e3;
    state.counters["c10000_median_ms"] = m2 * 1e3;
    state.counters["c1000_to_empty"] = m0 > 0 ? m1 / m0 : 0;
    state.counters["c10000_to_empty"] = m0 > 0 ? m2 / m0 : 0;
}
BENCHMARK(BM_TokenStoreSizes)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(6.0);

}  // namespace

BENCHMARK_MAIN();
