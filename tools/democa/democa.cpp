// tools/democa/democa.cpp — the demo certificate authority: takes the agent's certification requests and
// answers with what the page hands back to the agent's import operations.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CaStore.h"
#include "Der.h"
#include "Envelope.h"
#include "Serve.h"

namespace fs = std::filesystem;
using namespace democa;

namespace {

const char kUsage[] =
    "usage: democa issue --ca-dir DIR [--format F] [--request FILE|-] [--out DIR]\n"
    "                    [--encryption-key PEM] [--key-plaintext FILE]\n"
    "       democa ca --ca-dir DIR\n"
    "       democa serve --ca-dir DIR [--page-dir DIR] [--port N] [--login-port N]\n"
    "       democa --help\n"
    "\n"
    "issue  reads a certification request (Base64, as the agent returns it; standard input by default),\n"
    "       verifies it and prints one JSON object: signCert, serial and, for a double request,\n"
    "       encryptCert, encryptedPrivateKey and format. --out DIR also writes sign.der (and encrypt.der and\n"
    "       the encryption key, encrypt-key.pem). --encryption-key certifies and delivers that key instead of a\n"
    "       new one; --key-plaintext encrypts the file's bytes in its place (damaged keys for tests).\n"
    "       F, the encrypted key envelope of a double request: classic (RSA default), ext-rsa,\n"
    "       ext-rsa-nosession, ext-sm2 (SM2 default, C1C3C2), ext-sm2-c1c2c3.\n"
    "ca     prints the CA certificates' files and subjects as JSON.\n"
    "serve  answers HTTP on 127.0.0.1 (port N, or a free one; the first line printed names it): POST /issue\n"
    "       with the form fields request and format answers what issue prints; the page folder is served at /.\n"
    "       It also serves the bank's login over HTTPS on 127.0.0.1 (port N of --login-port, or a free one; the\n"
    "       second line printed names it), with a certificate the RSA issuing CA makes for localhost and\n"
    "       127.0.0.1 at start: a client with a certificate of the RSA hierarchy is greeted by its subject; the\n"
    "       handshake fails for a client with none or with another authority's.\n"
    "The RSA and SM2 CA hierarchies are created in the --ca-dir folder on first use and reused after.\n"
    "Exit codes: 0 done, 1 bad request or input, 2 usage, 3 internal error.\n";

constexpr size_t kMaxRequestBytes = 1 << 20;

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    bool help = false;
};

Status ParseOptions(int argc, char** argv, Options& options)
{
    static const std::map<std::string, std::vector<std::string>> kAllowed = {
        {"issue", {"--ca-dir", "--format", "--request", "--out", "--encryption-key", "--key-plaintext"}},
        {"ca", {"--ca-dir"}},
        {"serve", {"--ca-dir", "--page-dir", "--port", "--login-port"}},
    };
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return Status::Success();
        }
    if (args.empty()) return Status::Usage("no command given");
    options.command = args[0];
    const auto allowed = kAllowed.find(options.command);
    if (allowed == kAllowed.end()) return Status::Usage("unknown command \"" + options.command + "\"");
    for (size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (std::find(allowed->second.begin(), allowed->second.end(), name) == allowed->second.end())
            return Status::Usage("unknown argument \"" + name + "\" for " + options.command);
        if (!value) {
            if (i + 1 == args.size()) return Status::Usage(name + " needs a value");
            value = args[++i];
        }
        if (value->empty()) return Status::Usage(name + " needs a value");
        if (!options.values.emplace(name, *value).second) return Status::Usage(name + " given twice");
    }
    if (!options.values.count("--ca-dir")) return Status::Usage("--ca-dir is required");
    return Status::Success();
}

Status ReadRequestText(const std::string& source, std::string& text)
{
    std::ifstream file;
    std::istream* in = &std::cin;
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) return Status::BadInput("cannot read the request file " + source);
        in = &file;
    }
    text.assign(kMaxRequestBytes + 1, '\0');
    in->read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in->bad()) return Status::BadInput("cannot read the request from " + source);
    text.resize(static_cast<size_t>(in->gcount()));
    if (text.size() > kMaxRequestBytes) return Status::BadInput("the request is larger than 1 MiB");
    return Status::Success();
}

Status WriteDer(const fs::path& path, X509* cert)
{
    const Bytes der = DerOf<X509>(cert, i2d_X509);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    out.close();
    if (der.empty() || !out) return Status::Internal("cannot write " + path.string());
    return Status::Success();
}

std::string CertText(X509* cert) { return Base64Encode(DerOf<X509>(cert, i2d_X509)); }

// What a test hands the CA in place of its own choices: the encryption key, and the bytes to encrypt as it.
struct Overrides {
    std::string encryptionKeyFile;
    std::string keyPlaintextFile;
};

// Issues for one request text; formatName empty means the key type's default. outDir, when not empty, also
// receives the DER certificates and the encryption key.
Status IssueFromText(const fs::path& caDir, const std::string& text, const std::string& formatName,
                     const std::string& outDir, nlohmann::json& result, const Overrides& overrides = {})
{
    std::optional<EnvelopeFormat> format;
    if (!formatName.empty()) {
        EnvelopeFormat parsed;
        if (!ParseEnvelopeFormat(formatName, parsed)) return Status::Usage("unknown format \"" + formatName + "\"");
        format = parsed;
    }
    CertRequest request;
    if (Status s = ReadCertRequest(text, request); !s.Ok()) return s;
    if (format && EnvelopeKeyType(*format) != request.keyType)
        return Status::BadInput(std::string("format ") + EnvelopeFormatName(*format) + " does not fit an " +
                                KeyTypeName(request.keyType) + " request");

    CaHierarchy hierarchy;
    if (Status s = OpenCaHierarchy(caDir, request.keyType, hierarchy); !s.Ok()) return s;
    X509Ptr signCert, encryptCert;
    PkeyPtr encryptionKey;
    if (Status s = IssueCertificate(hierarchy, request.subject.get(), request.publicKey.get(), CertProfile::Signing,
                                    signCert);
        !s.Ok())
        return s;
    result["signCert"] = CertText(signCert.get());
    result["serial"] = SerialHex(signCert.get());

    if (request.IsDouble()) {
        const EnvelopeFormat chosen = format.value_or(DefaultEnvelopeFormat(request.keyType));
        std::string envelope;
        std::optional<Bytes> plaintext;
        if (!overrides.keyPlaintextFile.empty()) {
            std::string bytes;
            if (!ReadFile(overrides.keyPlaintextFile, bytes))
                return Status::BadInput("cannot read the key plaintext " + overrides.keyPlaintextFile);
            plaintext.emplace(bytes.begin(), bytes.end());
        }
        if (!overrides.encryptionKeyFile.empty()) {
            if (Status s = LoadKey(overrides.encryptionKeyFile, request.keyType, encryptionKey); !s.Ok())
                return Status::BadInput(s.message);
        } else if (Status s = GenerateEncryptionKey(request.keyType, request.keyBits, encryptionKey); !s.Ok()) {
            // the client imports the key at its own key length, which is the signing key's
            return s;
        }
        if (Status s = IssueCertificate(hierarchy, request.subject.get(), encryptionKey.get(), CertProfile::Encryption,
                                        encryptCert);
            !s.Ok())
            return s;
        if (Status s = BuildEnvelope(chosen, request.temporaryKey.get(), encryptionKey.get(), envelope,
                                     plaintext ? &*plaintext : nullptr);
            !s.Ok())
            return s;
        result["encryptCert"] = CertText(encryptCert.get());
        result["encryptedPrivateKey"] = envelope;
        result["format"] = EnvelopeFormatName(chosen);
    }

    if (!outDir.empty()) {
        std::error_code ec;
        fs::create_directories(outDir, ec);
        if (ec) return Status::Internal("cannot create " + outDir + ": " + ec.message());
        if (Status s = WriteDer(fs::path(outDir) / "sign.der", signCert.get()); !s.Ok()) return s;
        if (encryptCert) {
            if (Status s = WriteDer(fs::path(outDir) / "encrypt.der", encryptCert.get()); !s.Ok()) return s;
            if (Status s = WriteKey(fs::path(outDir) / "encrypt-key.pem", encryptionKey.get()); !s.Ok())
                return s;
        }
    }
    return Status::Success();
}

std::string OptionOr(const Options& options, const char* name, const std::string& fallback)
{
    const auto it = options.values.find(name);
    return it == options.values.end() ? fallback : it->second;
}

Status Issue(const Options& options, nlohmann::json& result)
{
    std::string text;
    if (Status s = ReadRequestText(OptionOr(options, "--request", "-"), text); !s.Ok()) return s;
    const Overrides overrides{OptionOr(options, "--encryption-key", ""), OptionOr(options, "--key-plaintext", "")};
    return IssueFromText(options.values.at("--ca-dir"), text, OptionOr(options, "--format", ""),
                         OptionOr(options, "--out", ""), result, overrides);
}

Status PortOption(const Options& options, const char* name, int& port)
{
    const std::string text = OptionOr(options, name, "0");
    if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 5 || std::stoi(text) > 65535)
        return Status::Usage(std::string(name) + " takes a number from 0 to 65535");
    port = std::stoi(text);
    return Status::Success();
}

Status RunServer(const Options& options)
{
    ServeOptions serve;
    serve.pageDir = OptionOr(options, "--page-dir", "");
    if (Status s = PortOption(options, "--port", serve.port); !s.Ok()) return s;
    if (Status s = PortOption(options, "--login-port", serve.loginPort); !s.Ok()) return s;
    const fs::path caDir = options.values.at("--ca-dir");
    CaHierarchy rsa;
    if (Status s = OpenCaHierarchy(caDir, KeyType::Rsa, rsa); !s.Ok()) return s;
    serve.loginCa = &rsa;
    return Serve(serve, [&caDir](const std::string& text, const std::string& format, nlohmann::json& result) {
        return IssueFromText(caDir, text, format, "", result);
    });
}

nlohmann::json CertEntry(X509* cert, const fs::path& der, const fs::path& pem, const fs::path& key)
{
    return {{"der", der.string()}, {"pem", pem.string()}, {"key", key.string()},
            {"subject", NameText(X509_get_subject_name(cert))}};
}

Status ShowCa(const Options& options, nlohmann::json& result)
{
    for (KeyType type : {KeyType::Rsa, KeyType::Sm2}) {
        CaHierarchy h;
        if (Status s = OpenCaHierarchy(options.values.at("--ca-dir"), type, h); !s.Ok()) return s;
        result[type == KeyType::Rsa ? "rsa" : "sm2"] = {
            {"root", CertEntry(h.root.get(), h.rootDer, h.rootPem, h.rootKey)},
            {"intermediate", CertEntry(h.ca.get(), h.caDer, h.caPem, h.caKeyFile)}};
    }
    return Status::Success();
}

int Run(int argc, char** argv)
{
    Options options;
    Status status = ParseOptions(argc, argv, options);
    if (status.Ok() && options.help) {
        std::cout << kUsage;
        return kExitOk;
    }
    nlohmann::json result = nlohmann::json::object();
    if (status.Ok() && options.command == "serve") status = RunServer(options);
    else if (status.Ok()) status = options.command == "issue" ? Issue(options, result) : ShowCa(options, result);
    if (!status.Ok()) {
        std::cerr << "democa: " << status.message << "\n";
        if (status.exitCode == kExitUsage) std::cerr << kUsage;
        return status.exitCode;
    }
    if (options.command == "serve") return kExitOk;
    std::cout << result.dump() << "\n" << std::flush;
    return std::cout ? kExitOk : kExitInternal;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "democa: internal error: " << e.what() << "\n";
    }
    return kExitInternal;
}
