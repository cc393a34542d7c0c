// Removal of withdrawn CA certificates: which certificates a removal entry takes from which store, the
// root's registry key, and the two compiled-in lists against the withdrawn generation's own certificates.
#include "ChainTestSupport.h"

#include "chain/CertificateChainDelete.h"

#include <fstream>
#include <iterator>

using namespace chaintest;

namespace {

constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;
// As the withdrawal lists write them: most general part last.
const WCHAR* const kSubjectDN = TEXT("CN=Delete Test CA, O=Chain Test, C=CN");
const WCHAR* const kIssuerDN = TEXT("CN=Delete Test Root, O=Chain Test, C=CN");

// An intermediate whose subject is encoded common name first and whose issuer is encoded country first,
// as the withdrawn generation's are: both then render containing the list's DN texts.
ByteBuffer MakeWithdrawnCA(const WCHAR* pwszSubject, const ByteBuffer& vecSerial)
{
    return MakeCA(pwszSubject, SHA1_RSA, TEXT("C=CN, O=Chain Test, CN=Delete Test Root"), vecSerial);
}

WString SerialText(const ByteBuffer& vecSerial)
{
    WString wstr;
    for (BYTE b : vecSerial) wstr += {TEXT("0123456789abcdef")[b >> 4], TEXT("0123456789abcdef")[b & 15]};
    return wstr;
}

// A root at its registry place, with its SHA-1 property as the platform keeps it.
void WriteRoot(const ByteBuffer& vecRoot)
{
    EnsureRootPlaceExists();
    const ByteBuffer vecBlob = MakePropertyBlob({{3, Sha1(vecRoot)}, {32, vecRoot}});
    ASSERT_EQ(RegWriteBinaryValue(ROOT_PATH, Thumbprint(vecRoot).c_str(), vecBlob.data(), static_cast<DWORD>(vecBlob.size())),
              QORA_OK);
}

ByteBuffer ReadFileBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    EXPECT_TRUE(file.good()) << strPath;
    return ByteBuffer(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(ChainDelete, IntermediateEntriesTakeWhatMatchesFromBothStores)
{
    const ByteBuffer vecSerial = NextSerial();
    const ByteBuffer vecLongerSerial = NextSerial();
    const ByteBuffer vecBoth = MakeWithdrawnCA(kSubjectDN, vecSerial);
    const ByteBuffer vecLonger = MakeWithdrawnCA(TEXT("OU=Branch, CN=Delete Test CA, O=Chain Test, C=CN"), vecLongerSerial);
    const ByteBuffer vecOtherSerial = MakeWithdrawnCA(kSubjectDN, NextSerial());
    // The user's view of "CA" shows the machine's too: the user's copy goes in first.
    std::vector<Placement> vecPlacements;
    vecPlacements.emplace_back(kUser, TEXT("CA"), vecBoth);
    vecPlacements.emplace_back(kMachine, TEXT("CA"), vecBoth);
    vecPlacements.emplace_back(kMachine, TEXT("CA"), vecLonger);
    vecPlacements.emplace_back(kMachine, TEXT("CA"), vecOtherSerial);

    EXPECT_EQ(DeleteIntermediateCert(SerialText(vecSerial).c_str(), kSubjectDN, kIssuerDN), QORA_OK);
    EXPECT_FALSE(InStore(kMachine, TEXT("CA"), vecBoth));
    EXPECT_FALSE(InStore(kUser, TEXT("CA"), vecBoth));
    EXPECT_TRUE(InStore(kMachine, TEXT("CA"), vecOtherSerial)) << "another serial stays";

    EXPECT_EQ(DeleteIntermediateCert(SerialText(vecLongerSerial).c_str(), kSubjectDN, kIssuerDN), QORA_OK);
    EXPECT_FALSE(InStore(kMachine, TEXT("CA"), vecLonger)) << "the list's DN inside a longer one";

    // Nothing left that matches: quietly nothing.
    EXPECT_EQ(DeleteIntermediateCert(SerialText(vecSerial).c_str(), kSubjectDN, kIssuerDN), QORA_OK);
    EXPECT_EQ(DeleteCertificateFromStore(0x30000, nullptr), E_INVALIDARG);
    EXPECT_EQ(DeleteTrustedRootCert(TEXT("00"), TEXT("00"), kIssuerDN, kIssuerDN), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        << "a root entry whose key is absent";
}

// The compiled-in lists against the certificates of the withdrawn generation, one file per list row.
TEST(ChainDelete, ListsRemoveTheWithdrawnGeneration)
{
    struct Row {
        const char* pszFile;
        bool bRoot;
    };
    const std::vector<Row> vecRows = {
        {"rsa-01-intermediate", false}, {"rsa-02-root", true},          {"rsa-03-intermediate", false},
        {"rsa-04-root", true},          {"rsa-05-intermediate", false}, {"rsa-06-root", true},
        {"rsa-07-intermediate", false}, {"rsa-08-intermediate", false}, {"rsa-09-root", true},
        {"sm2-01-intermediate", false}, {"sm2-02-intermediate", false}, {"sm2-03-root", true},
        {"sm2-04-intermediate", false}, {"sm2-05-root", true},          {"sm2-06-intermediate", false},
        {"sm2-07-intermediate", false}, {"sm2-08-root", true}};
    const ByteBuffer vecBystander = MakeWithdrawnCA(TEXT("CN=Brindlemark Current CA, O=Chain Test, C=CN"), NextSerial());
    std::vector<Placement> vecPlacements;
    vecPlacements.emplace_back(kMachine, TEXT("CA"), vecBystander);
    std::vector<ByteBuffer> vecCerts;
    for (const Row& row : vecRows) {
        vecCerts.push_back(ReadFileBytes(std::string("Z:") + BM_DISCARDED_DIR + "/" + row.pszFile + ".der"));
        if (row.bRoot) {
            WriteRoot(vecCerts.back());
        } else {
            vecPlacements.emplace_back(kUser, TEXT("CA"), vecCerts.back());
            vecPlacements.emplace_back(kMachine, TEXT("CA"), vecCerts.back());
        }
    }

    EXPECT_EQ(DeleteRSADiscardCert(), QORA_OK);
    EXPECT_EQ(DeleteSM2DiscardCert(), QORA_OK);
    ByteBuffer vecBlob;
    for (size_t i = 0; i < vecRows.size(); ++i) {
        SCOPED_TRACE(vecRows[i].pszFile);
        EXPECT_FALSE(InStore(kMachine, TEXT("CA"), vecCerts[i]));
        EXPECT_FALSE(InStore(kUser, TEXT("CA"), vecCerts[i]));
        if (vecRows[i].bRoot) {
            EXPECT_FALSE(ReadRootBlob(Thumbprint(vecCerts[i]), vecBlob));
            RemoveRootKey(Thumbprint(vecCerts[i]));
        }
    }
    EXPECT_TRUE(InStore(kMachine, TEXT("CA"), vecBystander));
    // Run again over nothing: every entry ends, the root entries at their absent keys.
    EXPECT_EQ(DeleteRSADiscardCert(), QORA_OK);
}
