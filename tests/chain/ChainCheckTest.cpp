// The chain check over documents made here: which store each certificate must be in, the SHA-256 rule,
// how the bundle element is found and decoded, and the documents that are refused before any walk.
#include "ChainTestSupport.h"

#include <optional>

using namespace chaintest;

namespace {

const WCHAR* const kRootName = TEXT("C=CN, O=Chain Test, CN=Chain Test Root");
constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;

BOOL WINAPI VersionTooOld(OSVERSIONINFOEXW*, DWORD, DWORDLONG)
{
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}

struct Where {
    DWORD dwLocation;
    const WCHAR* pwszStore;
    int nCert;  // index into the test's certificates
};

struct PlacementCase {
    const char* pszName;
    std::vector<Where> vecPlaced;
    std::vector<int> vecBundle;
    bool bSHA256Supported;
    HRESULT hrWant;
};

}  // namespace

TEST_F(ChainTest, EachBundleCertificateMustBeInItsStore)
{
    // 0 root, 1 CA signed with sha1RSA, 2 CA signed with sha256RSA.
    const std::vector<ByteBuffer> vecCerts = {
        MakeRoot(kRootName), MakeCA(TEXT("C=CN, O=Chain Test, CN=Chain Test CA One")),
        MakeCA(TEXT("C=CN, O=Chain Test, CN=Chain Test CA Two"), invtest::SHA256_RSA)};
    const std::vector<PlacementCase> vecCases = {
        {"complete", {{kMachine, TEXT("Root"), 0}, {kUser, TEXT("CA"), 1}, {kUser, TEXT("CA"), 2}}, {0, 1, 2}, true,
         QORA_OK},
        {"one intermediate missing", {{kMachine, TEXT("Root"), 0}, {kUser, TEXT("CA"), 1}}, {0, 1, 2}, true,
         CRYPT_E_NOT_FOUND},
        {"root sitting in CA counts as missing", {{kUser, TEXT("CA"), 0}, {kUser, TEXT("CA"), 1}}, {0, 1}, true,
         CRYPT_E_NOT_FOUND},
        {"intermediate sitting in Root counts as missing", {{kMachine, TEXT("Root"), 1}}, {1}, true, CRYPT_E_NOT_FOUND},
        {"intermediate only in the machine's CA", {{kMachine, TEXT("CA"), 1}}, {1}, true, QORA_OK},
        {"sha256RSA needed where supported", {{kUser, TEXT("CA"), 1}}, {1, 2}, true, CRYPT_E_NOT_FOUND},
        {"sha256RSA skipped where unsupported", {{kUser, TEXT("CA"), 1}}, {1, 2}, false, QORA_OK},
        {"unsupported still needs sha1RSA", {{kUser, TEXT("CA"), 2}}, {1, 2}, false, CRYPT_E_NOT_FOUND},
    };
    for (const PlacementCase& c : vecCases) {
        SCOPED_TRACE(c.pszName);
        std::vector<Placement> vecPlacements;
        for (const Where& where : c.vecPlaced) vecPlacements.emplace_back(where.dwLocation, where.pwszStore, vecCerts[where.nCert]);
        std::vector<ByteBuffer> vecBundle;
        for (int n : c.vecBundle) vecBundle.push_back(vecCerts[n]);

        std::optional<reqtest::ImportPatch> patch;
        if (!c.bSHA256Supported) {
            patch.emplace("kernel32.dll", "VerifyVersionInfoW", reinterpret_cast<const void*>(&VersionTooOld));
            ASSERT_TRUE(patch->Active());
        }
        EXPECT_EQ(CheckIsSystemSupportSHA256(), c.bSHA256Supported ? TRUE : FALSE);
        EXPECT_EQ(CheckDocument(Document("", BundleElement(vecBundle))), c.hrWant);
    }
}

TEST_F(ChainTest, DocumentsAreReadAsTheyCome)
{
    const ByteBuffer vecPresent = MakeCA(TEXT("C=CN, O=Chain Test, CN=Chain Test CA Present"));
    const ByteBuffer vecAbsent = MakeCA(TEXT("C=CN, O=Chain Test, CN=Chain Test CA Absent"));
    Placement placed(kUser, TEXT("CA"), vecPresent);
    const std::string strPresent = BundleElement({vecPresent});

    struct DocumentCase {
        const char* pszName;
        std::string strDocument;
        HRESULT hrWant;
    };
    const std::vector<DocumentCase> vecCases = {
        {"76-character lines", Document("", strPresent), QORA_OK},
        {"unbroken Base64", Document("", BundleElement({vecPresent}, "P7bContent", false)), QORA_OK},
        {"name containing P7bContent comes first and is taken",
         Document("", BundleElement({vecAbsent}, "P7bContentOld") + strPresent), CRYPT_E_NOT_FOUND},
        {"name matched ignoring case", Document("", BundleElement({vecPresent}, "p7bcontent")), QORA_OK},
        {"no bundle element", Document("", ""), E_INVALIDARG},
        {"empty bundle element", Document("", "<P7bContent></P7bContent>"), E_FAIL},
        {"bundle element not PKCS#7", Document("", "<P7bContent>AAECAwQF</P7bContent>"), CRYPT_E_ASN1_BADTAG},
        {"does not parse", "<?xml version=\"1.0\"?><root><P7bContent>", QORA_E_XML_PARSE},
        {"no bytes", "", QORA_E_XML_PARSE},
        {"document type declaration", "<?xml version=\"1.0\"?>\r\n<!DOCTYPE root>\r\n<root>" + strPresent + "</root>",
         QORA_E_XML_PARSE},
        {"document type in lower case", "<?xml version=\"1.0\"?><!doctype root><root>" + strPresent + "</root>",
         QORA_E_XML_PARSE},
        {"external entity naming a file",
         "<?xml version=\"1.0\"?><!DOCTYPE root [<!ENTITY leak SYSTEM \"file:///C:/windows/win.ini\">]>"
         "<root><P7bContent>&leak;</P7bContent></root>",
         QORA_E_XML_PARSE},
        {"entity declaration alone", "<?xml version=\"1.0\"?><root><!ENTITY x \"y\">" + strPresent + "</root>",
         QORA_E_XML_PARSE},
    };
    for (const DocumentCase& c : vecCases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(CheckDocument(c.strDocument), c.hrWant);
    }
}

TEST_F(ChainTest, NodeLookupAndValues)
{
    const std::string strDocument =
        "<?xml version=\"1.0\"?><!-- c --><root><Alpha>  one\r\n</Alpha><alphabet>two<b>three</b></alphabet></root>";
    ComPtr<IXMLDOMDocument> pXMLDom;
    ASSERT_EQ(LoadXMLDom(reinterpret_cast<const BYTE*>(strDocument.data()), static_cast<DWORD>(strDocument.size()), pXMLDom),
              QORA_OK);
    ComPtr<IXMLDOMNode> pRoot, pChild;
    ASSERT_EQ(GetXMLRootNode(pXMLDom.get(), pRoot), QORA_OK);

    struct LookupCase {
        const WCHAR* pwszName;
        HRESULT hrWant;
        const WCHAR* pwszValue;  // null: no node
    };
    for (const LookupCase& c : std::vector<LookupCase>{{TEXT("ALPHA"), QORA_OK, TEXT("one")},
                                                       {TEXT("bet"), QORA_OK, TEXT("twothree")},
                                                       {TEXT("gamma"), QORA_S_XML_NO_CHILD, nullptr}}) {
        SCOPED_TRACE(invtest::Narrow(c.pwszName));
        EXPECT_EQ(FindChildNode(pRoot.get(), c.pwszName, pChild), c.hrWant);
        WString wstrValue;
        if (c.pwszValue == nullptr) {
            EXPECT_FALSE(pChild);
            EXPECT_EQ(GetNodeValue(pChild.get(), wstrValue), E_INVALIDARG);
        } else {
            ASSERT_EQ(GetNodeValue(pChild.get(), wstrValue), QORA_OK);
            EXPECT_EQ(invtest::Narrow(wstrValue), invtest::Narrow(c.pwszValue));
        }
    }
    EXPECT_EQ(FindChildNode(nullptr, TEXT("x"), pChild), E_INVALIDARG);
    EXPECT_EQ(GetXMLRootNode(nullptr, pRoot), E_INVALIDARG);
}
