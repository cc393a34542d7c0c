// Owners for the OpenSSL objects the native peer creates, so every path releases what it took.
#pragma once
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

namespace bm {

template <typename T, void (*Free)(T*)>
struct OsslDeleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, OsslDeleter<T, Free>>;

using PkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using BignumPtr = OsslPtr<BIGNUM, BN_free>;
using EcdsaSigPtr = OsslPtr<ECDSA_SIG, ECDSA_SIG_free>;
using EcGroupPtr = OsslPtr<EC_GROUP, EC_GROUP_free>;
using EcPointPtr = OsslPtr<EC_POINT, EC_POINT_free>;
using X509ReqPtr = OsslPtr<X509_REQ, X509_REQ_free>;
using ParamBldPtr = OsslPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = OsslPtr<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace bm
