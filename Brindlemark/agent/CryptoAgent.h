// Brindlemark/agent/CryptoAgent.h — the one object through which both front ends reach every certificate
// operation: the page's settings, the container of the last request, pair-import bookkeeping and the last result.
#pragma once
#include "Common.h"
#include "ResultCode.h"
#include "provider/CspEnumeration.h"
#include "provider/PairCleanup.h"

#include <string>

class TraceHelper;

// The module whose resources the agent loads (string tables, chain documents). The host leaves it at its
// own executable; the plug-in sets its DLL's handle at start. Null means the process's executable.
void SetResourceModule(HMODULE hModule);
HMODULE GetResourceModule();

class CCryptoAgent final {
public:
    CCryptoAgent();
    ~CCryptoAgent();
    CCryptoAgent(const CCryptoAgent&) = delete;
    CCryptoAgent& operator=(const CCryptoAgent&) = delete;

    // The twelve operations, in slot order. Each returns its result code; returned BSTRs belong to the caller.
    virtual HRESULT QORA_CheckCertificateChain(VARIANT_BOOL* pbChainIsGood);
    virtual HRESULT QORA_GetCSPInfo(BSTR* pbstrCSPInfo);
    virtual HRESULT QORA_SetCSPInfo(LONG lKeyLength, BSTR bstrCSPName, VARIANT_BOOL* pbResult);
    virtual HRESULT QORA_SetKeyAlgorithm(BSTR bstrKeyAlgorithm, VARIANT_BOOL* pbResult);
    virtual HRESULT QORA_GetContainer(BSTR* pbstrContainerName);
    virtual HRESULT QORA_ImportSignCert(LONG lCertType, BSTR bstrSignCert, BSTR bstrContainerName,
                                        VARIANT_BOOL* pbResult);
    virtual HRESULT QORA_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert, BSTR bstrContainerName,
                                           LONG lEncCertPrivKeyFlags, VARIANT_BOOL* pbResult);
    virtual HRESULT QORA_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType, LONG lSignPrivKeyGenFlags,
                                               BSTR* pbstrPKCS10);
    virtual HRESULT QORA_GetAllCertInfo(BSTR bstrCSPNameList, BSTR* pbstrCertInfo);
    virtual HRESULT QORA_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbPermitted);
    virtual HRESULT QORA_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType, LONG lSignPrivKeyGenFlags,
                                                      BSTR* pbstrPKCS10);
    virtual HRESULT GetLastErrorDesc(BSTR* pbstrErrorDesc);

    // The description GetLastErrorDesc gives for a code: the text from the resource module's string table
    // (codes with bit 29) or the system's message, then "\n(0x%08x)".
    static HRESULT DescribeResultCode(HRESULT hrCode, BSTR* pbstrErrorDesc);

    // The settings as they stand, for the operations and units that use them.
    HRESULT LastResult() const { return m_hrLastResult; }
    const WString& KeyAlgorithm() const { return m_wstrKeyAlgorithm; }
    const WString& CSPName() const { return m_wstrCSPName; }
    LONG KeyLength() const { return m_lKeyLength; }
    const WString& ContainerName() const { return m_wstrContainerName; }

private:
    // Runs one operation's body, turns an exhausted allocation into E_OUTOFMEMORY and records the result.
    template <typename Body>
    HRESULT RecordResult(Body body);
    HRESULT RequestWithSettings(const TraceHelper& scope, BSTR bstrSubjectDN, LONG lCertType, DWORD dwKeySpec,
                                bool bIsRSA, LONG lSignPrivKeyGenFlags, ALG_ID algHash, std::string& strRequest);

    HRESULT m_hrLastResult;
    WString m_wstrKeyAlgorithm;
    WString m_wstrCSPName;
    LONG m_lKeyLength;
    WString m_wstrContainerName;
    WString m_wstrFirstPairContainer;
    WString m_wstrSecondPairContainer;
    HRESULT m_hrFirstPairResult;
};
