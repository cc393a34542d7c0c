// Whole enrolments per shape through the host under Wine and the demo CA: the time of each stage (the
// request with its key generation, the CA, the imports) and of the whole. Containers are dropped afterwards.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "support/HostSession.h"
#include "support/KeyContainers.h"
#include "support/Tools.h"

using namespace bm;

namespace {

using Clock = std::chrono::steady_clock;

struct Shape {
    const char* algorithm;
    const char* csp;
    int bits;
    int certType;
    const char* format;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string CaDir()
{
    static const std::string dir = CopyOfDemoCa();
    return dir;
}

void BM_Enrolment(benchmark::State& state, Shape s)
{
    double requestMs = 0, caMs = 0, importMs = 0;
    ContainerSweep sweep(s.csp);
    for (auto _ : state) {
        HostSession session;
        std::string request, container;
        HostReply reply;
        ToolRun issued;
        const auto t0 = Clock::now();
        if (!session.Start() || !session.Configure(s.algorithm, s.bits, s.csp) ||
            !session.Request("QORA_PKCS10CertRequisition", s.certType, request, container)) {
            state.SkipWithError("request failed");
            return;
        }
        sweep.Add(container);
        const auto t1 = Clock::now();
        if (!RunDemoca({"issue", "--ca-dir", CaDir(), "--format", s.format}, request, issued) || issued.code != 0) {
            state.SkipWithError("the CA refused");
            return;
        }
        const auto t2 = Clock::now();
        const std::string spec = s.certType == 1 ? "1" : "2";
        bool ok = session.Call("QORA_ImportSignCert",
                               {spec, JsonString(issued.json.value("signCert", "")), JsonString(container)}, reply) &&
                  reply.errorcode == 0;
        if (ok && s.certType == 2)
            ok = session.Call("QORA_ImportEncryptCert",
                              {JsonString(issued.json.value("encryptedPrivateKey", "")),
                               JsonString(issued.json.value("encryptCert", "")), JsonString(container), "0"},
                              reply, kKeyGeneration) &&
                 reply.errorcode == 0;
        if (!ok) {
            state.SkipWithError("import failed");
            return;
        }
        const auto t3 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t3 - t0).count());
        requestMs += Ms(t1 - t0);
        caMs += Ms(t2 - t1);
        importMs += Ms(t3 - t2);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["request_ms"] = requestMs / n;
    state.counters["ca_ms"] = caMs / n;
    state.counters["imports_ms"] = importMs / n;
}

BENCHMARK_CAPTURE(BM_Enrolment, enhanced_single, Shape{"RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 1, "classic"})
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Enrolment, enhanced_double, Shape{"RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 2, "classic"})
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Enrolment, token_rsa2048_extended, Shape{"RSA", "Software RSA Token CSP v1.0", 2048, 2, "ext-rsa"})
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Enrolment, token_sm2_single, Shape{"SM2", "Software SM2 Token CSP v1.0", 0, 1, "ext-sm2"})
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Enrolment, token_sm2_double, Shape{"SM2", "Software SM2 Token CSP v1.0", 0, 2, "ext-sm2"})
    ->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
