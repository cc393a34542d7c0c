// tools/democa/Serve.cpp — HTTP on the loopback interface through cpp-httplib. POST /issue takes the form
// fields "request" and "format" (optional) and answers the JSON object the issue command prints, or
// {"error": text} with 400 for a bad request and 500 for the authority's own failure.
// The login answers HTTPS only to a client whose certificate chains to the RSA hierarchy: without one, or with
// another authority's, the handshake itself fails (OpenSSL's "certificate required" or "unknown CA" alert), so
// no page is ever served to a stranger. GET / greets the certificate's subject.
#include "Serve.h"

#include <iostream>
#include <thread>

#include <httplib.h>
#include <openssl/ssl.h>

namespace democa {

namespace {

constexpr size_t kMaxBodyBytes = 1 << 20;

void Answer(httplib::Response& response, int status, const nlohmann::json& body)
{
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json");
}

using StorePtr = OsslPtr<X509_STORE, X509_STORE_free>;

// The login's own certificate: a new key each run, issued by the issuing CA for localhost and 127.0.0.1.
struct LoginIdentity {
    PkeyPtr key;
    X509Ptr cert;
};

Status MakeLoginIdentity(const CaHierarchy& ca, LoginIdentity& identity)
{
    if (Status s = GenerateKey(KeyType::Rsa, identity.key); !s.Ok()) return s;
    X509NamePtr name(X509_NAME_new());
    const auto add = [&name](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1;
    };
    if (!name || !add("C", "CN") || !add("O", "Brindlemark Demo Bank") || !add("CN", "localhost"))
        return OpenSslFailure("login server name");
    return IssueCertificate(ca, name.get(), identity.key.get(), CertProfile::Server, identity.cert);
}

// TLS 1.2 or later; the server's chain up to the issuing CA; clients must present a certificate that chains
// to the root, and are told which issuer to pick theirs from.
bool SetUpLoginTls(SSL_CTX& ctx, const CaHierarchy& ca, const LoginIdentity& identity)
{
    StorePtr store(X509_STORE_new());
    if (!store || X509_STORE_add_cert(store.get(), ca.root.get()) != 1 ||
        X509_STORE_add_cert(store.get(), ca.ca.get()) != 1)
        return false;
    if (SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(&ctx, identity.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(&ctx, identity.key.get()) != 1 || SSL_CTX_check_private_key(&ctx) != 1 ||
        SSL_CTX_add1_chain_cert(&ctx, ca.ca.get()) != 1 || SSL_CTX_add_client_CA(&ctx, ca.ca.get()) != 1)
        return false;
    SSL_CTX_set_cert_store(&ctx, store.release());  // the context owns it from here
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

std::string HtmlEscaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

void Greet(const httplib::Request& request, httplib::Response& response)
{
    response.set_header("Cache-Control", "no-store");
    X509Ptr peer(request.ssl ? SSL_get1_peer_certificate(request.ssl) : nullptr);
    if (!peer) {  // the handshake demands one; kept for a connection that somehow has none
        response.status = 403;
        response.set_content("<!doctype html><title>Refused</title><h1>No client certificate</h1>\n",
                             "text/html; charset=utf-8");
        return;
    }
    const std::string subject = HtmlEscaped(NameText(X509_get_subject_name(peer.get())));
    const std::string issuer = HtmlEscaped(NameText(X509_get_issuer_name(peer.get())));
    response.set_content("<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Brindlemark Demo Bank</title>"
                         "</head>\n<body>\n<h1 id=\"greeting\">Welcome, " + subject + "</h1>\n"
                         "<p>Signed in with certificate <code id=\"serial\">" + SerialHex(peer.get()) +
                         "</code> issued by <span id=\"issuer\">" + issuer + "</span>.</p>\n</body></html>\n",
                         "text/html; charset=utf-8");
}

}  // namespace

Status Serve(const ServeOptions& options, const IssueFunction& issue)
{
    httplib::Server server;
    server.set_payload_max_length(kMaxBodyBytes);
    if (!options.pageDir.empty() && !server.set_mount_point("/", options.pageDir.string()))
        return Status::Usage("the page folder " + options.pageDir.string() + " cannot be served");

    server.Post("/issue", [&issue](const httplib::Request& request, httplib::Response& response) {
        if (!request.has_param("request")) {
            Answer(response, 400, {{"error", "the form field \"request\" is missing"}});
            return;
        }
        nlohmann::json result = nlohmann::json::object();
        const std::string format = request.has_param("format") ? request.get_param_value("format") : "";
        const Status status = issue(request.get_param_value("request"), format, result);
        if (!status.Ok()) {
            Answer(response, status.exitCode == kExitInternal ? 500 : 400, {{"error", status.message}});
            return;
        }
        Answer(response, 200, result);
    });
    server.Get("/health", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port(options.bind.c_str());
        if (port <= 0) return Status::Internal("cannot listen on " + options.bind);
    } else if (!server.bind_to_port(options.bind.c_str(), port)) {
        return Status::Internal("cannot listen on " + options.bind + ":" + std::to_string(port));
    }

    if (!options.loginCa) return Status::Internal("the login needs the RSA hierarchy");
    LoginIdentity identity;
    if (Status s = MakeLoginIdentity(*options.loginCa, identity); !s.Ok()) return s;
    httplib::SSLServer login([&options, &identity](SSL_CTX& ctx) {
        return SetUpLoginTls(ctx, *options.loginCa, identity);
    });
    if (!login.is_valid()) return OpenSslFailure("the login's TLS set-up");
    login.Get("/", Greet);
    int loginPort = options.loginPort;
    if (loginPort == 0) {
        loginPort = login.bind_to_any_port(options.bind.c_str());
        if (loginPort <= 0) return Status::Internal("cannot listen on " + options.bind + " for the login");
    } else if (!login.bind_to_port(options.bind.c_str(), loginPort)) {
        return Status::Internal("cannot listen on " + options.bind + ":" + std::to_string(loginPort));
    }

    std::cout << "listening on http://" << options.bind << ":" << port << "/" << std::endl;
    std::cout << "login on https://" << options.bind << ":" << loginPort << "/" << std::endl;
    std::thread loginThread([&login] { login.listen_after_bind(); });
    const bool served = server.listen_after_bind();
    login.stop();
    loginThread.join();
    if (!served) return Status::Internal("the server stopped");
    return Status::Success();
}

}  // namespace democa
