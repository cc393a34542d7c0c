// Brindlemark/chain/CertificateChainOperate.cpp — the chain documents: resources, the XML access layer,
// the chain check and the installation of roots and intermediate CAs.
#include "chain/CertificateChainOperate.h"

#include "ResultCode.h"
#include "codec/ByteReader.h"
#include "codec/Misc.h"
#include "inventory/CertificateInfo.h"
#include "trace/TraceHelper.h"

#include <shlwapi.h>

#include <climits>
#include <cstring>

namespace {

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// MSXML2 DOMDocument and its IXMLDOMDocument, IXMLDOMDocument2 interfaces.
const CLSID kCLSID_DOMDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Anchors the module lookup in this unit's own image.
const BYTE g_bModuleAnchor = 0;

bool IsXmlSpace(WCHAR ch) { return ch == TEXT(' ') || ch == TEXT('\t') || ch == TEXT('\r') || ch == TEXT('\n'); }

// Chain documents carry neither a document type nor entities. Refusing both before the parser runs keeps
// every parser, whatever its settings, from reading files or the network on a document's behalf.
bool DeclaresDocumentTypeOrEntity(const WString& wstrXml)
{
    static const WCHAR* const kDeclarations[] = {TEXT("<!DOCTYPE"), TEXT("<!ENTITY")};
    for (const WCHAR* pwszDeclaration : kDeclarations) {
        const int cchDeclaration = lstrlenW(pwszDeclaration);
        if (wstrXml.size() < static_cast<size_t>(cchDeclaration)) continue;
        const size_t nLast = wstrXml.size() - static_cast<size_t>(cchDeclaration);
        for (size_t nPos = 0; nPos <= nLast; ++nPos) {
            if (wstrXml[nPos] == TEXT('<') &&
                CompareStringOrdinal(wstrXml.data() + nPos, cchDeclaration, pwszDeclaration, cchDeclaration, TRUE) ==
                    CSTR_EQUAL)
                return true;
        }
    }
    return false;
}

// Self-signed in the documents' sense: the encoded subject equals the encoded issuer.
bool IsSelfSigned(PCCERT_CONTEXT pCertContext)
{
    const CERT_NAME_BLOB& stSubject = pCertContext->pCertInfo->Subject;
    const CERT_NAME_BLOB& stIssuer = pCertContext->pCertInfo->Issuer;
    return stSubject.cbData == stIssuer.cbData &&
           (stSubject.cbData == 0 || memcmp(stSubject.pbData, stIssuer.pbData, stSubject.cbData) == 0);
}

// Base64 text of an element to its bytes, each stage traced under the caller's labels.
HRESULT DecodeBase64Text(const TraceHelper& scope, const WCHAR* pwszText, const WCHAR* pwszUTF8Step,
                         const WCHAR* pwszBase64Step, ByteBuffer& vecData)
{
    std::string strText;
    HRESULT hResult = UTF16ToUTF8(pwszText, strText);
    FAIL_IF(FAILED(hResult), hResult, pwszUTF8Step);
    FAIL_IF(strText.size() > INT_MAX, E_INVALIDARG, pwszBase64Step);
    hResult = Base64DecodeEx(strText.c_str(), static_cast<int>(strText.size()), vecData);
    FAIL_IF(FAILED(hResult), hResult, pwszBase64Step);
    return QORA_OK;
}

// Loads a document and runs one walk over it, each stage traced under the caller's labels.
HRESULT WalkDocument(const TraceHelper& scope, const BYTE* pbData, DWORD cbData, HRESULT (*pfnWalk)(IXMLDOMDocument*),
                     const WCHAR* pwszLoadStep, const WCHAR* pwszWalkStep)
{
    return GuardAllocation([&]() -> HRESULT {
        ComPtr<IXMLDOMDocument> pXMLDom;
        HRESULT hResult = LoadXMLDom(pbData, cbData, pXMLDom);
        FAIL_IF(FAILED(hResult), hResult, pwszLoadStep);
        hResult = pfnWalk(pXMLDom.get());
        FAIL_IF(FAILED(hResult), hResult, pwszWalkStep);
        return QORA_OK;
    });
}

// The children of a node and their count, each DOM call traced under the caller's labels.
HRESULT ChildCount(const TraceHelper& scope, IXMLDOMNode* pNode, ComPtr<IXMLDOMNodeList>& pChildren, LONG& lLength,
                   const WCHAR* pwszChildNodesStep, const WCHAR* pwszLengthStep)
{
    HRESULT hResult = pNode->get_childNodes(pChildren.put());
    FAIL_IF_REASON(FAILED(hResult) || !pChildren, FAILED(hResult) ? hResult : E_FAIL, pwszChildNodesStep,
                   TEXT("FAILED(hResult)"));
    lLength = 0;
    hResult = pChildren.get()->get_length(&lLength);
    FAIL_IF(FAILED(hResult), hResult, pwszLengthStep);
    TRACE_INFO_VALUE("lLength", lLength);
    return QORA_OK;
}

// Commits a machine store's changes when it closes: under Wine they do not last otherwise.
class CommitOnClose {
public:
    explicit CommitOnClose(HCERTSTORE hStore) : m_hStore(hStore) {}
    ~CommitOnClose()
    {
        if (m_hStore != nullptr) Commit();
    }
    CommitOnClose(const CommitOnClose&) = delete;
    CommitOnClose& operator=(const CommitOnClose&) = delete;

    // The commit's own outcome, for the path that reports it.
    BOOL Commit()
    {
        HCERTSTORE hStore = m_hStore;
        m_hStore = nullptr;
        return CertControlStore(hStore, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }

private:
    HCERTSTORE m_hStore;
};

}  // namespace

HMODULE GetChainDocumentModule()
{
    TraceHelper scope(TEXT("GetChainDocumentModule"));
    HMODULE hModule = nullptr;
    const BOOL bResult = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            reinterpret_cast<LPCWSTR>(&g_bModuleAnchor), &hModule);
    if (STEP_FAILED_REASON(!bResult, ResultFromLastError(), TEXT("GetModuleHandleEx"), TEXT("!bResult")))
        return GetModuleHandleW(nullptr);
    return hModule;
}

HRESULT LoadModuleResource(HMODULE hModule, WORD wResourceID, ByteBuffer& vecResData)
{
    TraceHelper scope(TEXT("LoadModuleResource"));
    TRACE_INFO_VALUE("wResourceID", wResourceID);
    HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(wResourceID), TEXT("CERTIFICATE"));
    FAIL_IF(hResource == NULL, ResultFromLastError(), TEXT("FindResource FAILED."));
    const DWORD dwSize = SizeofResource(hModule, hResource);
    FAIL_IF(dwSize == 0, ResultFromLastError(), TEXT("SizeofResource FAILED."));
    HGLOBAL hLoaded = LoadResource(hModule, hResource);
    const BYTE* pbResource = hLoaded != NULL ? static_cast<const BYTE*>(LockResource(hLoaded)) : nullptr;
    FAIL_IF(pbResource == NULL, ResultFromLastError(), TEXT("LoadResource FAILED."));

    ByteBuffer vecData;
    FAIL_IF(!TryResize(vecData, dwSize), E_OUTOFMEMORY, TEXT("Dispatch memory failed."));
    memcpy(vecData.data(), pbResource, dwSize);
    TRACE_INFO_VALUE("dwSize", dwSize);
    vecResData.swap(vecData);
    return QORA_OK;
}

HRESULT LoadXMLDom(const BYTE* lpResData, DWORD dwResDataSize, ComPtr<IXMLDOMDocument>& pXMLDom)
{
    TraceHelper scope(TEXT("LoadXMLDom"));
    FAIL_IF(lpResData == NULL, E_INVALIDARG, TEXT("check parameter"));

    ComPtr<IXMLDOMDocument> pDocument;
    HRESULT hResult = CoCreateInstance(kCLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, kIID_IXMLDOMDocument,
                                       reinterpret_cast<void**>(pDocument.put()));
    FAIL_IF(FAILED(hResult), hResult, TEXT("LoadXMLDom-CoCreateInstance"));

    // The parser is told to stay within the document; the declaration check below is what guarantees it.
    hResult = pDocument.get()->put_resolveExternals(VARIANT_FALSE);
    STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("LoadXMLDom-put_resolveExternals"), TEXT("FAILED(hResult)"));
    hResult = pDocument.get()->put_validateOnParse(VARIANT_FALSE);
    STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("LoadXMLDom-put_validateOnParse"), TEXT("FAILED(hResult)"));
    ComPtr<IXMLDOMDocument2> pDocument2;
    if (SUCCEEDED(pDocument.get()->QueryInterface(kIID_IXMLDOMDocument2, reinterpret_cast<void**>(pDocument2.put()))) &&
        pDocument2) {
        BString bstrProperty(SysAllocString(TEXT("ProhibitDTD")));
        VARIANT varTrue;
        VariantInit(&varTrue);
        varTrue.vt = VT_BOOL;
        varTrue.boolVal = VARIANT_TRUE;
        hResult = bstrProperty ? pDocument2.get()->setProperty(bstrProperty.get(), varTrue) : E_OUTOFMEMORY;
        STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("LoadXMLDom-setProperty(ProhibitDTD)"),
                           TEXT("FAILED(hResult)"));
    }

    std::string strResDataWithEnd;
    FAIL_IF_REASON(!TryResize(strResDataWithEnd, dwResDataSize), E_OUTOFMEMORY, TEXT("new memory"),
                   TEXT("lpResDataWithEnd == NULL"));
    if (dwResDataSize != 0) memcpy(&strResDataWithEnd[0], lpResData, dwResDataSize);
    WString wstrXml;
    hResult = UTF8ToUTF16(strResDataWithEnd.c_str(), wstrXml);
    FAIL_IF(FAILED(hResult), hResult, TEXT("LoadXMLDom-UTF8ToUTF16"));

    FAIL_IF(DeclaresDocumentTypeOrEntity(wstrXml), QORA_E_XML_PARSE, TEXT("LoadXMLDom-CheckDeclarations"));

    BString bstrXml(SysAllocStringLen(wstrXml.c_str(), static_cast<UINT>(wstrXml.size())));
    FAIL_IF_REASON(!bstrXml, E_OUTOFMEMORY, TEXT("new memory"), TEXT("bstrXml == NULL"));
    VARIANT_BOOL bIsSuccessful = VARIANT_FALSE;
    hResult = pDocument.get()->loadXML(bstrXml.get(), &bIsSuccessful);
    FAIL_IF(FAILED(hResult), hResult, TEXT("LoadXMLDom-loadXML"));
    // loadXML reports a document that does not parse as a success with the flag cleared.
    FAIL_IF(bIsSuccessful != VARIANT_TRUE, QORA_E_XML_PARSE, TEXT("LoadXMLDom-loadXML"));

    pXMLDom = std::move(pDocument);
    return QORA_OK;
}

HRESULT GetXMLRootNode(IXMLDOMDocument* pXMLDom, ComPtr<IXMLDOMNode>& pRootNode)
{
    TraceHelper scope(TEXT("GetXMLRootNode"));
    FAIL_IF(pXMLDom == NULL, E_INVALIDARG, TEXT("check parameter.\n"));
    ComPtr<IXMLDOMNode> pNode;
    HRESULT hResult = pXMLDom->get_lastChild(pNode.put());
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetXMLRootNode-get_lastChild"));
    if (pNode) {
        BString bstrNodeName;
        hResult = pNode.get()->get_nodeName(bstrNodeName.put());
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetXMLRootNode-get_nodeName"));
        TRACE_INFO_TEXT("bstrNodeName", bstrNodeName.get());
    }
    pRootNode = std::move(pNode);
    return QORA_OK;
}

HRESULT FindChildNode(IXMLDOMNode* pParentNode, const WCHAR* pwszChildNodeName, ComPtr<IXMLDOMNode>& pChildNode)
{
    TraceHelper scope(TEXT("FindChildNode"));
    FAIL_IF_REASON(pParentNode == NULL || pwszChildNodeName == NULL, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pParentNode == NULL||bstrChildNodeName==NULL"));
    TRACE_INFO_TEXT("pwszChildNodeName", pwszChildNodeName);

    ComPtr<IXMLDOMNodeList> pChildren;
    LONG lLength = 0;
    HRESULT hResult = ChildCount(scope, pParentNode, pChildren, lLength, TEXT("FindChildNode-get_childNodes"),
                                 TEXT("FindChildNode-get_length"));
    if (FAILED(hResult)) return hResult;
    for (LONG lIndex = 0; lIndex < lLength; ++lIndex) {
        ComPtr<IXMLDOMNode> pChild;
        hResult = pChildren.get()->get_item(lIndex, pChild.put());
        FAIL_IF(FAILED(hResult), hResult, TEXT("FindChildNode-get_item"));
        if (!pChild) continue;
        BString bstrNodeName;
        hResult = pChild.get()->get_nodeName(bstrNodeName.put());
        FAIL_IF(FAILED(hResult), hResult, TEXT("FindChildNode-get_nodeName"));
        // A containing name is taken for the wanted one: "P7bContentOld" answers for "P7bContent".
        if (bstrNodeName && StrStrIW(bstrNodeName.get(), pwszChildNodeName) != nullptr) {
            pChildNode = std::move(pChild);
            return QORA_OK;
        }
    }
    TraceResult(QORA_S_XML_NO_CHILD, TEXT("FindChildNode - no child of that name"));
    pChildNode.reset();
    return QORA_S_XML_NO_CHILD;
}

HRESULT GetNodeValue(IXMLDOMNode* pNode, WString& wstrNodeValue)
{
    TraceHelper scope(TEXT("GetNodeValue"));
    FAIL_IF(pNode == NULL, E_INVALIDARG, TEXT("check parameter.\n"));
    BString bstrText;
    HRESULT hResult = pNode->get_text(bstrText.put());
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetNodeValue-get_text"));

    const WCHAR* pwszText = bstrText ? bstrText.get() : TEXT("");
    size_t nBegin = 0, nEnd = SysStringLen(bstrText.get());
    while (nBegin < nEnd && IsXmlSpace(pwszText[nBegin])) ++nBegin;
    while (nEnd > nBegin && IsXmlSpace(pwszText[nEnd - 1])) --nEnd;
    WString wstrValue;
    FAIL_IF_REASON(!TryResize(wstrValue, nEnd - nBegin), E_OUTOFMEMORY, TEXT("New Memory.\n"),
                   TEXT("*bstrNodeValue == NULL"));
    if (nEnd > nBegin) memcpy(&wstrValue[0], pwszText + nBegin, (nEnd - nBegin) * sizeof(WCHAR));
    wstrNodeValue.swap(wstrValue);
    return QORA_OK;
}

HRESULT CheckCertChainfromBlobData(const BYTE* pbData, DWORD cbData)
{
    TraceHelper scope(TEXT("CheckCertChainfromBlobData"));
    return WalkDocument(scope, pbData, cbData, &CheckCertChainfromXMLDOMDoc, TEXT("CheckCertChainwithData-LoadXMLDom"),
                        TEXT("CheckCertChainwithData-CheckCertChainfromXMLDOMDoc"));
}

HRESULT CheckCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDom)
{
    TraceHelper scope(TEXT("CheckCertChainfromXMLDOMDoc"));
    ComPtr<IXMLDOMNode> pRootNode;
    HRESULT hResult = GetXMLRootNode(pXMLDom, pRootNode);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CheckCertChainfromXMLDOMDoc-GetXMLRootNode"));
    // Only the bundle counts: the roots are looked for through its self-signed members.
    ComPtr<IXMLDOMNode> pP7bContentNode;
    hResult = FindChildNode(pRootNode.get(), TEXT("P7bContent"), pP7bContentNode);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CheckCertChainfromXMLDOMDoc-FindChildNode"));
    WString wstrP7bContent;
    hResult = GetNodeValue(pP7bContentNode.get(), wstrP7bContent);
    FAIL_IF(FAILED(hResult), hResult, TEXT("CheckCertChainfromXMLDOMDoc-GetNodeValue"));
    ByteBuffer vecP7b;
    hResult = DecodeBase64Text(scope, wstrP7bContent.c_str(), TEXT("CheckCertChainfromXMLDOMDoc-UTF16ToUTF8"),
                               TEXT("CheckCertChainfromXMLDOMDoc-Base64DecodeEx"), vecP7b);
    if (FAILED(hResult)) return hResult;
    hResult = CheckCertificateChainIntegrity(vecP7b.data(), static_cast<DWORD>(vecP7b.size()));
    FAIL_IF(FAILED(hResult), hResult, TEXT("CheckCertChainfromXMLDOMDoc-CheckCertificateChainIntegrity"));
    return QORA_OK;
}

HRESULT CheckCertificateChainIntegrity(const BYTE* pCertData, DWORD dwCertDataSize)
{
    TraceHelper scope(TEXT("CheckCertificateChainIntegrity"));
    FAIL_IF_REASON(pCertData == NULL || dwCertDataSize <= 0, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pCertData == NULL||dwCertDataSize <=0"));
    CertStore hBundleStore;
    HRESULT hResult = ImportP7bCertificatestoStore(pCertData, dwCertDataSize, hBundleStore);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportP7bCertificatestoStore"));

    const BOOL bSupportSHA256 = CheckIsSystemSupportSHA256();
    // The user's views of "Root" and "CA", each opened when first needed; they show the machine's too.
    CertStore hRootStore, hCAStore;
    CertContext pCurrent;
    for (;;) {
        PCCERT_CONTEXT pNext = CertEnumCertificatesInStore(hBundleStore.get(), pCurrent.release());
        if (pNext == nullptr) break;
        pCurrent.reset(pNext);

        const bool bSelfSigned = IsSelfSigned(pNext);
        CERTIFICATE_QUERY_RESULT stSubject, stIssuer;
        hResult = QueryCertContextInfo(pNext, QUERYID_SUBJECT_FULL, stSubject);
        FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo"));
        hResult = QueryCertContextInfo(pNext, QUERYID_ISSUER, stIssuer);
        FAIL_IF(FAILED(hResult), hResult, TEXT("QueryCertContextInfo"));
        TRACE_INFO_TEXT("Subject", stSubject.wstrText.c_str());
        TRACE_INFO_TEXT("Issuer", stIssuer.wstrText.c_str());

        // A platform that cannot verify SHA-256 signatures never needs those certificates.
        const char* pszSignatureOID = pNext->pCertInfo->SignatureAlgorithm.pszObjId;
        if (!bSupportSHA256 && pszSignatureOID != nullptr && strcmp(pszSignatureOID, szOID_RSA_SHA256RSA) == 0) {
            TraceResult(QORA_OK, TEXT("CheckCertificateChainIntegrity - skip sha256RSA certificate"));
            continue;
        }

        CertStore& hSystemStore = bSelfSigned ? hRootStore : hCAStore;
        if (!hSystemStore) {
            hSystemStore.reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                             CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                             bSelfSigned ? TEXT("Root") : TEXT("CA")));
            FAIL_IF_REASON(!hSystemStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hSystemStore == NULL"));
        }
        hResult = CertificatesisExistinStore(pNext, hSystemStore.get());
        FAIL_IF(hResult != S_OK, hResult, TEXT("CertificatesisExistinStore"));
    }
    return QORA_OK;
}

HRESULT ImportP7bCertificatestoStore(const BYTE* pCertData, DWORD dwCertDataSize, CertStore& hCertStore)
{
    TraceHelper scope(TEXT("ImportP7bCertificatestoStore"));
    FAIL_IF_REASON(pCertData == NULL || dwCertDataSize <= 0, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pCertData == NULL||dwCertDataSize <=0"));
    CRYPT_DATA_BLOB stBundle = {dwCertDataSize, const_cast<BYTE*>(pCertData)};
    CertStore hStore(CertOpenStore(CERT_STORE_PROV_PKCS7, kCertEncoding, 0, CERT_STORE_READONLY_FLAG, &stBundle));
    FAIL_IF_REASON(!hStore, ResultFromLastError(), TEXT("AddCertificatetoStore-CertOpenStore"), TEXT("hCertStore == NULL"));
    hCertStore = std::move(hStore);
    return QORA_OK;
}

HRESULT CertificatesisExistinStore(PCCERT_CONTEXT pCertContext, HCERTSTORE hCertStore)
{
    TraceHelper scope(TEXT("CertificatesisExistinStore"));
    FAIL_IF_REASON(pCertContext == NULL || hCertStore == NULL, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pCertContext == NULL||hCertStore == NULL"));
    CertContext pTempCertContext(
        CertFindCertificateInStore(hCertStore, kCertEncoding, 0, CERT_FIND_EXISTING, pCertContext, nullptr));
    FAIL_IF_REASON(!pTempCertContext, ResultFromLastError(), TEXT("CertificatesisExistinStore-CertFindCertificateInStore."),
                   TEXT("pTempCertContext == NULL"));
    return QORA_OK;
}

HRESULT ImportCertificateChainfromResoure(WORD wResourceID)
{
    TraceHelper scope(TEXT("ImportCertificateChainfromResoure"));
    return GuardAllocation([&]() -> HRESULT {
        ByteBuffer vecDocument;
        HRESULT hResult = LoadModuleResource(GetChainDocumentModule(), wResourceID, vecDocument);
        FAIL_IF(FAILED(hResult), hResult, TEXT("LoadModuleResource"));
        hResult = ImportCertificateChainfromBlobData(vecDocument.data(), static_cast<DWORD>(vecDocument.size()));
        FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertificateChainfromBlobData"));
        return QORA_OK;
    });
}

HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData)
{
    TraceHelper scope(TEXT("ImportCertificateChainfromBlobData"));
    return WalkDocument(scope, pbData, cbData, &ImportCertChainfromXMLDOMDoc,
                        TEXT("ImportCertificateChainfromBlobData-LoadXMLDom"),
                        TEXT("ImportCertificateChainfromBlobData-ImportCertChainfromXMLDOMDoc"));
}

HRESULT ImportCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDom)
{
    TraceHelper scope(TEXT("ImportCertChainfromXMLDOMDoc"));
    ComPtr<IXMLDOMNode> pRootNode;
    HRESULT hResult = GetXMLRootNode(pXMLDom, pRootNode);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertChainfromXMLDOMDoc-GetXMLRootNode"));

    ComPtr<IXMLDOMNode> pSectionNode;
    hResult = FindChildNode(pRootNode.get(), TEXT("RootCACertificate"), pSectionNode);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertChainfromXMLDOMDoc-FindChildNode"));
    hResult = ParseRootCACertificateNode(pSectionNode.get());
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertChainfromXMLDOMDoc-ParseRootCACertificateNode"));

    hResult = FindChildNode(pRootNode.get(), TEXT("P7bContent"), pSectionNode);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertChainfromXMLDOMDoc-FindChildNode"));
    hResult = ParseP7bContentNode(pSectionNode.get());
    FAIL_IF(FAILED(hResult), hResult, TEXT("ImportCertChainfromXMLDOMDoc-ParseP7bContentNode"));
    return QORA_OK;
}

HRESULT ParseRootCACertificateNode(IXMLDOMNode* pRootCACertificateNode)
{
    TraceHelper scope(TEXT("ParseRootCACertificateNode"));
    FAIL_IF(pRootCACertificateNode == NULL, E_INVALIDARG, TEXT("check parameter."));
    ComPtr<IXMLDOMNodeList> pChildren;
    LONG lLength = 0;
    HRESULT hResult = ChildCount(scope, pRootCACertificateNode, pChildren, lLength,
                                 TEXT("ParseRootCACertificateNode-get_childNodes"),
                                 TEXT("ParseRootCACertificateNode-get_length"));
    if (FAILED(hResult)) return hResult;

    FILETIME ftMachineTime = {};
    hResult = GetMachineTime(ftMachineTime);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetMachineTime"));

    for (LONG lIndex = 0; lIndex < lLength; ++lIndex) {
        ComPtr<IXMLDOMNode> pCertificateNode;
        hResult = pChildren.get()->get_item(lIndex, pCertificateNode.put());
        FAIL_IF(FAILED(hResult), hResult, TEXT("ParseRootCACertificateNode-get_item"));
        if (pCertificateNode) {
            BString bstrNodeName;
            hResult = pCertificateNode.get()->get_nodeName(bstrNodeName.put());
            FAIL_IF(FAILED(hResult), hResult, TEXT("ParseRootCACertificateNode-get_nodeName"));
            TRACE_INFO_TEXT("bstrNodeName", bstrNodeName.get());
        }
        // One bad or expired root never keeps the others out.
        hResult = ParseCertificateNode(&ftMachineTime, pCertificateNode.get());
        STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("ParseCertificateNode"), TEXT("FAILED(hResult)"));
    }
    return QORA_OK;
}

HRESULT ParseCertificateNode(const FILETIME* pftMachineTime, IXMLDOMNode* pCertificateNode)
{
    TraceHelper scope(TEXT("ParseCertificateNode"));
    FAIL_IF(pCertificateNode == NULL, E_INVALIDARG, TEXT("Check parameter."));
    WString wstrImportPath, wstrEntryPoint, wstrContent;
    HRESULT hResult = GetRegisteredCertificateInfoNode(pCertificateNode, wstrImportPath, wstrEntryPoint, wstrContent);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetRegisteredCertificateInfoNode"));

    ByteBuffer vecCert;
    hResult = GetCertFromCertificateBlobProperties(wstrContent.c_str(), vecCert);
    FAIL_IF(FAILED(hResult), hResult, TEXT("GetCertificateContent"));
    CertContext pstCertContext(
        CertCreateCertificateContext(kCertEncoding, vecCert.data(), static_cast<DWORD>(vecCert.size())));
    FAIL_IF(!pstCertContext, ResultFromLastError(), TEXT("CertCreateCertificateContext"));

    // Only the flag counts: a certificate whose time cannot be judged is written.
    BOOL bExpired = FALSE;
    hResult = CheckCertValidTime(pftMachineTime, pstCertContext.get(), bExpired);
    STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("CheckCertValidTime"), TEXT("FAILED(hResult)"));
    if (bExpired) {
        TraceResult(QORA_OK, TEXT("ParseCertificateNode - expired root not written"));
        return QORA_OK;
    }
    hResult = WriteCertificatetoRegistry(wstrImportPath.c_str(), wstrEntryPoint.c_str(), wstrContent.c_str());
    FAIL_IF(FAILED(hResult), hResult, TEXT("WriteCertificatetoRegistry"));
    return QORA_OK;
}

HRESULT GetRegisteredCertificateInfoNode(IXMLDOMNode* pParentNode, WString& wstrImportPath, WString& wstrEntryPoint,
                                         WString& wstrContent)
{
    TraceHelper scope(TEXT("GetRegisteredCertificateInfoNode"));
    FAIL_IF(pParentNode == NULL, E_INVALIDARG, TEXT("check parameter."));
    ComPtr<IXMLDOMNodeList> pChildren;
    LONG lLength = 0;
    HRESULT hResult = ChildCount(scope, pParentNode, pChildren, lLength,
                                 TEXT("GetRegisteredCertificateInfoNode-get_childNodes"),
                                 TEXT("GetRegisteredCertificateInfoNode-get_length"));
    if (FAILED(hResult)) return hResult;
    REJECT_IF_REASON(lLength <= 2, QORA_E_XML_PARSE, TEXT("the number of RegeditInfo Child Node is error!"), TEXT("TRUE"));

    // By position, whatever the children's names.
    WString wstrValues[3];
    for (LONG lIndex = 0; lIndex < 3; ++lIndex) {
        ComPtr<IXMLDOMNode> pChild;
        hResult = pChildren.get()->get_item(lIndex, pChild.put());
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetRegisteredCertificateInfoNode-get_item"));
        hResult = GetNodeValue(pChild.get(), wstrValues[lIndex]);
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetRegisteredCertificateInfoNode-GetNodeValue"));
    }
    TRACE_INFO_TEXT("ImportPath", wstrValues[0].c_str());
    TRACE_INFO_TEXT("EntryPoint", wstrValues[1].c_str());
    wstrImportPath.swap(wstrValues[0]);
    wstrEntryPoint.swap(wstrValues[1]);
    wstrContent.swap(wstrValues[2]);
    return QORA_OK;
}

HRESULT GetCertFromCertificateBlobProperties(const WCHAR* pwszContent, ByteBuffer& vecCert)
{
    TraceHelper scope(TEXT("GetCertFromCertificateBlobProperties"));
    ByteBuffer vecBlob;
    HRESULT hResult = DecodeBase64Text(scope, pwszContent, TEXT("UTF16ToUTF8"), TEXT("Base64DecodeEx"), vecBlob);
    if (FAILED(hResult)) return hResult;

    // Elements of id, reserved and length (low 24 bits significant), then the data; the cursor measures every
    // header and every data run against what is left before it is read.
    ByteReader reader(vecBlob);
    DWORD nPropertyID = 0;
    DWORD nLen = 0;
    const BYTE* pbData = nullptr;
    for (;;) {
        DWORD dwReserved = 0;
        REJECT_IF_REASON(!reader.U32(nPropertyID) || !reader.U32(dwReserved) || !reader.U32(nLen), E_FAIL,
                         TEXT("Check regInfosize"), TEXT("dwCurentPos + nLen > dwRegInfoSize"));
        nPropertyID &= 0x00FFFFFF;
        nLen &= 0x00FFFFFF;
        const bool bLast = reader.Remaining() == nLen;
        REJECT_IF_REASON(!reader.Bytes(nLen, pbData), E_FAIL, TEXT("Check regInfosize"),
                         TEXT("dwCurentPos + nLen > dwRegInfoSize"));
        if (nPropertyID == CERT_BLOB_CERT_PROP_ID || bLast) break;
    }
    REJECT_IF(nPropertyID != CERT_BLOB_CERT_PROP_ID, E_FAIL, TEXT("Check Certificate node"));

    ByteBuffer vecData;
    FAIL_IF_REASON(!TryResize(vecData, nLen), E_OUTOFMEMORY, TEXT("New buffer"), TEXT("!pbyCert"));
    if (nLen != 0) memcpy(vecData.data(), pbData, nLen);
    TRACE_INFO_VALUE("nLen", nLen);
    vecCert.swap(vecData);
    return QORA_OK;
}

HRESULT WriteCertificatetoRegistry(const WCHAR* pwszImportPath, const WCHAR* pwszEntryPoint, const WCHAR* pwszContent)
{
    TraceHelper scope(TEXT("WriteCertificatetoRegistry"));
    ByteBuffer vecBlob;
    HRESULT hResult = DecodeBase64Text(scope, pwszContent, TEXT("WriteCertificatetoRegistry-UTF16ToUTF8"),
                                       TEXT("WriteCertificatetoRegistry-Base64DecodeEx"), vecBlob);
    if (FAILED(hResult)) return hResult;
    hResult = RegWriteBinaryValue(pwszImportPath, pwszEntryPoint, vecBlob.data(), static_cast<DWORD>(vecBlob.size()));
    FAIL_IF(FAILED(hResult), hResult, TEXT("WriteCertificatetoRegistry-RegWriteBinaryValue"));
    return QORA_OK;
}

HRESULT RegWriteBinaryValue(const WCHAR* pwszKeyPath, const WCHAR* pwszSubKey, const BYTE* pbData, DWORD cbData)
{
    TraceHelper scope(TEXT("RegWriteBinaryValue"));
    FAIL_IF_REASON(pwszKeyPath == NULL || pwszSubKey == NULL || pbData == NULL, E_INVALIDARG, TEXT("check parameter."),
                   TEXT("pwszKeyPath == NULL||pwszSubKey == NULL||pbData == NULL"));
    TRACE_INFO_TEXT("pwszKeyPath", pwszKeyPath);
    TRACE_INFO_TEXT("pwszSubKey", pwszSubKey);

    RegKey hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pwszKeyPath, 0, KEY_ALL_ACCESS, hKey.put());
    FAIL_IF(lResult != ERROR_SUCCESS, ResultFromError(lResult), TEXT("RegOpenKeyEx FAILED."));
    RegKey hSubKey;
    DWORD dwDisposition = 0;
    WCHAR wszEmptyClass[] = TEXT("");
    lResult = RegCreateKeyExW(hKey.get(), pwszSubKey, 0, wszEmptyClass, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                              nullptr, hSubKey.put(), &dwDisposition);
    FAIL_IF(lResult != ERROR_SUCCESS, ResultFromError(lResult), TEXT("RegCreateKeyEx FAILED."));
    lResult = RegSetValueExW(hSubKey.get(), TEXT("Blob"), 0, REG_BINARY, pbData, cbData);
    FAIL_IF(lResult != ERROR_SUCCESS, ResultFromError(lResult), TEXT("RegSetValueEx FAILED."));
    return QORA_OK;
}

HRESULT ParseP7bContentNode(IXMLDOMNode* pP7bContentNode)
{
    TraceHelper scope(TEXT("ParseP7bContentNode"));
    FAIL_IF(pP7bContentNode == NULL, E_INVALIDARG, TEXT("check parameter."));
    WString wstrP7bContent;
    HRESULT hResult = GetNodeValue(pP7bContentNode, wstrP7bContent);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseP7bContentNode-GetNodeValue"));
    ByteBuffer vecP7b;
    hResult = DecodeBase64Text(scope, wstrP7bContent.c_str(), TEXT("ParseP7bContentNode-UTF16ToUTF8"),
                               TEXT("ParseP7bContentNode-Base64DecodeEx"), vecP7b);
    if (FAILED(hResult)) return hResult;
    CertStore hCertStore;
    hResult = ImportP7bCertificatestoStore(vecP7b.data(), static_cast<DWORD>(vecP7b.size()), hCertStore);
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseP7bContentNode-ImportP7bCertificatestoStore"));
    hResult = AddCACertficatetoStore(hCertStore.get());
    FAIL_IF(FAILED(hResult), hResult, TEXT("ParseP7bContentNode-AddCACertficatetoStore"));
    return QORA_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE hCertStore)
{
    TraceHelper scope(TEXT("AddCACertficatetoStore"));
    FAIL_IF(hCertStore == NULL, E_INVALIDARG, TEXT("check parameter."));
    CertStore hCAStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                     TEXT("CA")));
    FAIL_IF_REASON(!hCAStore, ResultFromLastError(), TEXT("CertOpenStore"), TEXT("hCAStore == NULL"));
    // What was added before a failure stays added, so the commit runs on every path.
    CommitOnClose commit(hCAStore.get());

    // Without the time no certificate counts as expired.
    FILETIME ftMachineTime = {};
    HRESULT hResult = GetMachineTime(ftMachineTime);
    STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("GetMachineTime"), TEXT("FAILED(hResult)"));

    CertContext pCurrent;
    for (;;) {
        PCCERT_CONTEXT pNext = CertEnumCertificatesInStore(hCertStore, pCurrent.release());
        if (pNext == nullptr) break;
        pCurrent.reset(pNext);

        CERTIFICATE_QUERY_RESULT stSubject;
        if (SUCCEEDED(QueryCertContextInfo(pNext, QUERYID_SUBJECT_FULL, stSubject)))
            TRACE_INFO_TEXT("Subject", stSubject.wstrText.c_str());
        BOOL bExpired = FALSE;
        hResult = CheckCertValidTime(&ftMachineTime, pNext, bExpired);
        STEP_FAILED_REASON(FAILED(hResult), hResult, TEXT("CheckCertValidTime"), TEXT("FAILED(hResult)"));
        if (bExpired || IsSelfSigned(pNext)) {
            TRACE_INFO_VALUE("Skipped (expired or self-signed)", 1);
            continue;
        }
        if (!CertAddCertificateContextToStore(hCAStore.get(), pNext, CERT_STORE_ADD_NEW, nullptr)) {
            const DWORD dwError = GetLastError();
            // Installed before: not an error.
            FAIL_IF_REASON(dwError != static_cast<DWORD>(CRYPT_E_EXISTS), ResultFromError(static_cast<LONG>(dwError)),
                           TEXT("CertAddCertificateContextToStore"), TEXT("TRUE"));
        }
    }
    FAIL_IF_REASON(!commit.Commit(), ResultFromLastError(), TEXT("CertControlStore(CERT_STORE_CTRL_COMMIT)"),
                   TEXT("!bResult"));
    return QORA_OK;
}

HRESULT CheckCertValidTime(const FILETIME* pftMachineTime, PCCERT_CONTEXT pstCertContext, BOOL& bExpired)
{
    TraceHelper scope(TEXT("CheckCertValidTime"));
    bExpired = FALSE;
    FAIL_IF(NULL == pstCertContext, E_INVALIDARG, TEXT("Check CertContext"));
    FAIL_IF_REASON(NULL == pftMachineTime, E_INVALIDARG, TEXT("Check MachineTime"), TEXT("NULL == pstMachineTime"));
    CERTIFICATE_QUERY_RESULT stSubject;
    HRESULT hResult = QueryCertContextInfo(pstCertContext, QUERYID_SUBJECT_FULL, stSubject);
    FAIL_IF(hResult != S_OK, hResult, TEXT("QueryCertContextInfo"));
    TRACE_INFO_TEXT("Subject", stSubject.wstrText.c_str());

    // A certificate not yet valid counts as unexpired.
    const FILETIME& ftNotAfter = pstCertContext->pCertInfo->NotAfter;
    bExpired = CompareFileTime(&ftNotAfter, pftMachineTime) == -1 ? TRUE : FALSE;
    SYSTEMTIME stNotAfter = {};
    WString wstrNotAfter;
    if (FileTimeToSystemTime(&ftNotAfter, &stNotAfter) && SUCCEEDED(ConvertUTCtimetoLocalTime(&stNotAfter)) &&
        SUCCEEDED(GetTimeString(&stNotAfter, wstrNotAfter)))
        TRACE_INFO_TEXT("NotAfter", wstrNotAfter.c_str());
    TRACE_INFO_VALUE("bExpired", bExpired);
    return QORA_OK;
}

HRESULT GetMachineTime(FILETIME& ftMachineTime)
{
    TraceHelper scope(TEXT("GetMachineTime"));
    SYSTEMTIME stLocal = {}, stUTC = {};
    GetLocalTime(&stLocal);
    BOOL bResult = TzSpecificLocalTimeToSystemTime(nullptr, &stLocal, &stUTC);
    FAIL_IF(!bResult, ResultFromLastError(), TEXT("TzSpecificLocalTimeToSystemTime"));
    FILETIME ftTime = {};
    bResult = SystemTimeToFileTime(&stUTC, &ftTime);
    FAIL_IF(!bResult, ResultFromLastError(), TEXT("SystemTimeToFileTime"));
    ftMachineTime = ftTime;
    return QORA_OK;
}
