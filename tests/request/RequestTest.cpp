// PKCS#10 requests built in the Microsoft software providers (and the SM2 token CSP when it is installed):
// Base64 lines, element structure, keys bound to the container, and the signature checked by CryptoAPI.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "request/CertificateRequisition.h"
#include "request/PKCS10Request.h"
#include "trace/Trace.h"

#include <chrono>
#include <fstream>
#include <sstream>

using reqtest::Children;
using reqtest::ContainerSweeper;
using reqtest::Der;
using reqtest::Hex;
using reqtest::MicrosoftProviders;
using reqtest::ProviderCase;
using reqtest::ReadDer;
using reqtest::ToHex;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const WCHAR kSM2CSP[] = TEXT("Software SM2 Token CSP v1.0");
const char kCNtest[] = "30 0F 31 0D 30 0B 06 03 55 04 03 0C 04 74 65 73 74";

// The request text: lines of 64 characters joined by CR LF, the last one shorter or equal, no CR LF at
// the end; decoded by the platform, not by the code under test.
ByteBuffer DecodeRequestText(const std::string& strRequest)
{
    EXPECT_FALSE(strRequest.empty());
    size_t pos = 0;
    for (;;) {
        size_t end = strRequest.find("\r\n", pos);
        std::string line = strRequest.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        if (end == std::string::npos) {
            EXPECT_GT(line.size(), 0u);
            EXPECT_LE(line.size(), 64u);
            break;
        }
        EXPECT_EQ(line.size(), 64u) << "line at " << pos;
        pos = end + 2;
    }
    DWORD cb = 0;
    EXPECT_TRUE(CryptStringToBinaryA(strRequest.c_str(), static_cast<DWORD>(strRequest.size()), CRYPT_STRING_BASE64,
                                     nullptr, &cb, nullptr, nullptr));
    ByteBuffer vec(cb);
    EXPECT_TRUE(CryptStringToBinaryA(strRequest.c_str(), static_cast<DWORD>(strRequest.size()), CRYPT_STRING_BASE64,
                                     vec.data(), &cb, nullptr, nullptr));
    vec.resize(cb);
    return vec;
}

// The parts of a decoded request; every element checked for its tag on the way.
struct Request {
    Der info, version, subject, spki, attributes, signAlgorithm, signature;
    size_t nInfoElements = 0;
};

Request Dissect(const ByteBuffer& vecDer)
{
    Request r;
    Der top = ReadDer(vecDer);
    EXPECT_TRUE(top.ok);
    EXPECT_EQ(top.whole.size(), vecDer.size());
    EXPECT_EQ(top.tag, 0x30);
    std::vector<Der> parts = Children(top);
    EXPECT_EQ(parts.size(), 3u);
    if (parts.size() != 3) return r;
    r.info = parts[0];
    r.signAlgorithm = parts[1];
    r.signature = parts[2];
    EXPECT_EQ(r.info.tag, 0x30);
    EXPECT_EQ(r.signAlgorithm.tag, 0x30);
    EXPECT_EQ(r.signature.tag, 0x03);
    std::vector<Der> info = Children(r.info);
    r.nInfoElements = info.size();
    if (info.size() < 3) {
        ADD_FAILURE() << "CertificationRequestInfo has " << info.size() << " elements";
        return r;
    }
    r.version = info[0];
    r.subject = info[1];
    r.spki = info[2];
    if (info.size() > 3) r.attributes = info[3];
    return r;
}

// The DER RSAPublicKey inside a SubjectPublicKeyInfo, and its modulus length through the platform decoder.
DWORD RsaBits(const ByteBuffer& vecRsaPublicKey)
{
    BYTE rgbBlob[1200] = {};
    DWORD cb = sizeof(rgbBlob);
    if (!CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, vecRsaPublicKey.data(),
                           static_cast<DWORD>(vecRsaPublicKey.size()), 0, rgbBlob, &cb))
        return 0;
    return reinterpret_cast<const RSAPUBKEY*>(rgbBlob + sizeof(BLOBHEADER))->bitlen;
}

ByteBuffer BitStringBytes(const Der& bits)
{
    if (bits.contents.empty() || bits.contents[0] != 0) return {};
    return ByteBuffer(bits.contents.begin() + 1, bits.contents.end());
}

// The public key of one key spec in the container, as an encoded SubjectPublicKeyInfo.
ByteBuffer ContainerKeyInfo(const WString& wstrContainer, const ProviderCase& p, DWORD dwKeySpec)
{
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), wstrContainer.c_str(), p.pwszName, p.dwType, 0)) return {};
    DWORD cb = 0;
    if (!CryptExportPublicKeyInfo(hProv.get(), dwKeySpec, kEncoding, nullptr, &cb)) return {};
    ByteBuffer vecInfo(cb);
    CERT_PUBLIC_KEY_INFO* pInfo = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(vecInfo.data());
    if (!CryptExportPublicKeyInfo(hProv.get(), dwKeySpec, kEncoding, pInfo, &cb)) return {};
    DWORD cbEncoded = 0;
    CryptEncodeObject(kEncoding, X509_PUBLIC_KEY_INFO, pInfo, nullptr, &cbEncoded);
    ByteBuffer vecEncoded(cbEncoded);
    if (!CryptEncodeObject(kEncoding, X509_PUBLIC_KEY_INFO, pInfo, vecEncoded.data(), &cbEncoded)) return {};
    vecEncoded.resize(cbEncoded);
    return vecEncoded;
}

// Verifies the request's signature with the request's own public key, in a separate verification context.
bool VerifyWithCryptoApi(const Request& r, ALG_ID algHash, bool bTamper)
{
    CryptProv hProv;
    if (!CryptAcquireContextW(hProv.put(), nullptr, TEXT("Microsoft Enhanced RSA and AES Cryptographic Provider"),
                              PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    CERT_PUBLIC_KEY_INFO* pInfo = nullptr;
    DWORD cbInfo = 0;
    if (!CryptDecodeObjectEx(kEncoding, X509_PUBLIC_KEY_INFO, r.spki.whole.data(), static_cast<DWORD>(r.spki.whole.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &pInfo, &cbInfo))
        return false;
    CryptKey hKey;
    BOOL bImported = CryptImportPublicKeyInfo(hProv.get(), kEncoding, pInfo, hKey.put());
    LocalFree(pInfo);
    if (!bImported) return false;

    ByteBuffer vecSigned = r.info.whole;
    if (bTamper) vecSigned[vecSigned.size() / 2] ^= 0x01;
    CryptHash hHash;
    if (!CryptCreateHash(hProv.get(), algHash, 0, 0, hHash.put())) return false;
    if (!CryptHashData(hHash.get(), vecSigned.data(), static_cast<DWORD>(vecSigned.size()), 0)) return false;
    ByteBuffer vecSignature = BitStringBytes(r.signature);
    ByteBuffer vecLittle(vecSignature.rbegin(), vecSignature.rend());
    return CryptVerifySignatureW(hHash.get(), vecLittle.data(), static_cast<DWORD>(vecLittle.size()), hKey.get(), nullptr,
                                 0) != FALSE;
}

struct RsaCase {
    ProviderCase provider;
    LONG lCertType;
    DWORD dwKeyLength;
    ALG_ID algHash;
};

std::string Describe(const RsaCase& c)
{
    std::ostringstream os;
    os << reqtest::Narrow(c.provider.pwszName) << " type " << c.lCertType << " " << c.dwKeyLength << " bits hash "
       << std::hex << c.algHash;
    return os.str();
}

// Trace lines written while fn runs (file sink, failures and information).
template <typename Fn>
std::string TracedText(Fn fn)
{
    WCHAR wszDir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszDir);
    char szPath[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wszDir, -1, szPath, sizeof(szPath), nullptr, nullptr);
    std::string strPath = std::string(szPath) + "bm_request_trace.log";
    DeleteFileA(strPath.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", strPath.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0x3");
    TraceInitialize();
    fn();
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    std::ifstream in(strPath, std::ios::binary);
    std::string strText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileA(strPath.c_str());
    return strText;
}

}  // namespace

TEST(Request, RsaRequestsOfEveryShapeInEveryMicrosoftProvider)
{
    std::vector<RsaCase> cases;
    for (const ProviderCase& p : MicrosoftProviders()) {
        DWORD dwBits = WString(p.pwszName).find(TEXT("Base")) != WString::npos ? 512 : 1024;
        cases.push_back({p, 1, dwBits, CALG_SHA1});
        cases.push_back({p, 1, dwBits, CALG_MD5});
        cases.push_back({p, 2, dwBits, CALG_SHA1});
    }
    for (const RsaCase& c : cases) {
        SCOPED_TRACE(Describe(c));
        ContainerSweeper sweeper(c.provider.pwszName, c.provider.dwType);
        DWORD dwKeySpec = c.lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        std::string strRequest;
        WString wstrContainer;
        ASSERT_EQ(PKCS10CertRequisition(c.provider.pwszName, TEXT("CN=test"), c.lCertType, dwKeySpec, TRUE, c.dwKeyLength,
                                        0, c.algHash, strRequest, wstrContainer),
                  QORA_OK);
        EXPECT_EQ(sweeper.NewContainers(), std::set<WString>{wstrContainer});
        EXPECT_EQ(wstrContainer.size(), 38u);

        Request r = Dissect(DecodeRequestText(strRequest));
        EXPECT_EQ(r.nInfoElements, c.lCertType == 1 ? 3u : 4u);
        EXPECT_EQ(ToHex(r.version.whole), "02 01 00");
        EXPECT_EQ(ToHex(r.subject.whole), ToHex(Hex(kCNtest)));

        // The signing key of the container, RSA with NULL parameters.
        std::vector<Der> spki = Children(r.spki);
        ASSERT_EQ(spki.size(), 2u);
        EXPECT_EQ(ToHex(spki[0].whole), "30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00");
        EXPECT_EQ(RsaBits(BitStringBytes(spki[1])), c.dwKeyLength);
        EXPECT_EQ(ToHex(r.spki.whole), ToHex(ContainerKeyInfo(wstrContainer, c.provider, dwKeySpec)));

        const char* pszSignAlgorithm = c.algHash == CALG_SHA1 ? "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00"
                                                              : "30 0D 06 09 2A 86 48 86 F7 0D 01 01 04 05 00";
        EXPECT_EQ(ToHex(r.signAlgorithm.whole), pszSignAlgorithm);
        EXPECT_EQ(BitStringBytes(r.signature).size(), c.dwKeyLength / 8);
        EXPECT_TRUE(VerifyWithCryptoApi(r, c.algHash, false));
        EXPECT_FALSE(VerifyWithCryptoApi(r, c.algHash, true));

        if (c.lCertType == 2) {
            // [0] { challenge password, temporary key }, each attribute without a SET.
            EXPECT_EQ(r.attributes.tag, 0xA0);
            std::vector<Der> attrs = Children(r.attributes);
            ASSERT_EQ(attrs.size(), 2u);
            EXPECT_EQ(ToHex(attrs[0].whole),
                      "30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 32 34 36 38 30 32");
            std::vector<Der> tempKey = Children(attrs[1]);
            ASSERT_EQ(tempKey.size(), 2u);
            EXPECT_EQ(ToHex(tempKey[0].whole), "06 09 2A 86 48 86 F7 0D 01 09 3F");
            EXPECT_EQ(tempKey[1].tag, 0x04);
            std::vector<Der> inner = Children(ReadDer(tempKey[1].contents));
            ASSERT_EQ(inner.size(), 2u);
            EXPECT_EQ(ToHex(inner[0].whole), "02 01 01");
            EXPECT_EQ(inner[1].tag, 0x04);
            EXPECT_EQ(RsaBits(inner[1].contents), 1024u);
            // It is the container's exchange key.
            std::vector<Der> exchangeSpki = Children(ReadDer(ContainerKeyInfo(wstrContainer, c.provider, AT_KEYEXCHANGE)));
            ASSERT_EQ(exchangeSpki.size(), 2u);
            EXPECT_EQ(ToHex(inner[1].contents), ToHex(BitStringBytes(exchangeSpki[1])));
        }
    }
}

TEST(Request, CertRequestInfoCarriesAttributesExactlyWhenATemporaryKeyIsGiven)
{
    const ByteBuffer vecKeyBits = Hex("30 06 02 01 05 02 01 03");  // stands in for a public key
    const ByteBuffer vecTempKey = Hex("01 02 03 04 05");
    const std::string strSpki = "30 1A 30 0D 06 09 2A 86 48 86 F7 0D 01 01 01 05 00 03 09 00 30 06 02 01 05 02 01 03";
    const std::string strAttributes =
        "A0 30"
        " 30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 32 34 36 38 30 32"
        " 30 19 06 09 2A 86 48 86 F7 0D 01 09 3F 04 0C 30 0A 02 01 01 04 05 01 02 03 04 05";
    struct Case {
        const char* pszName;
        const BYTE* pbTempKey;
        DWORD cbTempKey;
        HRESULT want;
        std::string strWant;  // the contents after the version and the subject
    };
    for (const Case& c : std::vector<Case>{
             {"no temporary key", nullptr, 0, QORA_OK, strSpki},
             {"temporary key", vecTempKey.data(), 5, QORA_OK, strSpki + " " + strAttributes},
             {"empty temporary key", vecTempKey.data(), 0, E_FAIL, ""},
             {"null temporary key with a length", nullptr, 5, E_POINTER, ""},
         }) {
        SCOPED_TRACE(c.pszName);
        ByteBuffer vec = {0xEE};
        HRESULT hResult = ComposeCertRequestInfo(TEXT("CN=test"), "1.2.840.113549.1.1.1", nullptr, vecKeyBits.data(),
                                                 static_cast<DWORD>(vecKeyBits.size()), c.pbTempKey, c.cbTempKey, vec);
        EXPECT_EQ(hResult, c.want);
        if (FAILED(c.want) || FAILED(hResult)) {
            EXPECT_EQ(vec, ByteBuffer{0xEE});
            continue;
        }
        ByteBuffer vecContents = reqtest::Concat({Hex("02 01 00"), Hex(kCNtest), Hex(c.strWant.c_str())});
        EXPECT_EQ(ToHex(vec), ToHex(reqtest::Concat({{0x30, static_cast<BYTE>(vecContents.size())}, vecContents})));
    }

    // The whole request refuses an empty exchange key the same way, before anything is signed.
    std::string strRequest = "unchanged";
    EXPECT_EQ(PKCS10RequestBase64(AT_SIGNATURE, 0, TEXT("CN=test"), "1.2.840.113549.1.1.1", nullptr, vecKeyBits.data(),
                                  static_cast<DWORD>(vecKeyBits.size()), vecTempKey.data(), 0, CALG_SHA1,
                                  "1.2.840.113549.1.1.5", FALSE, strRequest),
              E_FAIL);
    EXPECT_EQ(PKCS10RequestBase64(AT_SIGNATURE, 0, TEXT("CN=test"), "1.2.840.113549.1.1.1", nullptr, vecKeyBits.data(),
                                  static_cast<DWORD>(vecKeyBits.size()), nullptr, 5, CALG_SHA1, "1.2.840.113549.1.1.5",
                                  FALSE, strRequest),
              E_POINTER);
    EXPECT_EQ(strRequest, "unchanged");
}

TEST(Request, InvalidHashFailsAfterTheKeysExist)
{
    const ProviderCase& p = MicrosoftProviders()[1];
    for (LONG lCertType : {1L, 2L}) {
        SCOPED_TRACE(lCertType);
        ContainerSweeper sweeper(p.pwszName, p.dwType);
        std::string strRequest = "unchanged";
        WString wstrContainer = TEXT("unchanged");
        EXPECT_EQ(PKCS10CertRequisition(p.pwszName, TEXT("CN=test"), lCertType, lCertType == 1 ? 1 : 2, TRUE, 512, 0,
                                        CALG_SHA_256, strRequest, wstrContainer),
                  QORA_E_HASH_ALGORITHM);
        EXPECT_EQ(strRequest, "unchanged");
        EXPECT_EQ(wstrContainer, WString(TEXT("unchanged")));
        std::set<WString> created = sweeper.NewContainers();
        ASSERT_EQ(created.size(), 1u);
        EXPECT_FALSE(ContainerKeyInfo(*created.begin(), p, lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE).empty());
    }
}

TEST(Request, SubjectFailuresComeBeforeOrAfterTheKeysAsTheyArise)
{
    const ProviderCase& p = MicrosoftProviders()[1];
    ContainerSweeper sweeper(p.pwszName, p.dwType);
    std::string strRequest;
    WString wstrContainer;
    EXPECT_EQ(PKCS10CertRequisition(p.pwszName, nullptr, 1, 1, TRUE, 512, 0, CALG_SHA1, strRequest, wstrContainer),
              E_INVALIDARG);
    EXPECT_TRUE(sweeper.NewContainers().empty());

    // A subject that does not parse is found only after key generation; the container stays.
    EXPECT_EQ(PKCS10CertRequisition(p.pwszName, TEXT("CN=a,,O=b"), 1, 1, TRUE, 512, 0, CALG_SHA1, strRequest,
                                    wstrContainer),
              NTE_BAD_DATA);
    EXPECT_TRUE(strRequest.empty());
    EXPECT_EQ(sweeper.NewContainers().size(), 1u);
}

TEST(Request, CertTypeThreeFailsOpeningTheSigningContainer)
{
    const ProviderCase& p = MicrosoftProviders()[1];
    ContainerSweeper sweeper(p.pwszName, p.dwType);
    HRESULT hResult = S_OK;
    std::string strTrace = TracedText([&] {
        std::string strRequest;
        WString wstrContainer;
        hResult = PKCS10CertRequisition(p.pwszName, TEXT("CN=test"), 3, 2, TRUE, 1024, 0, CALG_SHA1, strRequest,
                                        wstrContainer);
    });
    EXPECT_EQ(hResult, NTE_BAD_KEYSET);
    EXPECT_NE(strTrace.find("PKCS10CertRequisition - CreatePublicKey-Sign cert [Reason:FAILED(hResult)]"),
              std::string::npos)
        << strTrace;
    EXPECT_EQ(strTrace.find("CreatePublicKey-Exchange"), std::string::npos);
    EXPECT_TRUE(sweeper.NewContainers().empty());
}

TEST(Request, RsaRequestTimes)
{
    const ProviderCase& p = MicrosoftProviders()[2];
    for (DWORD dwBits : {1024u, 2048u}) {
        ContainerSweeper sweeper(p.pwszName, p.dwType);
        std::string strRequest;
        WString wstrContainer;
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(PKCS10CertRequisition(p.pwszName, TEXT("CN=test,O=Timing,C=CN"), 1, 1, TRUE, dwBits, 0, CALG_SHA1,
                                        strRequest, wstrContainer),
                  QORA_OK);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        printf("RSA-%lu single request: %lld ms\n", static_cast<unsigned long>(dwBits), static_cast<long long>(ms));
        RecordProperty("rsa_" + std::to_string(dwBits) + "_ms", static_cast<int>(ms));
    }
}

TEST(Request, Sm2RequestsThroughTheTokenCsp)
{
    {
        CryptProv hProbe;
        if (!CryptAcquireContextW(hProbe.put(), nullptr, kSM2CSP, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
            GTEST_SKIP() << "the SM2 token CSP is not installed in this prefix";
    }
    for (LONG lCertType : {1L, 2L}) {
        SCOPED_TRACE(lCertType);
        std::string strRequest;
        WString wstrContainer;
        ASSERT_EQ(PKCS10CertRequisition(kSM2CSP, TEXT("CN=test"), lCertType, lCertType == 1 ? 1 : 2, FALSE, 256, 0,
                                        CALG_SHA1, strRequest, wstrContainer),
                  QORA_OK);
        Request r = Dissect(DecodeRequestText(strRequest));
        EXPECT_EQ(ToHex(r.subject.whole), ToHex(Hex(kCNtest)));
        std::vector<Der> spki = Children(r.spki);
        ASSERT_EQ(spki.size(), 2u);
        EXPECT_EQ(ToHex(spki[0].whole), "30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D");
        EXPECT_EQ(ToHex(ByteBuffer(spki[1].whole.begin(), spki[1].whole.begin() + 4)), "03 42 00 04");
        EXPECT_EQ(spki[1].whole.size(), 68u);
        EXPECT_EQ(ToHex(r.signAlgorithm.whole), "30 0C 06 08 2A 81 1C CF 55 01 83 75 05 00");
        std::vector<Der> rs = Children(ReadDer(BitStringBytes(r.signature)));
        ASSERT_EQ(rs.size(), 2u);
        for (const Der& n : rs) {
            EXPECT_EQ(n.tag, 0x02);
            EXPECT_TRUE(n.contents.size() == 32 || (n.contents.size() == 33 && n.contents[0] == 0 && n.contents[1] >= 0x80));
        }
        if (lCertType == 2) {
            std::vector<Der> attrs = Children(r.attributes);
            ASSERT_EQ(attrs.size(), 2u);
            std::vector<Der> inner = Children(ReadDer(Children(attrs[1]).at(1).contents));
            ASSERT_EQ(inner.size(), 2u);
            ASSERT_EQ(inner[1].contents.size(), 136u);
            EXPECT_EQ(ToHex(ByteBuffer(inner[1].contents.begin(), inner[1].contents.begin() + 8)),
                      "00 B4 00 00 00 01 00 00");
        }
        HCRYPTPROV hDelete = 0;
        CryptAcquireContextW(&hDelete, wstrContainer.c_str(), kSM2CSP, PROV_RSA_FULL, 0xFFFF0002);
        if (hDelete) CryptReleaseContext(hDelete, 0);
    }
}
