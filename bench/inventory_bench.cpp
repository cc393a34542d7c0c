// "QORA_GetAllCertInfo" through the host under Wine over a personal store of 1,000 and of 10,000
// certificates, half of them linked to a container of the Enhanced provider (the keys need not exist: the
// inventory lists store certificates by their link), next to OpenSSL natively reading the same DER
// certificates into the same fields (subject text, serial hex, both times, signature algorithm) and the
// same records. Targets: the host within 3x of OpenSSL, and linear growth from 1,000 to 10,000.
//
// The store lives in a prefix of this program's own (next to the project's prefix, removed at the end),
// filled by bench/win/PersonalStore.exe. The certificates come from one RSA key, each with its own serial
// (every fourth one with its top bit set, so its DER serial has a leading zero byte) and subject.
#include <benchmark/benchmark.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "support/CertRecords.h"
#include "support/HostProcess.h"
#include "support/Json.h"
#include "support/PersonalStore.h"

using namespace bm;

namespace {

using Clock = std::chrono::steady_clock;

const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char* const kLists[] = {"", kEnhanced};  // benchmark argument 1: the CSP list sent

struct BenchCert {
    Bytes der;
    std::string container;  // empty: no key-provider link
};

double Median(std::vector<double> samples)
{
    if (samples.empty()) return 0;
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

std::string Base64Of(const Bytes& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), static_cast<int>(bytes.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// Certificate i of the set: its own subject and serial, one key and issuer for all.
bool MakeCertificate(EVP_PKEY* key, const X509_NAME* issuer, int i, Bytes& der)
{
    X509Ptr cert(X509_new());
    unsigned char serial[8];
    if (!cert || RAND_bytes(serial, sizeof serial) != 1) return false;
    serial[0] = static_cast<unsigned char>(i % 4 == 0 ? serial[0] | 0x80 : (serial[0] & 0x7F) | 0x01);
    BignumPtr number(BN_bin2bn(serial, sizeof serial, nullptr));
    OsslPtr<X509_NAME, X509_NAME_free> subject(X509_NAME_new());
    // No space in the name: Wine quotes a UTF8String value whose byte at index (characters - 1) of the
    // UTF-16 text is a space, which a space in the middle of an 11-character name is.
    char cn[32];
    snprintf(cn, sizeof cn, "Bench-%05d", i);
    const auto add = [&](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(subject.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1;
    };
    const time_t notBefore = 1704067200 + i;  // 2024-01-01 00:00:00 UTC, a second apart
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) || !subject ||
        !add("C", "CN") || !add("O", "Bench") || !add("CN", cn) || X509_set_version(cert.get(), 2) != 1 ||
        X509_set_subject_name(cert.get(), subject.get()) != 1 || X509_set_issuer_name(cert.get(), issuer) != 1 ||
        !ASN1_TIME_set(X509_getm_notBefore(cert.get()), notBefore) ||
        !ASN1_TIME_set(X509_getm_notAfter(cert.get()), notBefore + 2 * 365 * 86400) ||
        X509_set_pubkey(cert.get(), key) != 1 || X509_sign(cert.get(), key, EVP_sha256()) <= 0)
        return false;
    unsigned char* p = nullptr;
    const int n = i2d_X509(cert.get(), &p);
    if (n <= 0) return false;
    der.assign(p, p + n);
    OPENSSL_free(p);
    return true;
}

// What OpenSSL does for the same store: every certificate read and its fields rendered, the linked ones
// written as records (at UTC, as the host runs here).
std::vector<std::string> OpenSslRecords(const std::vector<BenchCert>& certs, size_t n, size_t& fieldBytes)
{
    std::vector<std::string> records;
    fieldBytes = 0;
    for (size_t i = 0; i < n; ++i) {
        X509Ptr cert = X509FromDer(certs[i].der);
        if (!cert) return {};
        const std::string oid = SignatureAlgorithmOid(cert.get());
        std::string record = CertificateRecord(cert.get(), kEnhanced, 0);
        fieldBytes += oid.size() + record.size();
        if (!certs[i].container.empty()) records.push_back(std::move(record));
    }
    return records;
}

// The bench's prefix, its store filled to a given count, and the certificates it holds in order.
class BenchStore {
public:
    static BenchStore& Get()
    {
        static BenchStore store;
        return store;
    }

    const Env& WineEnv() const { return m_env; }
    const std::vector<BenchCert>& Certificates() const { return m_certs; }

    // The store holds exactly the first n certificates. Sizes come in increasing order (the registration
    // order); only what is missing is added.
    bool FillTo(size_t n, std::string& error)
    {
        if (!Prepare(error) || !StartWineIn(m_env, error)) return false;
        if (n < m_filled) {
            error = "store sizes must grow";
            return false;
        }
        if (!MakeUpTo(n, error)) return false;
        if (n == m_filled) return true;
        const std::string list = m_dir + "/list.txt";
        {
            std::ofstream out(list, std::ios::binary);
            for (size_t i = m_filled; i < n; ++i)
                out << (m_certs[i].container.empty() ? "-" : m_certs[i].container) << ' ' << Base64Of(m_certs[i].der)
                    << '\n';
            if (!out) {
                error = "cannot write " + list;
                return false;
            }
        }
        const auto t0 = Clock::now();
        const bool ok = FillPersonalStore(m_env, list, kEnhanced, error);
        unlink(list.c_str());
        if (!ok) return false;
        fprintf(stderr, "inventory_bench: %zu certificates added in %.1f s\n", n - m_filled,
                std::chrono::duration<double>(Clock::now() - t0).count());
        m_filled = n;
        return true;
    }

    ~BenchStore()
    {
        if (m_dir.empty()) return;
        StopWineIn(m_env);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

private:
    // A new prefix of our own, empty MY included; the one a former run left is removed first.
    bool Prepare(std::string& error)
    {
        if (!m_dir.empty()) return true;
        const std::string dir = std::filesystem::path(WinePrefixDir()).parent_path().string() + "/inventory-bench";
        const Env env = PrefixEnv(dir + "/prefix");
        StopWineIn(env);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            error = "cannot create " + dir + ": " + ec.message();
            return false;
        }
        m_dir = dir;
        m_env = env;
        const auto t0 = Clock::now();
        if (!StartWineIn(m_env, error)) return false;
        fprintf(stderr, "inventory_bench: prefix %s made in %.1f s\n", (dir + "/prefix").c_str(),
                std::chrono::duration<double>(Clock::now() - t0).count());
        return true;
    }

    bool MakeUpTo(size_t n, std::string& error)
    {
        if (!m_key) {
            PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
            EVP_PKEY* key = nullptr;
            if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) <= 0 ||
                EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
                error = "RSA key generation failed";
                return false;
            }
            m_key.reset(key);
            m_issuer.reset(X509_NAME_new());
            if (!m_issuer || X509_NAME_add_entry_by_txt(m_issuer.get(), "CN", MBSTRING_UTF8,
                                                        reinterpret_cast<const unsigned char*>("Inventory Bench CA"), -1,
                                                        -1, 0) != 1) {
                error = "issuer name";
                return false;
            }
        }
        while (m_certs.size() < n) {
            const int i = static_cast<int>(m_certs.size());
            BenchCert cert;
            if (!MakeCertificate(m_key.get(), m_issuer.get(), i, cert.der)) {
                error = "certificate " + std::to_string(i) + " could not be made";
                return false;
            }
            if (i % 2 == 0) cert.container = "bench-container-" + std::to_string(i);
            m_certs.push_back(std::move(cert));
        }
        return true;
    }

    std::string m_dir;
    Env m_env;
    size_t m_filled = 0;
    PkeyPtr m_key;
    OsslPtr<X509_NAME, X509_NAME_free> m_issuer;
    std::vector<BenchCert> m_certs;
};

// The host of this build in the bench's prefix, at UTC so that its times read as OpenSSL's.
bool StartHost(HostProcess& host, std::string& error)
{
    const std::string exe = WinBuildDir() + "/host/BrindlemarkHost.exe";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) {
        error = exe + " is not built";
        return false;
    }
    Env env = BenchStore::Get().WineEnv();
    env.push_back({"TZ", "UTC"});
    return host.Start(WineCommand(exe), env, error);
}

// One inventory call; its records, or false with the reason.
bool Inventory(HostProcess& host, const char* list, std::vector<std::string>& records, std::string& error)
{
    std::string body;
    if (!host.Exchange(HostRequest("QORA_GetAllCertInfo", {JsonString(list)}, "1"), body, std::chrono::seconds(600),
                       error))
        return false;
    HostReply reply;
    if (!ParseHostReply(body, reply, error)) return false;
    if (reply.errorcode != 0 || !reply.ResultIsString()) {
        error = "QORA_GetAllCertInfo answered " + body.substr(0, 200);
        return false;
    }
    const std::string text = reply.ResultText();
    records.clear();
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = std::min(text.find("||", start), text.size());
        records.push_back(text.substr(start, end - start));
    }
    return true;
}

// The host's records must be OpenSSL's, in whatever order the store enumerates them.
bool SameRecords(std::vector<std::string> host, std::vector<std::string> openssl, std::string& error)
{
    std::sort(host.begin(), host.end());
    std::sort(openssl.begin(), openssl.end());
    if (host == openssl) return true;
    error = "the host listed " + std::to_string(host.size()) + " records, OpenSSL wrote " +
            std::to_string(openssl.size());
    for (size_t i = 0; i < std::min(host.size(), openssl.size()); ++i)
        if (host[i] != openssl[i]) {
            error += "; first difference: host \"" + host[i] + "\", OpenSSL \"" + openssl[i] + "\"";
            break;
        }
    return false;
}

// A host ready for timing: store filled, started, its first answer checked against OpenSSL's records.
bool Prepare(benchmark::State& state, HostProcess& host, std::string& error)
{
    const size_t n = static_cast<size_t>(state.range(0));
    if (!BenchStore::Get().FillTo(n, error) || !StartHost(host, error)) return false;
    size_t fieldBytes = 0;
    std::vector<std::string> records;
    return Inventory(host, kLists[state.range(1)], records, error) &&
           SameRecords(records, OpenSslRecords(BenchStore::Get().Certificates(), n, fieldBytes), error);
}

// Host and OpenSSL take turns call by call, so both meet the same machine; the ratio is of medians.
void BM_InventoryHostVersusOpenSsl(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    HostProcess host;
    std::string error;
    if (!Prepare(state, host, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<double> hostSamples, opensslSamples;
    std::vector<std::string> records;
    size_t fieldBytes = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const bool ok = Inventory(host, kLists[state.range(1)], records, error);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(OpenSslRecords(BenchStore::Get().Certificates(), n, fieldBytes));
        const auto t2 = Clock::now();
        if (!ok) {
            state.SkipWithError(error.c_str());
            return;
        }
        hostSamples.push_back(std::chrono::duration<double>(t1 - t0).count());
        opensslSamples.push_back(std::chrono::duration<double>(t2 - t1).count());
        state.SetIterationTime(hostSamples.back());
    }
    const double hostMedian = Median(hostSamples), opensslMedian = Median(opensslSamples);
    state.counters["host_ms"] = hostMedian * 1e3;
    state.counters["openssl_ms"] = opensslMedian * 1e3;
    state.counters["host_to_openssl"] = opensslMedian > 0 ? hostMedian / opensslMedian : 0;
    state.counters["host_us_per_cert"] = hostMedian * 1e6 / static_cast<double>(n);
    state.counters["records"] = static_cast<double>(records.size());
    state.counters["openssl_us_per_cert"] = opensslMedian * 1e6 / static_cast<double>(n);
}

// Where the host's time goes: the platform's steps of the same inventory timed inside Wine by the store
// helper (reading MY, keeping the linked certificates, collecting them in a memory store as the inventory
// does and through a hash set, reading the records' fields).
void BM_InventoryPlatformPhases(benchmark::State& state)
{
    std::string error, json;
    if (!BenchStore::Get().FillTo(static_cast<size_t>(state.range(0)), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Json phases;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!TimePersonalStorePhases(BenchStore::Get().WineEnv(), kEnhanced, json, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        phases = Json::parse(json, nullptr, false);
    }
    if (!phases.is_object()) {
        state.SkipWithError(("unreadable phases: " + json).c_str());
        return;
    }
    for (const auto& [name, value] : phases.items())
        if (value.is_number()) state.counters[name] = value.get<double>();
}

// Sizes grow from one registration to the next: the store is filled once, in two steps.
BENCHMARK(BM_InventoryHostVersusOpenSsl)->Args({1000, 0})->Args({1000, 1})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(BM_InventoryPlatformPhases)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(3);
// Several seconds a call at 10,000: a fixed count of calls, so that the figures are medians of three.
BENCHMARK(BM_InventoryHostVersusOpenSsl)->Args({10000, 0})->Args({10000, 1})
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_InventoryPlatformPhases)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
