// Round trips per second over one pipe connection: the host answering QORA_GetVersion, next to the
// minimal echo program built and run the same way. The interleaved pair reports the ratio.
#include <algorithm>
#include <vector>
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include "support/HostProcess.h"

using namespace bm;

namespace {

const char kVersionRequest[] = R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})";
const char kVersionAnswer[] = R"({"function":"QORA_GetVersion","errorcode":0,"result":"3.2.0.4","randomId":"7"})";

enum class Peer { Host, Echo };

bool StartPeer(HostProcess& process, Peer peer, std::string& error)
{
    const std::string exe =
        WinBuildDir() + (peer == Peer::Host ? "/host/BrindlemarkHost.exe" : "/bench/win/EchoHost.exe");
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) {
        error = exe + " is not built";
        return false;
    }
    if (!EnsureWineRunning(error)) return false;
    // both through Wine in the same prefix; the host through its own script, as a browser would start it
    return peer == Peer::Host ? process.StartHost(error) : process.Start(WineCommand(exe), DefaultHostEnv(), error);
}

// One request, one answer; the answer must be the version answer, or the round trip did not count.
bool RoundTrip(HostProcess& process, std::string& reply, std::string& error)
{
    if (!process.Exchange(kVersionRequest, reply, std::chrono::seconds(30), error)) return false;
    if (reply != kVersionAnswer) {
        error = "unexpected answer: " + reply.substr(0, 200);
        return false;
    }
    return true;
}

void BM_RoundTrip(benchmark::State& state, Peer peer)
{
    HostProcess process;
    std::string error, reply;
    if (!StartPeer(process, peer, error) || !RoundTrip(process, reply, error)) {  // the first one warms up
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        if (!RoundTrip(process, reply, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["round_trips_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                             benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_RoundTrip, host, Peer::Host)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_RoundTrip, echo, Peer::Echo)->UseRealTime()->MinTime(2.0);

// Host and echo alternate round trip by round trip, so both see the same machine; the time of the
// benchmark is the host's, and host_to_echo is the ratio of the two means (target: at most 1.5).
void BM_HostVersusEcho(benchmark::State& state)
{
    HostProcess host, echo;
    std::string error, reply;
    if (!StartPeer(host, Peer::Host, error) || !StartPeer(echo, Peer::Echo, error) ||
        !RoundTrip(host, reply, error) || !RoundTrip(echo, reply, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    using Clock = std::chrono::steady_clock;
    double hostSeconds = 0, echoSeconds = 0;
    std::vector<double> hostSamples, echoSamples;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const bool hostOk = RoundTrip(host, reply, error);
        const auto t1 = Clock::now();
        const bool echoOk = hostOk && RoundTrip(echo, reply, error);
        const auto t2 = Clock::now();
        if (!hostOk || !echoOk) {
            state.SkipWithError(error.c_str());
            return;
        }
        hostSeconds += std::chrono::duration<double>(t1 - t0).count();
        echoSeconds += std::chrono::duration<double>(t2 - t1).count();
        hostSamples.push_back(std::chrono::duration<double>(t1 - t0).count());
        echoSamples.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["host_us"] = hostSeconds / n * 1e6;
    state.counters["echo_us"] = echoSeconds / n * 1e6;
    state.counters["host_to_echo"] = echoSeconds > 0 ? hostSeconds / echoSeconds : 0;
    // Scheduling of the two Wine processes on few cores makes the means jump between runs; medians hold.
    auto median = [](std::vector<double>& samples) {
        if (samples.empty()) return 0.0;
        std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
        return samples[samples.size() / 2];
    };
    const double hostMedian = median(hostSamples), echoMedian = median(echoSamples);
    state.counters["host_median_us"] = hostMedian * 1e6;
    state.counters["echo_median_us"] = echoMedian * 1e6;
    state.counters["host_to_echo_median"] = echoMedian > 0 ? hostMedian / echoMedian : 0;
}
BENCHMARK(BM_HostVersusEcho)->UseManualTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
