// tools/democa/Owners.h — owners for the OpenSSL objects the demo CA creates, and the outcome of each step.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace democa {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

template <typename T, void (*Free)(T*)>
struct OsslDeleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, OsslDeleter<T, Free>>;

using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = OsslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using BignumPtr = OsslPtr<BIGNUM, BN_free>;
using EcdsaSigPtr = OsslPtr<ECDSA_SIG, ECDSA_SIG_free>;
using X509Ptr = OsslPtr<X509, X509_free>;
using X509NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;
using X509ExtPtr = OsslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using Asn1IntegerPtr = OsslPtr<ASN1_INTEGER, ASN1_INTEGER_free>;
using ParamBldPtr = OsslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = OsslPtr<OSSL_PARAM, OSSL_PARAM_free>;
using BioPtr = OsslPtr<BIO, BIO_free_all>;

// Bytes OpenSSL allocated with OPENSSL_malloc (i2d_* output).
struct OsslBytesDeleter {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using OsslBytesPtr = std::unique_ptr<unsigned char, OsslBytesDeleter>;

// Exit codes of the tool; a step's outcome carries one with its message.
enum ExitCode : int { kExitOk = 0, kExitBadInput = 1, kExitUsage = 2, kExitInternal = 3 };

struct Status {
    int exitCode = kExitOk;
    std::string message;

    bool Ok() const { return exitCode == kExitOk; }
    static Status Success() { return {}; }
    static Status BadInput(std::string why) { return {kExitBadInput, std::move(why)}; }
    static Status Usage(std::string why) { return {kExitUsage, std::move(why)}; }
    static Status Internal(std::string why) { return {kExitInternal, std::move(why)}; }
};

// The queued OpenSSL errors as one line (and the queue emptied), for internal-error messages.
std::string OpenSslErrors();
// An internal failure of an OpenSSL call: what was attempted and what OpenSSL says.
Status OpenSslFailure(const std::string& what);

// DER of an object through its i2d function; empty when encoding fails.
template <typename T>
Bytes DerOf(const T* object, int (*encode)(const T*, unsigned char**))
{
    unsigned char* raw = nullptr;
    const int length = encode(object, &raw);
    if (length <= 0) return {};
    OsslBytesPtr owner(raw);
    return Bytes(raw, raw + length);
}

}  // namespace democa
