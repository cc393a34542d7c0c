// tools/chaindocs/chaindocs.cpp — writes the four chain documents and the withdrawn-certificate lists from the
// demo CA folder. The CA material it makes is kept in the folder, so a second run writes the same bytes.
#include <cstring>
#include <iostream>
#include <string>

#include "Documents.h"

namespace fs = std::filesystem;
using namespace chaindocs;

namespace {

const char kUsage[] =
    "usage: chaindocs --ca-dir DIR --out DIR\n"
    "\n"
    "Writes RsaCertificateChain.xml (resource 208), Sm2CertificateChain.xml (209), TestRsaCertificateChain.xml\n"
    "(210), TestSm2CertificateChain.xml (211) and DiscardedCertificates.inc into --out, and the withdrawn\n"
    "certificates into DIR/discarded. The demo CA's RSA and SM2 hierarchies in --ca-dir (made on first use)\n"
    "take part in the production chains; the further CA certificates are made once under DIR/chains and reused.\n"
    "Exit codes: 0 done, 2 usage, 3 internal error.\n";

Status Run(const fs::path& caDir, const fs::path& outDir)
{
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) return Status::Internal("cannot create " + outDir.string() + ": " + ec.message());
    CaMaterial material;
    if (Status s = material.Open(caDir); !s.Ok()) return s;
    for (const ChainDocumentSpec& doc : ChainDocuments())
        if (Status s = WriteChainDocument(doc, material, outDir); !s.Ok()) return s;
    return WriteDiscardedCertificates(material, caDir, outDir);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string caDir, outDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return democa::kExitOk;
        }
        std::string* target = arg == "--ca-dir" ? &caDir : arg == "--out" ? &outDir : nullptr;
        if (!target || i + 1 == argc || argv[i + 1][0] == '\0' || !target->empty()) {
            std::cerr << "chaindocs: bad argument \"" << arg << "\"\n" << kUsage;
            return democa::kExitUsage;
        }
        *target = argv[++i];
    }
    if (caDir.empty() || outDir.empty()) {
        std::cerr << "chaindocs: --ca-dir and --out are required\n" << kUsage;
        return democa::kExitUsage;
    }
    const Status status = Run(caDir, outDir);
    if (!status.Ok()) std::cerr << "chaindocs: " << status.message << "\n";
    return status.exitCode;
}
