// tools/chaindocs/Documents.h — what the generator writes: the four chain documents (XML with root
// certificates as registry property blobs and a PKCS#7 bundle of intermediates), and the withdrawn
// certificates with the include file of the two removal lists.
#pragma once
#include <filesystem>
#include <string>

#include "Catalogue.h"

namespace chaindocs {

// The value the platform keeps as "Blob" under a root's registry key: elements {id, 1, length, data} for
// ids 3, 4, 15, 20, 25, 92 and, last, 32 (the DER).
democa::Bytes PropertyBlob(X509* cert);

// Base64 in lines of 76 characters, each ended by CR LF.
std::string Base64Lines(democa::ByteView bytes);

// A certificate's name as the platform renders it for the removal filter: the subject in encoded order,
// or the issuer in reverse order; ", " between parts, short attribute names, no quoting.
std::string NameInEncodedOrder(const X509_NAME* name);
std::string NameReversed(const X509_NAME* name);

// Upper-case SHA-1 of the DER: the root's registry key name.
std::string Thumbprint(X509* cert);

Status WriteChainDocument(const ChainDocumentSpec& spec, const CaMaterial& material,
                          const std::filesystem::path& outDir);

// discarded/<list>-<nn>-<kind>.der under caDir, and DiscardedCertificates.inc under outDir, after every
// entry has been checked against its certificate and against every certificate of the current chains.
Status WriteDiscardedCertificates(const CaMaterial& material, const std::filesystem::path& caDir,
                                  const std::filesystem::path& outDir);

}  // namespace chaindocs
