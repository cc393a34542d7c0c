// Brindlemark/install/ImportEncryptCert.h — what the authority returns for an encryption certificate: the
// certificate text and the encrypted-key envelope, in its classic and extended layouts.
#pragma once
#include "Common.h"

// The symmetric algorithm of the envelope's key field, for a non-Microsoft RSA CSP's key-spec blob.
constexpr char kOidEnvelopeSymmetric[] = "1.3.6.1.4.1.4929.1.7";

// The key algorithm setting selects the RSA paths when it is "RSA" in any case, the SM2 paths otherwise.
bool IsRsaAlgorithm(const WString& wstrKeyAlgorithm);
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

// ---- Encryption certificate with its delivered private key -----------------------------------------

// The key-spec blobs a USB-key CSP takes a delivered key through: {PRIVATEKEYBLOB, 2, reserved 1, algid,
// algid, [key bits,] data bits, address of the data}. The address is as wide as a pointer of this process,
// which is what the tokens read.
constexpr DWORD kRSAKeySpecBlobBytes = 20 + sizeof(ULONG_PTR);
constexpr DWORD kSM2KeySpecBlobBytes = 16 + sizeof(ULONG_PTR);
// pbBlob holds kRSAKeySpecBlobBytes; the DER structure at pbDer must outlive the import.
void FillRSAKeySpecBlob(BYTE* pbBlob, DWORD dwKeyLength, const BYTE* pbDer, DWORD cbDer);
// pbBlob holds kSM2KeySpecBlobBytes; the ciphertext must outlive the import.
void FillSM2KeySpecBlob(BYTE* pbBlob, const BYTE* pbCiphertext, DWORD cbCiphertext);

// SM2 ciphertext C1 (64 bytes) || C3 (32) || C2 <-> C1 || C2 || C3; shorter than 96 bytes fails.
HRESULT ConvertC1C3C2ToC1C2C3(const BYTE* pbCiphertext, DWORD cbCiphertext, ByteBuffer& vecC1C2C3);
HRESULT ConvertC1C2C3ToC1C3C2(const BYTE* pbCiphertext, DWORD cbCiphertext, ByteBuffer& vecC1C3C2);

// The platform's PRIVATEKEYBLOB (CALG_RSA_KEYX) of a PKCS#1 RSAPrivateKey for a key of lKeyLength bits.
HRESULT getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(const BYTE* pbPrivateKey, DWORD cbPrivateKey, LONG lKeyLength,
                                                ByteBuffer& vecBlob);

// The plain session key: the envelope's (big-endian) session key decrypted with the container's exchange
// key. The open container context is handed back.
HRESULT DecryptSessionKeywithTempKey(const WString& wstrCSPName, const WString& wstrContainerName,
                                     const WString& wstrKeyAlgorithm, const ByteBuffer& vecEncryptedSessionKey,
                                     ByteBuffer& vecSessionKey, CryptProv& hProv);
// An RSA key with public and private exponent 1 (so wrapping with it changes nothing), in hProv's container.
BOOL CreatePrivateExponentOneKey(HCRYPTPROV hProv, CryptKey& hExponentOneKey);
// The plain session key as a key of hProv, wrapped for the import with the exponent-one key.
BOOL ImportPlainSessionBlob(HCRYPTPROV hProv, HCRYPTKEY hExponentOneKey, ALG_ID algId, const BYTE* pbSessionKey,
                            DWORD cbSessionKey, CryptKey& hSessionKey);
// The private key decrypted with the session key (ECB, block padding removed), in a throw-away container.
HRESULT DecryptPrivateKeywithSessionKey(ALG_ID algId, const ByteBuffer& vecSessionKey,
                                        const ByteBuffer& vecEncryptedPrivateKey, ByteBuffer& vecPrivateKey);
// The plain private key into the container as its exchange key, and the certificate to it.
HRESULT ImportEncryptCert_RSA(const WString& wstrContainerName, const BYTE* pbCert, const WString& wstrCSPName,
                              CryptProv& hProv, LONG lKeyLength, DWORD cbCert, const BYTE* pbPrivateKey,
                              DWORD cbPrivateKey, DWORD dwFlags);
// Classic RSA import: the private key is decrypted here and imported as a PRIVATEKEYBLOB.
HRESULT ImportEncryptCert(const WString& wstrCSPName, const WString& wstrContainerName,
                          const WString& wstrEncryptedPrivateKeyData, const WString& wstrEncryptPublicCert,
                          const WString& wstrKeyAlgorithm, LONG lKeyLength, LONG lFlags);

// The container that holds the request's temporary exchange key; SM2 containers open under verify-context.
HRESULT GetCSPHandleofTempPublickey(const WString& wstrCSPName, const WString& wstrContainerName,
                                    const WString& wstrKeyAlgorithm, CryptProv& hProv);
// The still-encrypted key handed to the CSP through the RSA key-spec blob, and the certificate to the key.
HRESULT ImportEncryptCertEx_RSA(const BYTE* pbCert, const BYTE* pbEncryptedPrivateKey,
                                const BYTE* pbEncryptedSessionKey, const WString& wstrCSPName, CryptProv& hProv,
                                LONG lKeyLength, DWORD cbSessionKey, DWORD cbPrivateKey, DWORD dwFlags);
// The SM2 ciphertext handed to the CSP through the SM2 key-spec blob, and the certificate to the key.
HRESULT ImportEncryptCertEx_SM2(const BYTE* pbCert, const BYTE* pbCiphertext, DWORD cbCiphertext, CryptProv& hProv,
                                DWORD cbCert, DWORD dwFlags);
// Extended import: every SM2 import, and RSA through other CSPs at other key lengths.
HRESULT ImportEncryptCertByEncryptedFormat(const WString& wstrEncryptPublicCert, const WString& wstrCSPName,
                                           const WString& wstrEncryptedPrivateKeyData,
                                           const WString& wstrContainerName, const WString& wstrKeyAlgorithm,
                                           LONG lKeyLength, LONG lFlags);
// The encryption certificate and its delivered private key into the container of the request: RSA through a
// Microsoft CSP or at 1024 bits takes the classic import, everything else the extended one.
HRESULT ImportEncryptCertEx(const WString& wstrCSPName, const WString& wstrContainerName,
                            const WString& wstrKeyAlgorithm, const WString& wstrEncryptedPrivateKeyData,
                            const WString& wstrEncryptePublicCert, LONG lKeyLength, LONG lFlags);
