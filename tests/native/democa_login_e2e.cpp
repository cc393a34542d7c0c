// tests/native/democa_login_e2e.cpp — the demo bank's login as a browser meets it: `democa serve` is started,
// and a TLS client of our own connects with and without certificates. Only a certificate that chains to the
// demo CA's RSA hierarchy is greeted; everything else fails in the handshake or its first read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "support/HostProcess.h"
#include "support/OsslOwners.h"
#include "support/Tools.h"

using namespace bm;

namespace {

using X509Ptr = OsslPtr<X509, X509_free>;
using SslCtxPtr = OsslPtr<SSL_CTX, SSL_CTX_free>;
using SslPtr = OsslPtr<SSL, SSL_free>;
void FreeCertStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }  // the certificates stay their owners'
using CertStackPtr = OsslPtr<STACK_OF(X509), FreeCertStack>;

PkeyPtr NewRsaKey()
{
    return PkeyPtr(EVP_RSA_gen(2048));
}

X509Ptr LoadPem(const std::string& path)
{
    OsslPtr<BIO, BIO_free_all> bio(BIO_new_file(path.c_str(), "r"));
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

PkeyPtr LoadKey(const std::string& path)
{
    OsslPtr<BIO, BIO_free_all> bio(BIO_new_file(path.c_str(), "r"));
    return PkeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// A client certificate for key, issued by issuer (null: self-signed), valid for a day.
X509Ptr MakeCert(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey)
{
    X509Ptr cert(X509_new());
    uint8_t serial[8];
    RAND_bytes(serial, sizeof(serial));
    serial[0] &= 0x7F;
    BignumPtr number(BN_bin2bn(serial, sizeof(serial), nullptr));
    X509_set_version(cert.get(), X509_VERSION_3);
    BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get()));
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Brindlemark Demo Bank"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key);
    if (X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) <= 0) return nullptr;
    return cert;
}

struct Outcome {
    bool handshake = false;    // the handshake completed on our side
    std::string response;      // whatever came back for GET /
    X509Ptr serverCert;
};

// One connection: TLS between minVersion and maxVersion, the client certificate if given, GET /.
Outcome Visit(int port, X509* cert, EVP_PKEY* key, int minVersion = TLS1_2_VERSION, int maxVersion = 0)
{
    Outcome outcome;
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_min_proto_version(ctx.get(), minVersion);
    if (maxVersion != 0) SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
    SSL_CTX_set_security_level(ctx.get(), 0);  // lets the old-protocol case reach the server's own refusal
    if (cert) {
        SSL_CTX_use_certificate(ctx.get(), cert);
        SSL_CTX_use_PrivateKey(ctx.get(), key);
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (fd >= 0) close(fd);
        return outcome;
    }
    SslPtr ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd);
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    outcome.handshake = SSL_connect(ssl.get()) == 1;
    if (outcome.handshake) {
        outcome.serverCert.reset(SSL_get1_peer_certificate(ssl.get()));
        const std::string get = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        SSL_write(ssl.get(), get.data(), static_cast<int>(get.size()));
        char buffer[4096];
        for (int n; (n = SSL_read(ssl.get(), buffer, sizeof(buffer))) > 0;) outcome.response.append(buffer, n);
    }
    ERR_clear_error();
    SSL_shutdown(ssl.get());
    close(fd);
    return outcome;
}

class Login : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_caDir = CopyOfDemoCa();
        ASSERT_FALSE(s_caDir.empty());
        std::string error, line;
        ASSERT_TRUE(s_server.Start({BM_DEMOCA, "serve", "--ca-dir", s_caDir, "--port", "0"}, {}, error)) << error;
        ASSERT_TRUE(s_server.ReadLine(line, std::chrono::seconds(30), error)) << error;
        ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
        ASSERT_TRUE(s_server.ReadLine(line, std::chrono::seconds(30), error)) << error << s_server.StderrText();
        const std::string prefix = "login on https://127.0.0.1:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        s_port = std::stoi(line.substr(prefix.size()));
    }
    static void TearDownTestSuite()
    {
        int code = 0;
        s_server.CloseInput();
        s_server.Wait(code, std::chrono::milliseconds(1));  // kills the server's group
        std::filesystem::remove_all(std::filesystem::path(s_caDir).parent_path());
    }

    static inline HostProcess s_server;
    static inline std::string s_caDir;
    static inline int s_port = 0;
};

TEST_F(Login, GreetsOnlyHoldersOfTheDemoCasCertificates)
{
    X509Ptr issuing = LoadPem(s_caDir + "/rsa-ca.pem");
    PkeyPtr issuingKey = LoadKey(s_caDir + "/rsa-ca.key.pem");
    X509Ptr sm2Issuing = LoadPem(s_caDir + "/sm2-ca.pem");
    ASSERT_TRUE(issuing && issuingKey && sm2Issuing);
    PkeyPtr key = NewRsaKey();
    X509Ptr customer = MakeCert(key.get(), "Login Customer", issuing.get(), issuingKey.get());
    X509Ptr stranger = MakeCert(key.get(), "Login Stranger", nullptr, nullptr);
    // the SM2 issuing CA's name on a certificate it never signed: a name is not a chain
    X509Ptr forged = MakeCert(key.get(), "Login Forger", sm2Issuing.get(), key.get());
    X509Ptr namedLikeTheCa = MakeCert(key.get(), "Login Impostor", issuing.get(), key.get());
    ASSERT_TRUE(customer && stranger && forged && namedLikeTheCa);

    struct Case {
        const char* label;
        X509* cert;
        int maxVersion;
        bool greeted;
    };
    const Case cases[] = {
        {"demo CA certificate, TLS 1.3", customer.get(), 0, true},
        {"demo CA certificate, TLS 1.2", customer.get(), TLS1_2_VERSION, true},
        {"no certificate, TLS 1.3", nullptr, 0, false},
        {"no certificate, TLS 1.2", nullptr, TLS1_2_VERSION, false},
        {"self-signed certificate", stranger.get(), 0, false},
        {"another hierarchy's issuer name", forged.get(), 0, false},
        {"the issuing CA's name, not its signature", namedLikeTheCa.get(), 0, false},
        {"demo CA certificate, TLS 1.1", customer.get(), TLS1_1_VERSION, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Outcome outcome = Visit(s_port, c.cert, c.cert ? key.get() : nullptr,
                                      c.maxVersion == TLS1_1_VERSION ? TLS1_VERSION : TLS1_2_VERSION, c.maxVersion);
        const bool greeted = outcome.response.rfind("HTTP/1.1 200", 0) == 0 &&
                             outcome.response.find("<h1 id=\"greeting\">Welcome, CN=Login Customer,O=Brindlemark "
                                                   "Demo Bank</h1>") != std::string::npos;
        EXPECT_EQ(greeted, c.greeted) << outcome.response;
        if (!c.greeted) {
            EXPECT_EQ(outcome.response, "") << "a refused client sees no page at all";
        }
    }
}

TEST_F(Login, ServerCertificateChainsToTheDemoRootForLocalhost)
{
    X509Ptr root = LoadPem(s_caDir + "/rsa-root.pem");
    X509Ptr issuing = LoadPem(s_caDir + "/rsa-ca.pem");
    PkeyPtr issuingKey = LoadKey(s_caDir + "/rsa-ca.key.pem");
    PkeyPtr key = NewRsaKey();
    X509Ptr customer = MakeCert(key.get(), "Login Customer", issuing.get(), issuingKey.get());
    const Outcome outcome = Visit(s_port, customer.get(), key.get());
    ASSERT_TRUE(outcome.handshake && outcome.serverCert);
    X509* server = outcome.serverCert.get();

    OsslPtr<X509_STORE, X509_STORE_free> store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), root.get());
    CertStackPtr chain(sk_X509_new_null());
    sk_X509_push(chain.get(), issuing.get());
    OsslPtr<X509_STORE_CTX, X509_STORE_CTX_free> verify(X509_STORE_CTX_new());
    X509_STORE_CTX_init(verify.get(), store.get(), server, chain.get());
    X509_STORE_CTX_set_purpose(verify.get(), X509_PURPOSE_SSL_SERVER);
    EXPECT_EQ(X509_verify_cert(verify.get()), 1)
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(verify.get()));
    EXPECT_EQ(X509_check_host(server, "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(server, "127.0.0.1", 0), 1);
    EXPECT_NE(X509_check_host(server, "bank.example", 0, 0, nullptr), 1);
}

}  // namespace
