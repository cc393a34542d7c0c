// Brindlemark/install/ImportEncryptCert.h — what the authority returns for an encryption certificate: the
// certificate text and the encrypted-key envelope, in its classic and extended layouts.
#pragma once
#include "Common.h"

// The symmetric algorithm of the envelope's key field, for a non-Microsoft RSA CSP's key-spec blob.
constexpr char kOidRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kOidEnvelopeSymmetric[] = "1.3.6.1.4.1.4929.1.7";

void EraseCommaInWstr(WString& wstr);
// UTF-16 Base64 text to bytes; an empty text fails, as the Base64 decoder refuses empty input.
HRESULT DecodeBase64Key(const WString& wstrBase64, ByteBuffer& vecKey);
// The DER certificate of a Base64 certificate text; the text loses its commas.
HRESULT ParseEncryptCertPublicKeyCert(WString& wstrCert, ByteBuffer& vecCert);

// One length-prefixed field at nPos: 16 characters of length, then that many characters ending in ",".
// The field comes back without commas; nPos moves past it.
HRESULT GetBase64KeyFromEncryptedData(const WString& wstrEnvelope, size_t& nPos, WString& wstrKey);
// The key material (the second element's contents) of a decoded field SEQUENCE {INTEGER, OCTET STRING}.
HRESULT GetSessionKeyorPrivateKeyFromASN1Obj(const ByteBuffer& vecField, ByteBuffer& vecKey);
// Header checks and the two decoded fields; algId is CALG_3DES, or 0 for an extended envelope without a
// session key (its session key field is then left empty).
HRESULT GetSessionKeyandPrivateKeyASN1Obj(const WString& wstrEnvelope, ByteBuffer& vecSessionField,
                                          ByteBuffer& vecPrivateField, ALG_ID& algId);
HRESULT GetSessionKeyandPrivateKeyASN1ObjEx(const WString& wstrEnvelope, ByteBuffer& vecSessionField,
                                            ByteBuffer& vecPrivateField, ALG_ID& algId);
// The encrypted session key and the encrypted private key of an envelope, each as the authority sent it.
HRESULT ParseEncryptCertPrivateKeyData(const WString& wstrEnvelope, ByteBuffer& vecSessionKey,
                                       ByteBuffer& vecPrivateKey, ALG_ID& algId);
HRESULT ParseEncryptCertPrivateKeyDataEx(const WString& wstrEnvelope, ByteBuffer& vecSessionKey,
                                         ByteBuffer& vecPrivateKey, ALG_ID& algId);

// The OBJECT IDENTIFIER element (tag, length, contents) of a dotted identifier.
HRESULT ComposeObjectIdentifier(LPCSTR lpszObjID, ByteBuffer& vecEncoded);
// SEQUENCE {INTEGER 1, rsaEncryption, the symmetric algorithm, OCTET STRING session key, OCTET STRING
// private key}; the session key may be empty.
HRESULT ComposeRSAEVPPrivateKey(const BYTE* pbEncryptedPrivateKey, DWORD cbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, DWORD cbEncryptedSessionKey, ByteBuffer& vecEncoded);

// The issued certificate into the current user's MY store, linked to its key container; the provider
// handle stays the caller's and stays open.
HRESULT AddCertificateToSystemStore(const WString& wstrCSPName, CryptProv& hProv, const BYTE* pbCert, DWORD cbCert,
                                    DWORD dwKeySpec, const WString& wstrContainerName);
// A signing certificate to the container that holds its key: into MY with the key-provider link for a
// Microsoft CSP, as the key's certificate parameter for any other. The text loses its commas.
HRESULT ImportSignCert(const WString& wstrKeyAlgorithm, WString& wstrSignCert, DWORD dwKeySpec,
                       const WString& wstrCSPName, const WString& wstrContainerName);
