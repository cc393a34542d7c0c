// Brindlemark/chain/CertificateChainOperate.h — the certificate authority's chain documents: loading them
// from the deliverable's resources, walking their XML, checking that their intermediate CAs are installed,
// and installing their roots (through the registry place of the machine's trusted roots) and their
// intermediate CAs (into the machine's "CA" store).
#pragma once
#include "Common.h"
#include "Owners.h"
#include "resources/ChainResources.h"
#include "trace/Trace.h"

#include <msxml2.h>


// Property id of the DER certificate inside a certificate property blob (mingw's headers lack its name).
constexpr DWORD CERT_BLOB_CERT_PROP_ID = 32;

// The module whose resources hold the chain documents: the one this code is linked into (the host
// program, or the plug-in DLL), whichever process loaded it.
HMODULE GetChainDocumentModule();

// The bytes of resource wResourceID of type "CERTIFICATE" in hModule.
HRESULT LoadModuleResource(HMODULE hModule, WORD wResourceID, ByteBuffer& vecResData);

// A document loaded from UTF-8 bytes. COM must be initialised on the thread. A document that declares a
// document type or entities is refused before it reaches the parser, and one that does not parse fails;
// both with 0xA0071402.
HRESULT LoadXMLDom(const BYTE* lpResData, DWORD dwResDataSize, ComPtr<IXMLDOMDocument>& pXMLDom);

// The document's last child node (the "root" element of a chain document).
HRESULT GetXMLRootNode(IXMLDOMDocument* pXMLDom, ComPtr<IXMLDOMNode>& pRootNode);

// The first child whose name contains pwszChildNodeName, ignoring case. When none does, the positive status
// 0x20001402 and no node.
HRESULT FindChildNode(IXMLDOMNode* pParentNode, const WCHAR* pwszChildNodeName, ComPtr<IXMLDOMNode>& pChildNode);

// The node's text (its descendants' included) without leading and trailing white space.
HRESULT GetNodeValue(IXMLDOMNode* pNode, WString& wstrNodeValue);

// 0 when every intermediate CA of the document's "P7bContent" bundle is present in the user's view of
// "Root" (self-signed certificates) or "CA" (all others); the first missing one ends the check.
HRESULT CheckCertChainfromBlobData(const BYTE* pbData, DWORD cbData);
HRESULT CheckCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDom);
HRESULT CheckCertificateChainIntegrity(const BYTE* pCertData, DWORD dwCertDataSize);

// An in-memory store holding the certificates of a DER PKCS#7 bundle.
HRESULT ImportP7bCertificatestoStore(const BYTE* pCertData, DWORD dwCertDataSize, CertStore& hCertStore);

// 0 when hCertStore holds exactly this certificate; the lookup's error (normally CRYPT_E_NOT_FOUND) otherwise.
HRESULT CertificatesisExistinStore(PCCERT_CONTEXT pCertContext, HCERTSTORE hCertStore);

// Installation of one document: unexpired roots written to the registry, unexpired intermediate CAs added
// to the machine's "CA" store. Nothing done before a failure is undone. COM must be initialised.
HRESULT ImportCertificateChainfromResoure(WORD wResourceID);
HRESULT ImportCertificateChainfromBlobData(const BYTE* pbData, DWORD cbData);
HRESULT ImportCertChainfromXMLDOMDoc(IXMLDOMDocument* pXMLDom);

// Every "Certificate" child in turn; one bad or expired certificate never stops the others.
HRESULT ParseRootCACertificateNode(IXMLDOMNode* pRootCACertificateNode);
// One root: written unless expired at pftMachineTime (an expired one is a success that writes nothing).
HRESULT ParseCertificateNode(const FILETIME* pftMachineTime, IXMLDOMNode* pCertificateNode);

// The texts of a "Certificate" element's first three children, by position: import path, entry point,
// content. Fewer than three children: 0xA0071402.
HRESULT GetRegisteredCertificateInfoNode(IXMLDOMNode* pParentNode, WString& wstrImportPath, WString& wstrEntryPoint,
                                         WString& wstrContent);

// The DER certificate (property 32) of a Base64 certificate property blob.
HRESULT GetCertFromCertificateBlobProperties(const WCHAR* pwszContent, ByteBuffer& vecCert);

// HKLM\pwszImportPath\pwszEntryPoint, value "Blob": the decoded content, the whole property blob.
HRESULT WriteCertificatetoRegistry(const WCHAR* pwszImportPath, const WCHAR* pwszEntryPoint, const WCHAR* pwszContent);
// Opens HKLM\pwszKeyPath (which must exist), creates or opens its subkey and sets "Blob" (REG_BINARY).
HRESULT RegWriteBinaryValue(const WCHAR* pwszKeyPath, const WCHAR* pwszSubKey, const BYTE* pbData, DWORD cbData);

// The bundle of a "P7bContent" element into the machine's "CA" store.
HRESULT ParseP7bContentNode(IXMLDOMNode* pP7bContentNode);
// Adds every unexpired, not self-signed certificate of hCertStore to the machine's "CA" store; one that is
// there already is not an error.
HRESULT AddCACertficatetoStore(HCERTSTORE hCertStore);

// bExpired becomes 1 when the certificate's NotAfter lies before *pftMachineTime; NotBefore is not examined.
HRESULT CheckCertValidTime(const FILETIME* pftMachineTime, PCCERT_CONTEXT pstCertContext, BOOL& bExpired);
// The current time, UTC.
HRESULT GetMachineTime(FILETIME& ftMachineTime);
