// tools/inspector/Certificates.h — what the reports say about a certificate.
#pragma once
#include "Report.h"

#include <string>

namespace inspector {

std::string NameText(const CERT_NAME_BLOB* pName);
std::string UtcText(const FILETIME& ft);
Node DescribeCertificate(PCCERT_CONTEXT pCert);
// The key-provider link of a store certificate, or null when it has none.
Node DescribeKeyProvider(PCCERT_CONTEXT pCert);

}  // namespace inspector
