// Certification requests through the host, next to the same key generation and signature done natively
// by OpenSSL.
//
// What the host adds to the provider's work (subject, DER, Base64, text conversions, JSON and framing) is
// measured inside real requests: the host runs with its trace file enabled for entry and exit lines only,
// and this program stamps every line the moment it appears (inotify on the file, polled together with the
// host's output pipe). The spans from "ENTER CreatePublicKey" to "EXIT CreatePublicKey" and from
// "ENTER PKCS10CalculateHashandSign" to its exit are the provider's key generation and signing; the rest
// of the round trip, measured from the request leaving here to the answer arriving, is rest_ms. It is an
// upper bound: the trace writes themselves, the wake-ups of this program and the release of the provider
// context (release_ms, shown on its own: a software CSP stores the new key then) are counted in it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>

#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/KeyContainers.h"
#include "support/OsslOwners.h"
#include "support/RequestChecks.h"

using namespace bm;

namespace {

using Clock = std::chrono::steady_clock;

const char kSubject[] = "CN=Alice,OU=Unit,O=Org,C=CN";

struct ProviderCase {
    const char* csp;
    const char* algorithm;
    int bits;
};
const ProviderCase kBaseRsa1024 = {"Microsoft Base Cryptographic Provider v1.0", "RSA", 1024};
const ProviderCase kEnhancedRsa2048 = {"Microsoft Enhanced Cryptographic Provider v1.0", "RSA", 2048};
const ProviderCase kTokenSm2 = {"Software SM2 Token CSP v1.0", "SM2", 256};

class FdOwner {
public:
    explicit FdOwner(int fd = -1) : m_fd(fd) {}
    ~FdOwner()
    {
        if (m_fd >= 0) close(m_fd);
    }
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd)
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Stamps each line appended to a file with the time this program saw it.
class TraceClock {
public:
    ~TraceClock()
    {
        if (!m_path.empty()) unlink(m_path.c_str());
    }

    bool Open(std::string& error)
    {
        char path[] = "/tmp/bm-bench-trace-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            error = "mkstemp failed";
            return false;
        }
        m_path = path;
        m_file.Reset(fd);
        m_inotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (m_inotify.Get() < 0 || inotify_add_watch(m_inotify.Get(), path, IN_MODIFY) < 0) {
            error = "inotify failed";
            return false;
        }
        return true;
    }

    const std::string& Path() const { return m_path; }
    int Fd() const { return m_inotify.Get(); }

    void Drain()
    {
        char events[4096];
        while (read(m_inotify.Get(), events, sizeof(events)) > 0) {
        }
        const auto now = Clock::now();
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(m_file.Get(), buffer, sizeof(buffer));
            if (n <= 0) break;
            m_partial.append(buffer, static_cast<size_t>(n));
        }
        size_t start = 0;
        for (size_t eol; (eol = m_partial.find('\n', start)) != std::string::npos; start = eol + 1)
            m_lines.emplace_back(now, m_partial.substr(start, eol - start));
        m_partial.erase(0, start);
    }

    std::vector<std::pair<Clock::time_point, std::string>> Take()
    {
        std::vector<std::pair<Clock::time_point, std::string>> lines;
        lines.swap(m_lines);
        return lines;
    }

private:
    std::string m_path;
    FdOwner m_file;
    FdOwner m_inotify;
    std::string m_partial;
    std::vector<std::pair<Clock::time_point, std::string>> m_lines;
};

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Sum of the spans from each line ending in `from` to the next line ending in `to`; false when a span is
// left open, or closes after the answer had already arrived.
bool SpanTime(const std::vector<std::pair<Clock::time_point, std::string>>& lines, const std::string& from,
              const std::string& to, Clock::time_point end, double& seconds, int& spans)
{
    bool open = false;
    Clock::time_point since;
    for (const auto& [when, line] : lines) {
        if (!open && EndsWith(line, from)) {
            open = true;
            since = when;
        } else if (open && EndsWith(line, to)) {
            open = false;
            if (when > end) return false;
            seconds += std::chrono::duration<double>(when - since).count();
            ++spans;
        }
    }
    return !open;
}

// Time inside the provider's key generation and signing of one request; false if a span is missing.
bool ProviderTime(const std::vector<std::pair<Clock::time_point, std::string>>& lines, Clock::time_point end,
                  double& seconds)
{
    seconds = 0;
    int spans = 0;
    for (const char* function : {"CreatePublicKey", "PKCS10CalculateHashandSign"})
        if (!SpanTime(lines, std::string(" ENTER ") + function, std::string(" EXIT ") + function, end, seconds, spans))
            return false;
    return spans >= 2;
}

// From the finished request text to the end of the request operation: the buffers are freed and the
// provider context is released, which is when a software CSP writes the new key to its store.
bool ReleaseTime(const std::vector<std::pair<Clock::time_point, std::string>>& lines, Clock::time_point end,
                 double& seconds)
{
    seconds = 0;
    int spans = 0;
    return SpanTime(lines, " EXIT PKCS10RequestBase64", " EXIT PKCS10CertRequisition", end, seconds, spans) &&
           spans == 1;
}

struct HostRun {
    explicit HostRun(const ProviderCase* provider) : sweep(provider->csp) {}
    ContainerSweep sweep;  // declared first: the host has ended before its containers are dropped
    HostProcess host;
};

bool Call(HostProcess& host, const std::string& function, const std::vector<std::string>& params, HostReply& reply,
          std::string& error, int sideFd = -1, const std::function<void()>& onSide = {})
{
    if (!host.WriteFrame(HostRequest(function, params, "7"), error)) return false;
    std::string body;
    if (host.ReadFrame(body, std::chrono::seconds(600), error, 0x100000, sideFd, onSide) !=
        HostProcess::ReadStatus::Frame)
        return false;
    if (!ParseHostReply(body, reply, error)) return false;
    if (reply.errorcode != 0) {
        error = function + " answered errorcode " + std::to_string(reply.errorcode);
        return false;
    }
    return true;
}

void BM_HostRequest(benchmark::State& state, const ProviderCase* provider, bool traced)
{
    HostRun run(provider);
    TraceClock trace;
    std::string error;
    Env env;
    if (traced) {
        if (!trace.Open(error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        env = {{"BRINDLEMARK_TRACE_FILE", trace.Path()}, {"BRINDLEMARK_TRACE_FLAGS", "0x8"}};
    }
    if (!run.host.StartHost(error, env)) {
        state.SkipWithError(error.c_str());
        return;
    }
    HostReply reply;
    if (!Call(run.host, "QORA_SetKeyAlgorithm", {JsonString(provider->algorithm)}, reply, error) ||
        !Call(run.host, "QORA_SetCSPInfo", {std::to_string(provider->bits), JsonString(provider->csp)}, reply, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    RequestExpectation expect;
    expect.algorithm = std::string(provider->algorithm) == "SM2" ? KeyAlgorithm::Sm2 : KeyAlgorithm::Rsa;
    expect.subjectDn = kSubject;
    expect.keyBits = expect.algorithm == KeyAlgorithm::Rsa ? static_cast<unsigned>(provider->bits) : 0;

    double totalSeconds = 0, providerSeconds = 0, releaseSeconds = 0, worstRest = 0;
    size_t traceLines = 0;
    std::vector<double> rests;
    const std::vector<std::string> params = {JsonString(kSubject), "1", "0"};
    for (auto _ : state) {
        if (traced) {
            trace.Drain();
            trace.Take();
        }
        const auto t0 = Clock::now();
        const bool ok = traced ? Call(run.host, "QORA_PKCS10CertRequisition", params, reply, error, trace.Fd(),
                                      [&trace] { trace.Drain(); })
                               : Call(run.host, "QORA_PKCS10CertRequisition", params, reply, error);
        const auto t1 = Clock::now();
        if (!ok || !reply.ResultIsString()) {
            // a provider that is not registered ends here too, with the provider's error code
            const std::string why = std::string(provider->csp) + ": " + error;
            state.SkipWithError(why.c_str());
            return;
        }
        const double total = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(total);
        totalSeconds += total;
        if (traced) {
            trace.Drain();
            const auto lines = trace.Take();
            double inProvider = 0, inRelease = 0;
            if (!ProviderTime(lines, t1, inProvider) || !ReleaseTime(lines, t1, inRelease)) {
                state.SkipWithError("the trace lacks the key generation, signing or release spans");
                return;
            }
            providerSeconds += inProvider;
            releaseSeconds += inRelease;
            traceLines += lines.size();
            worstRest = std::max(worstRest, total - inProvider);
            rests.push_back(total - inProvider);
        }

        // outside the timed part: the request must be a real one, and its container is noted for clean-up
        const std::vector<std::string> failures = CheckRequest(reply.ResultText(), expect);
        if (!failures.empty()) {
            state.SkipWithError(("request refused by the peer: " + failures.front()).c_str());
            return;
        }
        HostReply container;
        if (Call(run.host, "QORA_GetContainer", {}, container, error) && container.ResultIsString())
            run.sweep.Add(container.ResultText());

    }
    const double n = static_cast<double>(state.iterations());
    state.counters["request_ms"] = totalSeconds / n * 1e3;
    if (traced) {
        state.counters["keygen_sign_ms"] = providerSeconds / n * 1e3;
        state.counters["rest_ms"] = (totalSeconds - providerSeconds) / n * 1e3;
        state.counters["rest_max_ms"] = worstRest * 1e3;
        std::sort(rests.begin(), rests.end());
        if (!rests.empty()) state.counters["rest_median_ms"] = rests[rests.size() / 2] * 1e3;
        state.counters["release_ms"] = releaseSeconds / n * 1e3;
        state.counters["trace_lines"] = static_cast<double>(traceLines) / n;
    }
}

BENCHMARK_CAPTURE(BM_HostRequest, rsa1024, &kBaseRsa1024, false)->UseManualTime()->Iterations(20);
BENCHMARK_CAPTURE(BM_HostRequest, rsa1024_traced, &kBaseRsa1024, true)->UseManualTime()->Iterations(20);
BENCHMARK_CAPTURE(BM_HostRequest, rsa2048, &kEnhancedRsa2048, false)->UseManualTime()->Iterations(10);
BENCHMARK_CAPTURE(BM_HostRequest, rsa2048_traced, &kEnhancedRsa2048, true)->UseManualTime()->Iterations(10);
BENCHMARK_CAPTURE(BM_HostRequest, sm2, &kTokenSm2, false)->UseManualTime()->Iterations(20);
BENCHMARK_CAPTURE(BM_HostRequest, sm2_traced, &kTokenSm2, true)->UseManualTime()->Iterations(20);

// The same work natively: a new key pair and one signature over a CertificationRequestInfo-sized body.
void BM_OpenSslKeygenSign(benchmark::State& state, const char* type, size_t bits)
{
    const Bytes body(320, 0x5A);
    const bool sm2 = std::string(type) == "SM2";
    for (auto _ : state) {
        PkeyPtr key(sm2 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2") : EVP_PKEY_Q_keygen(nullptr, nullptr, type, bits));
        PkeyCtxPtr pctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
        MdCtxPtr md(EVP_MD_CTX_new());
        if (!key || !pctx || !md || (sm2 && EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16) <= 0)) {
            state.SkipWithError("OpenSSL key generation failed");
            return;
        }
        EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
        Bytes signature(512);
        size_t n = signature.size();
        if (EVP_DigestSignInit(md.get(), nullptr, sm2 ? EVP_sm3() : EVP_sha1(), nullptr, key.get()) != 1 ||
            EVP_DigestSign(md.get(), signature.data(), &n, body.data(), body.size()) != 1) {
            state.SkipWithError("OpenSSL signing failed");
            return;
        }
        benchmark::DoNotOptimize(signature.data());
    }
}
BENCHMARK_CAPTURE(BM_OpenSslKeygenSign, rsa1024, "RSA", 1024)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_OpenSslKeygenSign, rsa2048, "RSA", 2048)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_OpenSslKeygenSign, sm2, "SM2", 0)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
