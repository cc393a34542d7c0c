// Brindlemark/agent/CryptoAgent.cpp — the agent's settings, its last result and the error texts.
#include "agent/CryptoAgent.h"

#include "Owners.h"
#include "chain/CertificateChainOperate.h"
#include "install/ImportEncryptCert.h"
#include "install/ImportSignCert.h"
#include "inventory/CertificateInventory.h"
#include "provider/CspEnumeration.h"
#include "provider/PairCleanup.h"
#include "request/CertificateRequisition.h"
#include "trace/TraceHelper.h"

#include <new>
#include <stdexcept>

namespace {

HMODULE g_hResourceModule = nullptr;

constexpr int kErrorDescUnits = 512;  // work buffer; texts take at most 511 units
constexpr HRESULT kOwnCodeBit = 0x20000000;
const WCHAR kBaseProviderName[] = TEXT("Microsoft Base Cryptographic Provider v1.0");

bool EqualsIgnoringCase(const WString& wstr, const WCHAR* pwszOther)
{
    return CompareStringOrdinal(wstr.c_str(), static_cast<int>(wstr.size()), pwszOther, -1, TRUE) == CSTR_EQUAL;
}

bool Contains(const WString& wstr, const WCHAR* pwszPart) { return wstr.find(pwszPart) != WString::npos; }

// Hands out a new BSTR copy; E_OUTOFMEMORY if the platform has none to give.
HRESULT NewBstr(const WString& wstr, BSTR* pbstr)
{
    BSTR bstr = SysAllocStringLen(wstr.c_str(), static_cast<UINT>(wstr.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    *pbstr = bstr;
    return QORA_OK;
}

// The request text is Base64: ASCII widens unit by unit.
WString WidenAscii(const std::string& str) { return WString(str.begin(), str.end()); }

}  // namespace

void SetResourceModule(HMODULE hModule)
{
    TraceHelper scope(TEXT("SetResourceModule"));
    g_hResourceModule = hModule;
}

HMODULE GetResourceModule()
{
    TraceHelper scope(TEXT("GetResourceModule"));
    return g_hResourceModule != nullptr ? g_hResourceModule : GetModuleHandleW(nullptr);
}

CCryptoAgent::CCryptoAgent() : m_hrLastResult(QORA_OK), m_lKeyLength(0), m_hrFirstPairResult(QORA_OK) {}

CCryptoAgent::~CCryptoAgent() = default;

template <typename Body>
HRESULT CCryptoAgent::RecordResult(Body body)
{
    const HRESULT hResult = GuardAllocation(body, TEXT("CCryptoAgent - New Memory"));
    m_hrLastResult = hResult;
    return hResult;
}

HRESULT CCryptoAgent::QORA_SetCSPInfo(LONG lKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbResult)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_SetCSPInfo"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbResult == nullptr, E_POINTER, TEXT("Invalid parameter."));
        REJECT_IF(bstrCSPName == NULL, E_INVALIDARG, TEXT("Invalid parameter."));
        TRACE_INFO_VALUE("lKeyLength", lKeyLength);
        TRACE_INFO_TEXT("bstrCSPName", bstrCSPName);

        WString wstrCSPName = TrimSpaces(WString(bstrCSPName));
        REJECT_IF(wstrCSPName.size() == 0, E_INVALIDARG, TEXT("CSP name cannot be NULL."));

        // The Microsoft software providers take only the lengths they can generate; other providers decide.
        if (Contains(wstrCSPName, TEXT("Microsoft"))) {
            if (Contains(wstrCSPName, TEXT("Base"))) {
                const bool bSupported = lKeyLength == 512 || lKeyLength == 1024;
                REJECT_IF_REASON(!bSupported, QORA_E_KEY_LENGTH, TEXT("key length doesnot support(base)."), TEXT("1"));
            } else {
                const bool bSupported = lKeyLength == 512 || lKeyLength == 1024 || lKeyLength == 2048 || lKeyLength == 4096;
                REJECT_IF_REASON(!bSupported, QORA_E_KEY_LENGTH, TEXT("key length doesnot support(non-base)."),
                               TEXT("1"));
            }
        }

        // Pages sometimes send the name HTML-escaped once.
        const size_t nAmp = wstrCSPName.find(TEXT("&amp;"));
        if (nAmp != WString::npos) wstrCSPName.replace(nAmp, 5, TEXT("&"));

        m_lKeyLength = lKeyLength;
        m_wstrCSPName.swap(wstrCSPName);
        *pbResult = VARIANT_TRUE;
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbResult)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_SetKeyAlgorithm"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbResult == nullptr, E_POINTER, TEXT("Invalid parameter."));
        REJECT_IF(bstrKeyAlgorithm == NULL, E_INVALIDARG, TEXT("Invalid parameter."));
        TRACE_INFO_TEXT("bstrKeyAlgorithm", bstrKeyAlgorithm);

        WString wstrKeyAlgorithm(bstrKeyAlgorithm);
        REJECT_IF(wstrKeyAlgorithm.size() == 0, E_INVALIDARG, TEXT("key algorithm cannot be null."));
        wstrKeyAlgorithm = TrimSpaces(wstrKeyAlgorithm);

        const bool bSupported = EqualsIgnoringCase(wstrKeyAlgorithm, TEXT("RSA")) ||
                                EqualsIgnoringCase(wstrKeyAlgorithm, TEXT("SM2"));
        REJECT_IF_REASON(!bSupported, QORA_E_KEY_ALGORITHM, TEXT("key algorithm does not support."), TEXT("1"));

        m_wstrKeyAlgorithm.swap(wstrKeyAlgorithm);
        *pbResult = VARIANT_TRUE;
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_GetContainer(BSTR* pbstrContainerName)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_GetContainer"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbstrContainerName == nullptr, E_POINTER, TEXT("Invalid parameter."));
        *pbstrContainerName = nullptr;
        TRACE_INFO_TEXT("m_wstrContainerName", m_wstrContainerName.c_str());
        HRESULT hResult = NewBstr(m_wstrContainerName, pbstrContainerName);
        FAIL_IF(FAILED(hResult), hResult, TEXT("SysAllocString"));
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::DescribeResultCode(HRESULT hrCode, BSTR* pbstrErrorDesc)
{
    TraceHelper scope(TEXT("CCryptoAgent::DescribeResultCode"));
    REJECT_IF(pbstrErrorDesc == nullptr, E_POINTER, TEXT("Invalid parameter."));
    *pbstrErrorDesc = nullptr;
    TRACE_INFO_VALUE("hrCode", hrCode);

    WCHAR wszDesc[kErrorDescUnits] = {};
    const int nMaxUnits = kErrorDescUnits - 1;
    int nLength = 0;
    if ((hrCode & kOwnCodeBit) != 0) {
        // The platform's resource loader picks the language table of the user interface.
        nLength = LoadStringW(GetResourceModule(), static_cast<UINT>(hrCode & 0xFFFF), wszDesc, kErrorDescUnits);
        STEP_FAILED_REASON(nLength <= 0, ResultFromLastError(), TEXT("LoadStringW"), TEXT("nLength <= 0"));
    } else {
        // Inserts such as %1 stay as they are: there are no arguments to fill them from.
        nLength = static_cast<int>(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                                  static_cast<DWORD>(hrCode), 0, wszDesc, kErrorDescUnits, nullptr));
        STEP_FAILED_REASON(nLength <= 0, ResultFromLastError(), TEXT("FormatMessageW"), TEXT("nLength <= 0"));
    }
    // A failed lookup leaves the text empty: the description is the code alone.
    if (nLength < 0 || nLength > nMaxUnits) nLength = 0;
    wszDesc[nLength] = 0;

    static const WCHAR kHexDigits[] = TEXT("0123456789abcdef");
    WCHAR wszSuffix[16] = {TEXT('\n'), TEXT('('), TEXT('0'), TEXT('x')};
    int nSuffix = 4;
    for (int nShift = 28; nShift >= 0; nShift -= 4)
        wszSuffix[nSuffix++] = kHexDigits[(static_cast<DWORD>(hrCode) >> nShift) & 0xF];
    wszSuffix[nSuffix++] = TEXT(')');
    for (int i = 0; i < nSuffix && nLength < nMaxUnits; ++i) wszDesc[nLength++] = wszSuffix[i];
    wszDesc[nLength] = 0;

    BSTR bstrDesc = SysAllocStringLen(wszDesc, static_cast<UINT>(nLength));
    FAIL_IF(bstrDesc == nullptr, E_OUTOFMEMORY, TEXT("SysAllocString"));
    *pbstrErrorDesc = bstrDesc;
    return QORA_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrErrorDesc)
{
    TraceHelper scope(TEXT("CCryptoAgent::GetLastErrorDesc"));
    LastErrorKeeper keepLastError;
    // Reads the last result without recording one, so the page may ask more than once.
    return DescribeResultCode(m_hrLastResult, pbstrErrorDesc);
}

namespace {

// COM for the calling thread, for as long as the chain check runs.
class ComInitialization {
public:
    ComInitialization() : m_hResult(CoInitialize(nullptr)) {}
    ~ComInitialization()
    {
        if (SUCCEEDED(m_hResult)) CoUninitialize();
    }
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    HRESULT Result() const { return m_hResult; }

private:
    HRESULT m_hResult;
};

}  // namespace

HRESULT CCryptoAgent::QORA_CheckCertificateChain(VARIANT_BOOL* pbChainIsGood)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_CheckCertificateChain"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbChainIsGood == nullptr, E_POINTER, TEXT("Invalid parameter."));
        *pbChainIsGood = VARIANT_FALSE;
        ComInitialization comInitialization;
        HRESULT hResult = comInitialization.Result();
        FAIL_IF(FAILED(hResult), hResult, TEXT("CoInitialize"));

        // The two RSA chains, production then test, from the module this code lives in.
        static const struct {
            WORD wResourceID;
            const WCHAR* pwszLoadStep;
            const WCHAR* pwszCheckStep;
        } kChains[] = {
            {IDR_RSA_CERTIFICATE_CHAIN, TEXT("LoadModuleResource(RSA operation)"),
             TEXT("CheckCertChainfromBlobData(RSA operation)")},
            {IDR_TEST_RSA_CERTIFICATE_CHAIN, TEXT("LoadModuleResource(RSA test)"),
             TEXT("CheckCertChainfromBlobData(RSA test)")},
        };
        const HMODULE hModule = GetChainDocumentModule();
        for (const auto& stChain : kChains) {
            ByteBuffer vecDocument;
            hResult = LoadModuleResource(hModule, stChain.wResourceID, vecDocument);
            FAIL_IF(FAILED(hResult), hResult, stChain.pwszLoadStep);
            hResult = CheckCertChainfromBlobData(vecDocument.data(), static_cast<DWORD>(vecDocument.size()));
            FAIL_IF(FAILED(hResult), hResult, stChain.pwszCheckStep);
        }
        *pbChainIsGood = VARIANT_TRUE;
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_GetCSPInfo(BSTR* pbstrCSPInfo)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_GetCSPInfo"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbstrCSPInfo == nullptr, E_POINTER, TEXT("Invalid parameter."));
        WString wstrList;
        HRESULT hResult = GetAllCSPName(wstrList);
        FAIL_IF(FAILED(hResult), hResult, TEXT("QORA_GetCSPInfo-GetAllCSPName."));
        hResult = NewBstr(wstrList, pbstrCSPInfo);
        FAIL_IF(FAILED(hResult), hResult, TEXT("SysAllocString"));
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                          VARIANT_BOOL* pbResult)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_ImportSignCert"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbResult == nullptr, E_POINTER, TEXT("Invalid parameter."));
        REJECT_IF(bstrSignCert == NULL, E_INVALIDARG, TEXT("bstrSignCert Invalid parameter."));
        REJECT_IF(bstrContainerName == NULL, E_INVALIDARG, TEXT("bstrContainerName Invalid parameter."));
        TRACE_INFO_VALUE("lCertType", lCertType);
        TRACE_INFO_TEXT("bstrContainerName", bstrContainerName);

        WString wstrSignCert = TrimSpaces(WString(bstrSignCert));
        const WString wstrContainerName = TrimSpaces(WString(bstrContainerName));

        // Type 3 brings the two certificates of a pair in two calls, into key specs 1 and 2.
        DWORD dwKeySpec = 0;
        if (lCertType == 1 || lCertType == 2) {
            dwKeySpec = static_cast<DWORD>(lCertType);
        } else if (lCertType == 3 && m_wstrFirstPairContainer.empty()) {
            // A new pair starts clean: nothing an earlier pair held is reported against it.
            dwKeySpec = AT_KEYEXCHANGE;
            m_wstrFirstPairContainer = wstrContainerName;
            m_hrFirstPairResult = QORA_OK;
        } else if (lCertType == 3 && m_hrFirstPairResult == QORA_OK) {
            dwKeySpec = AT_SIGNATURE;
            m_wstrSecondPairContainer = wstrContainerName;
        } else if (lCertType == 3) {
            // The pair's first import failed: neither half may stay.
            DeleteMultiCertContainer(m_wstrFirstPairContainer, wstrContainerName, m_wstrCSPName);
            m_wstrFirstPairContainer.clear();
            const HRESULT hrHeld = m_hrFirstPairResult;
            m_hrFirstPairResult = QORA_OK;
            REJECT_IF_REASON(true, hrHeld, TEXT("Import RSA single certificate"), TEXT("TRUE"));
        } else {
            REJECT_IF_REASON(true, E_INVALIDARG, TEXT("Check lCertType"), TEXT("TRUE"));
        }

        const HRESULT hResult = ImportSignCert(m_wstrKeyAlgorithm, wstrSignCert, dwKeySpec, m_wstrCSPName,
                                               wstrContainerName);
        if (FAILED(hResult) && lCertType == 3) {
            if (!m_wstrFirstPairContainer.empty() && m_wstrSecondPairContainer.empty()) {
                // The first half's failure is reported when the second half comes.
                TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("ImportSignCert"), TEXT("FAILED(hResult)"),
                                 hResult);
                m_hrFirstPairResult = hResult;
                *pbResult = VARIANT_TRUE;
                return QORA_OK;
            }
            DeleteMultiCertContainer(m_wstrFirstPairContainer, wstrContainerName, m_wstrCSPName);
            m_wstrFirstPairContainer.clear();
            m_wstrSecondPairContainer.clear();
        }
        REJECT_IF(FAILED(hResult), hResult, TEXT("ImportSignCert"));
        *pbResult = VARIANT_TRUE;
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                             LONG lEncCertPrivKeyFlags, VARIANT_BOOL* pbResult)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_ImportEncryptCert"));
    LastErrorKeeper keepLastError;
    const HRESULT hResult = RecordResult([&]() -> HRESULT {
        REJECT_IF(pbResult == nullptr, E_POINTER, TEXT("Invalid parameter."));
        REJECT_IF_REASON(bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || bstrContainerName == NULL ||
                             0 == bstrEncryptedPrivateKey[0] || 0 == bstrP7Cert[0] || 0 == bstrContainerName[0],
                         E_INVALIDARG, TEXT("Invalid parameter."),
                         TEXT("bstrEncryptedPrivateKey == NULL || bstrP7Cert == NULL || bstrContainerName == NULL || "
                              "0 == wcslen(bstrEncryptedPrivateKey) || 0 == wcslen(bstrP7Cert) || "
                              "0 == wcslen(bstrContainerName)"));
        TRACE_INFO_TEXT("bstrContainerName", bstrContainerName);
        TRACE_INFO_VALUE("lEncCertPrivKeyFlags", lEncCertPrivKeyFlags);
        const WString wstrEncryptedPrivateKey = TrimSpaces(WString(bstrEncryptedPrivateKey));
        const WString wstrP7Cert = TrimSpaces(WString(bstrP7Cert));
        m_wstrContainerName = TrimSpaces(WString(bstrContainerName));

        const HRESULT hrImport = ImportEncryptCertEx(m_wstrCSPName, m_wstrContainerName, m_wstrKeyAlgorithm,
                                                     wstrEncryptedPrivateKey, wstrP7Cert, m_lKeyLength,
                                                     lEncCertPrivKeyFlags);
        if (FAILED(hrImport) && !m_wstrFirstPairContainer.empty() && !m_wstrSecondPairContainer.empty())
            DeleteMultiCertContainer(m_wstrFirstPairContainer, m_wstrSecondPairContainer, m_wstrCSPName);
        REJECT_IF_REASON(FAILED(hrImport), hrImport, TEXT("ImportEncryptCertEx"), TEXT("FAILED(hResult)"));
        *pbResult = VARIANT_TRUE;
        return QORA_OK;
    });
    // A pair ends with the encryption import, whatever its outcome, and what it held ends with it.
    m_wstrFirstPairContainer.clear();
    m_wstrSecondPairContainer.clear();
    m_hrFirstPairResult = QORA_OK;
    return hResult;
}

HRESULT CCryptoAgent::QORA_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType, LONG lSignPrivKeyGenFlags,
                                                 BSTR* pbstrPKCS10)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_PKCS10CertRequisition"));
    LastErrorKeeper keepLastError;
    std::string strRequest;
    HRESULT hResult = RecordResult([&]() -> HRESULT {
        REJECT_IF(pbstrPKCS10 == nullptr, E_POINTER, TEXT("Invalid parameter."));
        *pbstrPKCS10 = nullptr;
        const bool bIsRSA = EqualsIgnoringCase(m_wstrKeyAlgorithm, TEXT("RSA"));
        const bool bIsSM2 = EqualsIgnoringCase(m_wstrKeyAlgorithm, TEXT("SM2"));
        REJECT_IF_REASON(!bIsRSA && !bIsSM2, QORA_E_KEY_ALGORITHM, TEXT("Invalid key algorithm."), TEXT("true"));
        // Type 1 puts the signing key in the exchange slot; a double request keeps slot 1 for the exchange key.
        const DWORD dwKeySpec = lCertType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        return RequestWithSettings(scope, bstrSubjectDN, lCertType, dwKeySpec, bIsRSA, lSignPrivKeyGenFlags, CALG_SHA1,
                                   strRequest);
    });
    // A failed request still answers a string, the empty one.
    if (pbstrPKCS10 == nullptr) return hResult;
    const HRESULT hrBstr = NewBstr(WidenAscii(strRequest), pbstrPKCS10);
    if (FAILED(hrBstr) && SUCCEEDED(hResult)) hResult = m_hrLastResult = hrBstr;
    return hResult;
}

HRESULT CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                        LONG lSignPrivKeyGenFlags, BSTR* pbstrPKCS10)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_PKCS10CertRequisitionwithMD5"));
    LastErrorKeeper keepLastError;
    std::string strRequest;
    HRESULT hResult = RecordResult([&]() -> HRESULT {
        REJECT_IF(pbstrPKCS10 == nullptr, E_POINTER, TEXT("Invalid parameter."));
        *pbstrPKCS10 = nullptr;
        // MD5 signatures exist only for RSA.
        REJECT_IF_REASON(!EqualsIgnoringCase(m_wstrKeyAlgorithm, TEXT("RSA")), QORA_E_KEY_ALGORITHM,
                         TEXT("Invalid key algorithm."), TEXT("true"));
        REJECT_IF_REASON(bstrSubjectDN == NULL || 0 == SysStringLen(bstrSubjectDN) || 0 == bstrSubjectDN[0],
                         E_INVALIDARG, TEXT("Invalid parameter."),
                         TEXT("bstrSubjectDN == NULL || 0 == wcslen(bstrSubjectDN)"));
        REJECT_IF_REASON(lCertType != 1 && lCertType != 2, E_INVALIDARG, TEXT("lCertType Invalid parameter."),
                         TEXT("TRUE"));
        return RequestWithSettings(scope, bstrSubjectDN, lCertType, static_cast<DWORD>(lCertType), true,
                                   lSignPrivKeyGenFlags, CALG_MD5, strRequest);
    });
    if (pbstrPKCS10 == nullptr) return hResult;
    const HRESULT hrBstr = NewBstr(WidenAscii(strRequest), pbstrPKCS10);
    if (FAILED(hrBstr) && SUCCEEDED(hResult)) hResult = m_hrLastResult = hrBstr;
    return hResult;
}

// The request with the agent's CSP and key length; the container is remembered only when all of it succeeded.
HRESULT CCryptoAgent::RequestWithSettings(const TraceHelper& scope, BSTR bstrSubjectDN, LONG lCertType,
                                          DWORD dwKeySpec, bool bIsRSA, LONG lSignPrivKeyGenFlags, ALG_ID algHash,
                                          std::string& strRequest)
{
    TRACE_INFO_TEXT("bstrSubjectDN", bstrSubjectDN);
    TRACE_INFO_VALUE("lCertType", lCertType);
    TRACE_INFO_VALUE("lSignPrivKeyGenFlags", lSignPrivKeyGenFlags);
    std::string strNewRequest;
    WString wstrContainerName;
    HRESULT hResult = PKCS10CertRequisition(m_wstrCSPName, bstrSubjectDN, lCertType, dwKeySpec, bIsRSA ? TRUE : FALSE,
                                            static_cast<DWORD>(m_lKeyLength), static_cast<DWORD>(lSignPrivKeyGenFlags),
                                            algHash, strNewRequest, wstrContainerName);
    FAIL_IF(FAILED(hResult), hResult, TEXT("PKCS10CertRequisition FAILED"));
    m_wstrContainerName.swap(wstrContainerName);
    strRequest.swap(strNewRequest);
    return QORA_OK;
}

HRESULT CCryptoAgent::QORA_GetAllCertInfo(BSTR bstrCSPNameList, BSTR* pbstrCertInfo)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_GetAllCertInfo"));
    LastErrorKeeper keepLastError;
    return RecordResult([&]() -> HRESULT {
        REJECT_IF(pbstrCertInfo == nullptr, E_POINTER, TEXT("Invalid parameter."));
        WString wstrCertInfo;
        HRESULT hResult = GetAllCertificatesInfo(scope, bstrCSPNameList, wstrCertInfo);
        if (FAILED(hResult)) return hResult;
        hResult = NewBstr(wstrCertInfo, pbstrCertInfo);
        FAIL_IF(FAILED(hResult), hResult, TEXT("SysAllocString"));
        return QORA_OK;
    });
}

HRESULT CCryptoAgent::QORA_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbPermitted)
{
    TraceHelper scope(TEXT("CCryptoAgent::QORA_HavePermissiontoGenerateKeyPair"));
    LastErrorKeeper keepLastError;
    // This probe leaves the last result as the previous operation left it.
    return GuardAllocation([&]() -> HRESULT {
        REJECT_IF(pbPermitted == nullptr, E_POINTER, TEXT("Invalid parameter."));
        *pbPermitted = VARIANT_FALSE;
        WString wstrList;
        HRESULT hResult = GetAllCSPName(wstrList);
        FAIL_IF(FAILED(hResult), hResult, TEXT("GetAllCSPName"));
        FAIL_IF_REASON(!Contains(wstrList, kBaseProviderName), E_ACCESSDENIED,
                       TEXT("Find Microsoft Base Cryptographic Provider v1.0"), TEXT("FAILED(hResult)"));

        WString wstrContainer;
        ByteBuffer vecPublicKey;
        CryptProv hProv;
        hResult = CreatePublicKey(wstrContainer, vecPublicKey, 1024, kBaseProviderName, TRUE, AT_KEYEXCHANGE, TRUE,
                                  hProv, 0);
        hProv.reset();
        FAIL_IF(FAILED(hResult), hResult, TEXT("CreatePublicKey"));
        *pbPermitted = VARIANT_TRUE;

        // The probe's container has served its purpose; its removal does not change the answer.
        HCRYPTPROV hDeleted = 0;
        const BOOL bDeleted = CryptAcquireContextW(&hDeleted, wstrContainer.c_str(), kBaseProviderName, PROV_RSA_FULL,
                                                   CRYPT_DELETEKEYSET);
        STEP_FAILED_REASON(bDeleted == FALSE, ResultFromLastError(), TEXT("CryptAcquireContext(DeleteKeySet)"),
                           TEXT("bRetCode == FALSE"));
        return QORA_OK;
    }, TEXT("CCryptoAgent - New Memory"));
}

