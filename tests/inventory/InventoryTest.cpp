// The inventory text over real stores and containers: MY of the user and of the machine with key-provider
// links, and certificates kept only in containers of the stand-in tokens.
#include "InventoryTestSupport.h"
#include "agent/ResultCode.h"
#include "codec/Misc.h"
#include "inventory/CertificateInventory.h"
#include "inventory/UnregisteredCertificate.h"
#include "trace/TraceHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

using namespace invtest;

namespace {

const DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER, kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;

// Points the tokens at a store directory of the test's own, removed with what it holds afterwards.
struct TokenDir {
    WString wstrDir;
    TokenDir()
    {
        WString wstrGuid;
        CreateGUIDStr(wstrGuid);
        GetTempDirPath(wstrDir);
        wstrDir += TEXT("bminv-") + wstrGuid;
        SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), wstrDir.c_str());
    }
    ~TokenDir()
    {
        SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), nullptr);
        for (const WCHAR* pwszFile : {TEXT("\\SM2Token.tok"), TEXT("\\RSAToken.tok")}) DeleteFileW((wstrDir + pwszFile).c_str());
        RemoveDirectoryW(wstrDir.c_str());
    }
};

// A new container with one key per entry (algorithm, certificate for its KP_CERTIFICATE; none when empty).
void MakeTokenContainer(const WCHAR* pwszProv, const WCHAR* pwszName, const std::vector<std::pair<ALG_ID, ByteBuffer>>& keys)
{
    CryptProv hProv;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), pwszName, pwszProv, PROV_RSA_FULL, CRYPT_NEWKEYSET)) << GetLastError();
    for (const auto& [algId, vecCert] : keys) {
        CryptKey hKey;
        ASSERT_TRUE(CryptGenKey(hProv.get(), algId, pwszProv == RSA_TOKEN ? 512u << 16 : 0u, hKey.put())) << GetLastError();
        if (!vecCert.empty()) {
            ASSERT_TRUE(CryptSetKeyParam(hKey.get(), KP_CERTIFICATE, vecCert.data(), 0)) << GetLastError();
        }
    }
}

std::vector<WString> ContainersInOrder(const WCHAR* pwszProv)
{
    std::vector<WString> names;
    CryptProv hProv;
    EXPECT_TRUE(CryptAcquireContextW(hProv.put(), nullptr, pwszProv, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    char szName[512];
    for (DWORD cb = sizeof(szName), dwFlags = CRYPT_FIRST;
         CryptGetProvParam(hProv.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(szName), &cb, dwFlags);
         cb = sizeof(szName), dwFlags = CRYPT_NEXT)
        names.emplace_back(szName, szName + strlen(szName));
    return names;
}

void AddToMy(DWORD dwLocation, const ByteBuffer& vecCert, const WCHAR* pwszProv, const WCHAR* pwszContainer)
{
    CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("MY")));
    PCCERT_CONTEXT p = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, vecCert.data(),
                                                 static_cast<DWORD>(vecCert.size()), CERT_STORE_ADD_REPLACE_EXISTING, &p));
    CertContext owner(p);
    if (pwszProv != nullptr) LinkToKey(p, pwszProv, pwszContainer, AT_KEYEXCHANGE);
}

// Wine keeps deletions from MY only once committed, and deleting while enumerating never ends there.
void RemoveFromMy(DWORD dwLocation, const std::vector<ByteBuffer>& certs)
{
    CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("MY")));
    std::vector<PCCERT_CONTEXT> found;
    for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(store.get(), p)) != nullptr;)
        for (const ByteBuffer& vec : certs)
            if (p->cbCertEncoded == vec.size() && memcmp(p->pbCertEncoded, vec.data(), vec.size()) == 0)
                found.push_back(CertDuplicateCertificateContext(p));
    for (PCCERT_CONTEXT p : found) CertDeleteCertificateFromStore(p);
    CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

std::vector<std::string> OurRecords(const WString& wstrText, const std::string& strTag)
{
    std::vector<std::string> ours;
    for (const WString& wstr : SplitRecords(wstrText)) {
        EXPECT_EQ(std::count(wstr.begin(), wstr.end(), TEXT(';')), 4) << Narrow(wstr);
        if (Narrow(wstr).find(strTag) != std::string::npos) ours.push_back(Narrow(wstr));
    }
    return ours;
}

}  // namespace

TEST(CertificateInventory, StoreRecordsThenContainerRecordsOfTheNamedCSPs)
{
    TokenDir tokens;
    WString wstrTag, wstrEnhancedContainer;
    CreateGUIDStr(wstrTag);
    CreateGUIDStr(wstrEnhancedContainer);
    const std::string strTag = Narrow(wstrTag);
    const std::string strTimes = ";2024-01-01 08:00:00;2034-07-01 00:00:00;";
    auto Subject = [&](const char* pszName) { return "CN=inv " + strTag + " " + pszName; };
    auto Wide = [](const std::string& str) { return WString(str.begin(), str.end()); };

    struct Cleanup {
        std::vector<ByteBuffer> certs;
        WString wstrContainer;
        ~Cleanup()
        {
            RemoveFromMy(kUser, certs);
            RemoveFromMy(kMachine, certs);
            HCRYPTPROV h = 0;
            CryptAcquireContextW(&h, wstrContainer.c_str(), ENHANCED, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        }
    } cleanup{{}, wstrEnhancedContainer};
    // A: a real key in an Enhanced-provider container, linked in the user's MY and in the machine's.
    ByteBuffer vecA;
    std::string strRecordA;
    {
        CryptProv hProv;
        CryptKey hKey;
        ASSERT_TRUE(CryptAcquireContextW(hProv.put(), wstrEnhancedContainer.c_str(), ENHANCED, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        ASSERT_TRUE(CryptGenKey(hProv.get(), AT_KEYEXCHANGE, 1024u << 16, hKey.put()));
        ByteBuffer vecName = EncodeName(Wide(Subject("A")).c_str());
        CERT_NAME_BLOB stName = {static_cast<DWORD>(vecName.size()), vecName.data()};
        SYSTEMTIME stStart = {2024, 1, 0, 1, 0, 0, 0, 0}, stEnd = {2034, 6, 0, 30, 16, 0, 0, 0};
        CRYPT_KEY_PROV_INFO stInfo = {const_cast<LPWSTR>(wstrEnhancedContainer.c_str()), const_cast<LPWSTR>(ENHANCED),
                                      PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
        CertContext cert(CertCreateSelfSignCertificate(hProv.get(), &stName, 0, &stInfo, nullptr, &stStart, &stEnd, nullptr));
        ASSERT_TRUE(cert) << GetLastError();
        vecA.assign(cert.get()->pbCertEncoded, cert.get()->pbCertEncoded + cert.get()->cbCertEncoded);
        WString wstrSerial;
        ConvertBinaryDataToString(cert.get()->pCertInfo->SerialNumber.pbData, cert.get()->pCertInfo->SerialNumber.cbData, wstrSerial);
        strRecordA = Subject("A") + ";" + Narrow(wstrSerial) + strTimes + Narrow(ENHANCED);
    }
    // B has no key-provider link; C is SM2-signed, its key in the SM2 token.
    const ByteBuffer vecB = MakeCertificate({.pwszSubject = Wide(Subject("B")).c_str()});
    const ByteBuffer vecC = MakeCertificate({.pwszSubject = Wide(Subject("C")).c_str(), .pszSignatureOID = SM3_SM2});
    cleanup.certs = {vecA, vecB, vecC};
    AddToMy(kUser, vecA, ENHANCED, wstrEnhancedContainer.c_str());
    AddToMy(kMachine, vecA, ENHANCED, wstrEnhancedContainer.c_str());
    AddToMy(kUser, vecB, nullptr, nullptr);
    AddToMy(kUser, vecC, SM2_TOKEN, TEXT("inv-1"));

    // The user's view of MY shows A twice: once from the user's store, once from the machine's.
    CertContextList vecMy;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(vecMy), QORA_OK);
    EXPECT_EQ(std::count_if(vecMy.begin(), vecMy.end(), [&](const CertContext& c) {
                  return c.get()->cbCertEncoded == vecA.size() && memcmp(c.get()->pbCertEncoded, vecA.data(), vecA.size()) == 0;
              }), 2);

    // Token containers: certificates on both keys, on the signature key only, an RSA-signed one, a key
    // without certificate; the RSA token holds an SM2-signed certificate next to an RSA-signed one.
    TraceHelper scope(TEXT("CCryptoAgent::QORA_GetAllCertInfo"));
    UnregisteredCertSet vtrNone;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(RSA_TOKEN, nullptr, vtrNone), QORA_OK);
    EXPECT_TRUE(vtrNone.empty());
    auto Sm2Cert = [&](const char* pszName, BYTE bSerial) {
        return MakeCertificate({.pwszSubject = Wide(Subject(pszName)).c_str(), .vecSerial = {0x00, bSerial}, .pszSignatureOID = SM3_SM2});
    };
    auto Record = [&](const char* pszName, const char* pszSerial, const WCHAR* pwszProv) {
        return Subject(pszName) + ";" + pszSerial + strTimes + Narrow(pwszProv);
    };
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-1"), {{0x3E00, Sm2Cert("S1", 0x81)}, {0xBE00, Sm2Cert("E1", 0x8F)}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-2"), {{0x3E00, Sm2Cert("S2", 0x82)}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-3"), {{0x3E00, MakeCertificate({.pwszSubject = Wide(Subject("X3")).c_str()})}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-4"), {{0xBE00, {}}});
    MakeTokenContainer(RSA_TOKEN, TEXT("inv-5"), {{AT_KEYEXCHANGE, Sm2Cert("R5", 0x85)},
                                                  {AT_SIGNATURE, MakeCertificate({.pwszSubject = Wide(Subject("X5")).c_str()})}});
    const std::map<WString, std::vector<std::string>> byContainer = {
        {TEXT("inv-1"), {Record("E1", "008f", SM2_TOKEN), Record("S1", "0081", SM2_TOKEN)}},
        {TEXT("inv-2"), {Record("S2", "0082", SM2_TOKEN)}}};
    std::vector<std::string> sm2Records;
    for (const WString& wstr : ContainersInOrder(SM2_TOKEN))
        if (byContainer.count(wstr)) sm2Records.insert(sm2Records.end(), byContainer.at(wstr).begin(), byContainer.at(wstr).end());
    ASSERT_EQ(sm2Records.size(), 3u);
    std::vector<std::string> allTokens = sm2Records;
    allTokens.push_back(Record("R5", "0085", RSA_TOKEN));

    // Without a filter every certificate of the SM2 token counts, the RSA-signed one too; key specs as found.
    UnregisteredCertSet vtrAll;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(SM2_TOKEN, nullptr, vtrAll), QORA_OK);
    std::map<WString, std::vector<DWORD>> keySpecs;
    for (const UnregisteredCertContext& p : vtrAll) keySpecs[p->wszContainerName].push_back(p->dwKeySpec);
    EXPECT_EQ(keySpecs, (std::map<WString, std::vector<DWORD>>{
                            {TEXT("inv-1"), {AT_KEYEXCHANGE, AT_SIGNATURE}}, {TEXT("inv-2"), {AT_SIGNATURE}}, {TEXT("inv-3"), {AT_SIGNATURE}}}));

    const std::string strAll = Narrow(ENHANCED) + "||No Such CSP v9||" + Narrow(SM2_TOKEN) + "||" + Narrow(RSA_TOKEN);
    const WString wstrPadded = Wide("  " + strAll + "  ");
    struct Case {
        const char* pszName;
        const WCHAR* pwszList;
        std::vector<std::string> want;
        bool bWholeText;  // nothing else can qualify: the text is exactly the records wanted
    };
    for (const Case& c : std::vector<Case>{
             {"empty list: store only, A once", TEXT(""), {strRecordA}, false},
             {"null list", nullptr, {strRecordA}, false},
             {"Microsoft only: no container search", ENHANCED, {strRecordA}, false},
             {"Microsoft and both tokens, one missing CSP", wstrPadded.c_str(), [&] {
                  std::vector<std::string> v{strRecordA};
                  v.insert(v.end(), allTokens.begin(), allTokens.end());
                  return v;
              }(), false},
             {"SM2 token only: no store records, no leading separator", SM2_TOKEN, sm2Records, true}}) {
        SCOPED_TRACE(c.pszName);
        WString wstrText;
        ASSERT_EQ(GetAllCertificatesInfo(scope, c.pwszList, wstrText), QORA_OK);
        EXPECT_EQ(OurRecords(wstrText, strTag), c.want);
        EXPECT_NE(wstrText.substr(0, 2), TEXT("||"));
        EXPECT_EQ(wstrText.find(TEXT("||||")), WString::npos);
        if (c.bWholeText) {
            std::string strWant;
            for (const std::string& str : c.want) strWant += (strWant.empty() ? "" : "||") + str;
            EXPECT_EQ(Narrow(wstrText), strWant);
        }
    }

    UnregisteredCertSet vtrMicrosoft;
    ASSERT_EQ(FilterUnregisteredCertificatesfromCSP(TEXT("Microsoft Base Cryptographic Provider v1.0||Microsoft Enhanced "
                                                         "Cryptographic Provider v1.0"), nullptr, vtrMicrosoft), QORA_OK);
    EXPECT_TRUE(vtrMicrosoft.empty());
    for (const WCHAR* pwszName : {TEXT("inv-1"), TEXT("inv-2"), TEXT("inv-3"), TEXT("inv-4")}) {
        HCRYPTPROV h = 0;
        EXPECT_TRUE(CryptAcquireContextW(&h, pwszName, SM2_TOKEN, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    }
    HCRYPTPROV h = 0;
    EXPECT_TRUE(CryptAcquireContextW(&h, TEXT("inv-5"), RSA_TOKEN, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
}
