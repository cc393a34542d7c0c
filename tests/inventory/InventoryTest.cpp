// The inventory text over real stores and containers: MY of the user and of the machine with key-provider
// links, and certificates kept only in containers of the stand-in tokens.
#include "InventoryTestSupport.h"
#include "ResultCode.h"
#include "codec/Misc.h"
#include "inventory/CertificateInventory.h"
#include "inventory/UnregisteredCertificate.h"
#include "trace/TraceHelper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>

using namespace invtest;

namespace {

WString Wide(const std::string& str) { return WString(str.begin(), str.end()); }

// A new token container with one key per entry, each with that certificate in KP_CERTIFICATE (none if empty).
void MakeTokenContainer(const WCHAR* pwszProv, const WCHAR* pwszName, const std::vector<std::pair<ALG_ID, ByteBuffer>>& keys)
{
    CryptProv hProv;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), pwszName, pwszProv, PROV_RSA_FULL, CRYPT_NEWKEYSET)) << GetLastError();
    for (const auto& [algId, vecCert] : keys) {
        CryptKey hKey;
        ASSERT_TRUE(CryptGenKey(hProv.get(), algId, pwszProv == RSA_TOKEN ? 512u << 16 : 0u, hKey.put()));
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
        names.push_back(Wide(szName));
    return names;
}

bool IsCert(PCCERT_CONTEXT p, const ByteBuffer& vec)
{
    return p->cbCertEncoded == vec.size() && memcmp(p->pbCertEncoded, vec.data(), vec.size()) == 0;
}

// Everything the test puts in MY (of the user and of the machine), in the containers and in the tokens'
// own store directory goes again. Wine keeps deletions from MY only once committed, and deleting while
// enumerating never ends there.
struct Fixture {
    WString wstrContainer, wstrTokenDir;
    std::vector<ByteBuffer> certs;
    Fixture()
    {
        CreateGUIDStr(wstrContainer);
        GetTempDirPath(wstrTokenDir);
        wstrTokenDir += TEXT("bminv-") + wstrContainer;
        SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), wstrTokenDir.c_str());
    }
    void AddToMy(DWORD dwLocation, const ByteBuffer& vecCert, const WCHAR* pwszProv, const WCHAR* pwszContainer)
    {
        certs.push_back(vecCert);
        CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("MY")));
        PCCERT_CONTEXT p = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, vecCert.data(),
                                                     static_cast<DWORD>(vecCert.size()), CERT_STORE_ADD_REPLACE_EXISTING, &p));
        CertContext owner(p);
        if (pwszProv != nullptr) LinkToKey(p, pwszProv, pwszContainer, AT_KEYEXCHANGE);
    }
    ~Fixture()
    {
        for (DWORD dwLocation : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
            CertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, dwLocation, TEXT("MY")));
            std::vector<CertContext> found;
            for (PCCERT_CONTEXT p = nullptr; (p = CertEnumCertificatesInStore(store.get(), p)) != nullptr;)
                if (std::any_of(certs.begin(), certs.end(), [&](const ByteBuffer& vec) { return IsCert(p, vec); }))
                    found.emplace_back(CertDuplicateCertificateContext(p));
            for (CertContext& p : found) CertDeleteCertificateFromStore(p.release());
            CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
        }
        HCRYPTPROV h = 0;
        CryptAcquireContextW(&h, wstrContainer.c_str(), ENHANCED, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        for (const WCHAR* pwszProv : {SM2_TOKEN, RSA_TOKEN})
            for (const WString& wstr : ContainersInOrder(pwszProv))
                CryptAcquireContextW(&h, wstr.c_str(), pwszProv, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
        SetEnvironmentVariableW(TEXT("BRINDLEMARK_TOKEN_DIR"), nullptr);
        for (const WCHAR* pwszFile : {TEXT("\\SM2Token.tok"), TEXT("\\RSAToken.tok")})
            DeleteFileW((wstrTokenDir + pwszFile).c_str());
        RemoveDirectoryW(wstrTokenDir.c_str());
    }
};

}  // namespace

TEST(CertificateInventory, StoreRecordsThenContainerRecordsOfTheNamedCSPs)
{
    Fixture fixture;
    const std::string strTag = Narrow(fixture.wstrContainer), strTimes = ";2024-01-01 08:00:00;2034-07-01 00:00:00;";
    auto Subject = [&](const char* pszName) { return Wide("CN=inv " + strTag + " " + pszName); };
    auto Record = [&](const char* pszName, const std::string& strSerial, const WCHAR* pwszProv) {
        return Narrow(Subject(pszName)) + ";" + strSerial + strTimes + Narrow(pwszProv);
    };

    // A: a real key of an Enhanced-provider container, linked in the user's MY and in the machine's.
    CryptProv hProv;
    CryptKey hKey;
    ASSERT_TRUE(CryptAcquireContextW(hProv.put(), fixture.wstrContainer.c_str(), ENHANCED, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptGenKey(hProv.get(), AT_KEYEXCHANGE, 1024u << 16, hKey.put()));
    ByteBuffer vecName = EncodeName(Subject("A").c_str());
    CERT_NAME_BLOB stName = {static_cast<DWORD>(vecName.size()), vecName.data()};
    CRYPT_KEY_PROV_INFO stInfo = {const_cast<LPWSTR>(fixture.wstrContainer.c_str()), const_cast<LPWSTR>(ENHANCED),
                                  PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
    SYSTEMTIME stStart = {2024, 1, 0, 1, 0, 0, 0, 0}, stEnd = {2034, 6, 0, 30, 16, 0, 0, 0};
    CertContext certA(CertCreateSelfSignCertificate(hProv.get(), &stName, 0, &stInfo, nullptr, &stStart, &stEnd, nullptr));
    ASSERT_TRUE(certA) << GetLastError();
    hKey.reset();
    hProv.reset();
    const ByteBuffer vecA(certA.get()->pbCertEncoded, certA.get()->pbCertEncoded + certA.get()->cbCertEncoded);
    const CRYPT_INTEGER_BLOB& serial = certA.get()->pCertInfo->SerialNumber;
    const ByteBuffer vecSerialA(std::reverse_iterator(serial.pbData + serial.cbData), std::reverse_iterator(serial.pbData));
    const std::string strRecordA = Record("A", Hex(vecSerialA), ENHANCED);
    fixture.AddToMy(CERT_SYSTEM_STORE_CURRENT_USER, vecA, ENHANCED, fixture.wstrContainer.c_str());
    fixture.AddToMy(CERT_SYSTEM_STORE_LOCAL_MACHINE, vecA, ENHANCED, fixture.wstrContainer.c_str());
    // B has no key-provider link; C is SM2-signed with its key in the SM2 token: neither is listed.
    fixture.AddToMy(CERT_SYSTEM_STORE_CURRENT_USER, MakeCertificate({.pwszSubject = Subject("B").c_str()}), nullptr, nullptr);
    fixture.AddToMy(CERT_SYSTEM_STORE_CURRENT_USER,
                    MakeCertificate({.pwszSubject = Subject("C").c_str(), .pszSignatureOID = SM3_SM2}), SM2_TOKEN, TEXT("inv-1"));
    // The user's view of MY holds A twice: once from each location.
    CertContextList vecMy;
    ASSERT_EQ(ExtractCertificatesFromLocalStore(vecMy), QORA_OK);
    EXPECT_EQ(std::count_if(vecMy.begin(), vecMy.end(), [&](const CertContext& c) { return IsCert(c.get(), vecA); }), 2);

    // Tokens: certificates on both keys, on the signature key only, an RSA-signed one, a key without one;
    // the RSA token holds an SM2-signed certificate beside an RSA-signed one. A token without containers first.
    UnregisteredCertSet vtrNone;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(RSA_TOKEN, nullptr, vtrNone), QORA_OK);
    EXPECT_TRUE(vtrNone.empty());
    auto Sm2Cert = [&](const char* pszName, BYTE bSerial) {
        return MakeCertificate({.pwszSubject = Subject(pszName).c_str(), .vecSerial = {0x00, bSerial}, .pszSignatureOID = SM3_SM2});
    };
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-1"), {{0x3E00, Sm2Cert("S1", 0x81)}, {0xBE00, Sm2Cert("E1", 0x8F)}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-2"), {{0x3E00, Sm2Cert("S2", 0x82)}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-3"), {{0x3E00, MakeCertificate({.pwszSubject = Subject("X3").c_str()})}});
    MakeTokenContainer(SM2_TOKEN, TEXT("inv-4"), {{0xBE00, {}}});
    MakeTokenContainer(RSA_TOKEN, TEXT("inv-5"), {{AT_KEYEXCHANGE, Sm2Cert("R5", 0x85)},
                                                  {AT_SIGNATURE, MakeCertificate({.pwszSubject = Subject("X5").c_str()})}});
    // Without a filter the RSA-signed certificate counts too; exchange key before signature key.
    UnregisteredCertSet vtrAll;
    ASSERT_EQ(FilterUnregisteredCertificatesfromSpecifiedCSP(SM2_TOKEN, nullptr, vtrAll), QORA_OK);
    std::map<WString, std::vector<DWORD>> keySpecs;
    for (const UnregisteredCertContext& p : vtrAll) keySpecs[p->wszContainerName].push_back(p->dwKeySpec);
    EXPECT_EQ(keySpecs, (std::map<WString, std::vector<DWORD>>{{TEXT("inv-1"), {AT_KEYEXCHANGE, AT_SIGNATURE}},
                                                               {TEXT("inv-2"), {AT_SIGNATURE}},
                                                               {TEXT("inv-3"), {AT_SIGNATURE}}}));

    // SM2-family records in the token's container order, then the RSA token's.
    const std::map<WString, std::vector<std::string>> byContainer = {
        {TEXT("inv-1"), {Record("E1", "008f", SM2_TOKEN), Record("S1", "0081", SM2_TOKEN)}},
        {TEXT("inv-2"), {Record("S2", "0082", SM2_TOKEN)}}};
    std::vector<std::string> sm2Records, allRecords = {strRecordA};
    for (const WString& wstr : ContainersInOrder(SM2_TOKEN))
        if (byContainer.count(wstr)) sm2Records.insert(sm2Records.end(), byContainer.at(wstr).begin(), byContainer.at(wstr).end());
    allRecords.insert(allRecords.end(), sm2Records.begin(), sm2Records.end());
    allRecords.push_back(Record("R5", "0085", RSA_TOKEN));
    const WString wstrAll =
        TEXT("  ") + WString(ENHANCED) + TEXT("||No Such CSP v9||") + SM2_TOKEN + TEXT("||") + RSA_TOKEN + TEXT(" ");

    TraceHelper scope(TEXT("CCryptoAgent::QORA_GetAllCertInfo"));
    struct Case {
        const char* pszName;
        const WCHAR* pwszList;
        std::vector<std::string> want;
        bool bWholeText;  // nothing outside the test can qualify: the text is exactly these records
    };
    for (const Case& c : std::vector<Case>{
             {"empty list: store only, A once", TEXT(""), {strRecordA}, false},
             {"null list", nullptr, {strRecordA}, false},
             {"Microsoft only: no container search", ENHANCED, {strRecordA}, false},
             {"both tokens and a missing CSP, spaces around", wstrAll.c_str(), allRecords, false},
             {"SM2 token only: no leading separator", SM2_TOKEN, sm2Records, true}}) {
        SCOPED_TRACE(c.pszName);
        WString wstrText;
        ASSERT_EQ(GetAllCertificatesInfo(scope, c.pwszList, wstrText), QORA_OK);
        std::vector<std::string> ours;
        for (const std::string& str : SplitRecords(wstrText)) {
            EXPECT_EQ(std::count(str.begin(), str.end(), ';'), 4) << str;
            if (str.find(strTag) != std::string::npos || c.bWholeText) ours.push_back(str);
        }
        EXPECT_EQ(ours, c.want);
    }
}
