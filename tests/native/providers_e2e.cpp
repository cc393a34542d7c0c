// The stand-in tokens seen from outside: tokenprobe.exe signs through CryptoAPI under Wine, and the
// system's OpenSSL (a separate build from the tokens' cross-built copy) checks what it printed.
#include <gtest/gtest.h>

#include "support/HostProcess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace {

using Bytes = std::vector<unsigned char>;

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

using bm::WinBuildDir;

std::string Hex(const Bytes& b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char x : b) s += {digits[x >> 4], digits[x & 15]};
    return s;
}

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Reversed(Bytes::const_iterator first, Bytes::const_iterator last)
{
    Bytes out(first, last);
    return Bytes(out.rbegin(), out.rend());
}

// Runs tokenprobe under Wine with its output in a file (a pipe could be inherited by Wine's services
// and never close); gives the "NAME hex" lines it printed.
bool RunProbe(const std::string& args, std::map<std::string, Bytes>& lines, std::string& error)
{
    std::string exe = WinBuildDir() + "/providers/tokenprobe.exe";
    struct stat st;
    if (stat(exe.c_str(), &st) != 0) return error = exe + " is not built", false;
    char outName[] = "/tmp/tokenprobe-XXXXXX";
    int fd = mkstemp(outName);
    if (fd < 0) return error = "no temporary file", false;
    close(fd);
    std::string cmd = "env -u DISPLAY";
    for (const auto& [name, value] : bm::DefaultHostEnv()) cmd += " " + name + "='" + value + "'";
    cmd += " '" + bm::WineCommand(exe)[0] + "' '" + exe + "' " + args + " </dev/null >" + outName + " 2>&1";
    int rc = system(cmd.c_str());
    std::ifstream in(outName);
    std::string line, all;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        all += line + "\n";
        size_t space = line.find(' ');
        if (space != std::string::npos) lines[line.substr(0, space)] = FromHex(line.substr(space + 1));
    }
    unlink(outName);
    if (rc != 0) return error = "tokenprobe failed (" + std::to_string(rc) + "): " + all, false;
    return true;
}

Owned<EVP_PKEY> Sm2PublicKey(const Bytes& blob)
{
    if (blob.size() != 140) return {};
    Bytes point{0x04};
    Bytes x = Reversed(blob.begin() + 12, blob.begin() + 44), y = Reversed(blob.begin() + 76, blob.begin() + 108);
    point.insert(point.end(), x.begin(), x.end());
    point.insert(point.end(), y.begin(), y.end());
    Owned<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* p = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &p, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return {};
    return Owned<EVP_PKEY>(p);
}

// r || s little-endian halves as the token returns them, checked over ZA and the data.
bool Sm2Verifies(EVP_PKEY* pub, const Bytes& data, const Bytes& sig)
{
    if (sig.size() != 64) return false;
    Bytes r = Reversed(sig.begin(), sig.begin() + 32), s = Reversed(sig.begin() + 32, sig.end());
    Owned<ECDSA_SIG> ecsig(ECDSA_SIG_new());
    ECDSA_SIG_set0(ecsig.get(), BN_bin2bn(r.data(), 32, nullptr), BN_bin2bn(s.data(), 32, nullptr));
    unsigned char* der = nullptr;
    int cbDer = i2d_ECDSA_SIG(ecsig.get(), &der);
    Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
    Owned<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pub, nullptr));
    EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16);
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    bool ok = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, pub) == 1 &&
              EVP_DigestVerify(md.get(), der, static_cast<size_t>(cbDer), data.data(), data.size()) == 1;
    OPENSSL_free(der);
    return ok;
}

Bytes RandomData(size_t cb)
{
    Bytes data(cb);
    RAND_bytes(data.data(), static_cast<int>(cb));
    return data;
}

}  // namespace

TEST(ProvidersE2E, Sm2SignatureVerifiesWithTheSystemOpenSsl)
{
    Bytes data = RandomData(300);
    std::map<std::string, Bytes> out;
    std::string error;
    ASSERT_TRUE(RunProbe("sm2 " + Hex(data), out, error)) << error;
    Owned<EVP_PKEY> pub = Sm2PublicKey(out["PUB"]);
    ASSERT_TRUE(pub) << "the exported blob is not a point on the SM2 curve";
    const Bytes& sig = out["SIG"];
    // A point decoded from the blob differently from the token's own key would fail here.
    EXPECT_TRUE(Sm2Verifies(pub.get(), data, sig));
    Bytes tampered = sig;
    tampered[5] ^= 0x01;
    EXPECT_FALSE(Sm2Verifies(pub.get(), data, tampered));
    Bytes otherData = data;
    otherData.back() ^= 0x01;
    EXPECT_FALSE(Sm2Verifies(pub.get(), otherData, sig));
}

TEST(ProvidersE2E, RsaSignatureVerifiesWithThePublicKeyInfoItExported)
{
    Bytes data = RandomData(100);
    std::map<std::string, Bytes> out;
    std::string error;
    ASSERT_TRUE(RunProbe("rsa 2048 " + Hex(data), out, error)) << error;
    const Bytes& spki = out["SPKI"];
    const unsigned char* p = spki.data();
    Owned<EVP_PKEY> pub(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    ASSERT_TRUE(pub) << "no SubjectPublicKeyInfo";
    EXPECT_EQ(p, spki.data() + spki.size());
    EXPECT_EQ(EVP_PKEY_RSA, EVP_PKEY_get_base_id(pub.get()));
    EXPECT_EQ(2048, EVP_PKEY_get_bits(pub.get()));
    Bytes sig = Reversed(out["SIG"].begin(), out["SIG"].end());
    auto verifies = [&](const Bytes& msg, const Bytes& s) {
        Owned<EVP_MD_CTX> md(EVP_MD_CTX_new());
        return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha1(), nullptr, pub.get()) == 1 &&
               EVP_DigestVerify(md.get(), s.data(), s.size(), msg.data(), msg.size()) == 1;
    };
    EXPECT_TRUE(verifies(data, sig));
    Bytes tampered = sig;
    tampered[100] ^= 0x01;
    EXPECT_FALSE(verifies(data, tampered));
}
