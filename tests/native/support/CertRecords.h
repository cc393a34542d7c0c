// Certificate records as the page reads them from "QORA_GetAllCertInfo", written here from the
// certificates with OpenSSL alone: subject;serial;valid-from;valid-to;CSP name, records joined by "||".
#pragma once
#include <string>
#include <vector>

#include "support/DerWalker.h"
#include "support/OsslOwners.h"

namespace bm {

using X509Ptr = OsslPtr<X509, X509_free>;

// Exactly one DER certificate, else null.
X509Ptr X509FromDer(ByteView der);
X509Ptr X509FromBase64(const std::string& base64);

// The subject as the platform's X.500 rendering writes it: attributes in encoded order joined by ", ",
// short names (CN, O, OU, C, S for the state, E for the mail address...), a value holding one of
// , + = " < > # ; a line break or an outer space in double quotes, with its quotes doubled.
std::string PlatformSubject(const X509* cert);
// The serial number's content octets in lower-case hex, a leading zero byte kept.
std::string SerialHex(const X509* cert);
// A certificate time moved by offsetSeconds (the local zone's offset from UTC), as "YYYY-MM-DD hh:mm:ss".
std::string ShiftedTime(const ASN1_TIME* time, long offsetSeconds);
// Dotted identifier of the certificate's signature algorithm.
std::string SignatureAlgorithmOid(const X509* cert);

// One record: subject;serial;valid-from;valid-to;csp, times at offsetSeconds from UTC.
std::string CertificateRecord(const X509* cert, const std::string& csp, long offsetSeconds);
// Records joined by "||", nothing at either end.
std::string JoinRecords(const std::vector<std::string>& records);

}  // namespace bm
