// The peer's view of a certification request: decode the text the host returned, take the DER apart with
// our own walker, and check every byte the certificate authority relies on with the system's OpenSSL.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "support/DerWalker.h"

namespace bm {

enum class KeyAlgorithm { Rsa, Sm2 };
enum class RequestHash { Sha1, Md5 };  // RSA only; SM2 requests always use SM3

struct RequestExpectation {
    KeyAlgorithm algorithm = KeyAlgorithm::Rsa;
    RequestHash hash = RequestHash::Sha1;
    bool isDouble = false;
    std::string subjectDn;  // as the page sent it, e.g. "CN=Alice,OU=Unit,O=Org,C=CN"
    unsigned keyBits = 0;   // RSA signing key size; 0 leaves it unchecked
};

// Views into der: moving keeps them valid, copying would not.
struct ParsedRequest {
    ParsedRequest() = default;
    ParsedRequest(const ParsedRequest&) = delete;
    ParsedRequest& operator=(const ParsedRequest&) = delete;
    ParsedRequest(ParsedRequest&&) = default;
    ParsedRequest& operator=(ParsedRequest&&) = default;

    Bytes der;
    ByteView info;                // CertificationRequestInfo, tag and length included
    size_t infoElementCount = 0;  // children of CertificationRequestInfo
    ByteView version;             // INTEGER, whole
    ByteView name;                // Name, whole
    ByteView spki;                // SubjectPublicKeyInfo, whole
    std::string keyAlgorithmOid;
    ByteView keyAlgorithmParams;  // the element after the algorithm identifier, whole
    ByteView publicKeyElement;    // the BIT STRING, whole
    ByteView publicKey;           // its bits after the unused-bits octet
    bool hasAttributes = false;
    ByteView attributes;          // contents of [0]
    ByteView signatureAlgorithm;  // whole
    ByteView signature;           // signature bits after the unused-bits octet
    Bytes temporaryKey;           // filled by CheckAttributes for double requests
};

struct Rdn {
    std::string oid;
    uint8_t tag = 0;
    std::string value;
};

// Base64 in 64-character lines joined by CR LF, nothing else; empty string on success, else the reason.
std::string DecodeRequestText(std::string_view text, Bytes& der);
// The outer structure; empty string on success.
std::string ParseRequest(Bytes der, ParsedRequest& parsed);
// The Name the subject text must encode to, in DER order (the text's last pair first).
std::string ExpectedRdns(std::string_view subjectDn, std::vector<Rdn>& rdns);

// Each check gives an empty string when the request passes, else what is wrong.
std::string CheckSubject(const ParsedRequest& parsed, std::string_view subjectDn);
std::string CheckPublicKeyInfo(const ParsedRequest& parsed, const RequestExpectation& expect);
std::string CheckSignatureAlgorithm(const ParsedRequest& parsed, const RequestExpectation& expect);
std::string CheckAttributes(ParsedRequest& parsed, const RequestExpectation& expect);
// The SM2 signature's INTEGERs: exactly 32 bytes, or 33 with a 00 before a first byte of 0x80 or more.
std::string CheckSm2SignatureEncoding(ByteView signatureBits);
// Verifies the signature over the exact CertificationRequestInfo bytes with the request's own key.
std::string VerifyRequestSignature(const ParsedRequest& parsed, const RequestExpectation& expect);
// OpenSSL's own parser and X509_REQ_verify (RSA single requests; OpenSSL rejects the SET-less attributes).
std::string VerifyWithX509Req(const Bytes& der);

// Everything above; every failure found, each as one line.
std::vector<std::string> CheckRequest(std::string_view text, const RequestExpectation& expect,
                                      ParsedRequest* parsedOut = nullptr);

}  // namespace bm
