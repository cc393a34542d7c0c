// Brindlemark/request/PKCS10Request.h — the PKCS#10 request body: subject DN, public key, attributes,
// and its signature inside the CSP.
#pragma once
#include "Common.h"
#include "codec/DerWriter.h"

#include <string>
#include <utility>
#include <vector>

// (object identifier text, value) in the order of the subject text.
using SubjectPairs = std::vector<std::pair<std::string, WString>>;

// ---- Subject DN ------------------------------------------------------------------------------------

// The composers of this unit write their element in place after what the writer holds; the ones with a
// buffer twin give it as a new buffer, untouched on failure.

// DER Name of a subject text such as CN=name,OU=unit,O=organisation,C=CN (components in reverse order).
HRESULT ComposeSubject(const WString& wstrSubjectDN, DerWriter& writer);
HRESULT ComposeSubject(const WString& wstrSubjectDN, ByteBuffer& vecSubject);

// Splits at "," and "="; an item that does not give exactly a key and a value fails with NTE_BAD_DATA.
// Spaces are removed from keys; values are kept as they are.
HRESULT ParseSubject(const WString& wstrSubjectDN, SubjectPairs& vecPairs);

// Appends the items of wstrText split at every wchSeparator (empty items included); an empty text gives none.
void SplidWstr(const WString& wstrText, WCHAR wchSeparator, std::vector<WString>& vecItems);

// wstrText without any wch.
WString ReplaceWchar(const WString& wstrText, WCHAR wch);

// Object identifier of an attribute key (compared ignoring case); empty for an unknown key.
std::string GetObjectID(const WString& wstrKey);

// One RelativeDistinguishedName: SET { SEQUENCE { OBJECT IDENTIFIER, string } }.
HRESULT ComposeSubjectChild(const std::string& strObjectID, const WString& wstrValue, DerWriter& writer);

// ---- Signing ---------------------------------------------------------------------------------------

// Hashes pbData in the CSP and signs it with the key dwKeySpec; the raw signature comes back big-endian:
// RSA as one number, SM2 as r (32 bytes) then s (32 bytes). lpszPublicKeyAlgorithm "1.2.840.113549.1.1.1"
// means RSA, anything else SM2.
HRESULT PKCS10CalculateHashandSign(HCRYPTPROV hProv, LPCSTR lpszPublicKeyAlgorithm, const BYTE* pbData, DWORD cbData,
                                   ALG_ID algHash, DWORD dwKeySpec, ByteBuffer& vecSignature);

// SEQUENCE { INTEGER r, INTEGER s } of a 64-byte raw SM2 signature; other lengths fail with 0x8007000D.
HRESULT SM2EncodeRawSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, ByteBuffer& vecEncoded);

// The signature BIT STRING of a raw signature.
HRESULT ComposeSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, BOOL bIsSM2, DerWriter& writer);
HRESULT ComposeSignature(const BYTE* pbRawSignature, DWORD cbRawSignature, BOOL bIsSM2, ByteBuffer& vecSignature);

// ---- Request construction --------------------------------------------------------------------------

// The SM2 CSP's 140-byte public key blob (8-byte header, bit length, X and Y fields of 64 bytes holding
// their coordinate little-endian in the first 32) as the 65-byte point 04 || X || Y, big-endian.
HRESULT ConvertSM2PublicKeyBlobToPoint(const BYTE* pbBlob, DWORD cbBlob, ByteBuffer& vecPoint);

// The same blob as the 136-byte temporary key structure the authority expects: 0xB400 and 256 as 32-bit
// little-endian values, then the X and Y fields, each with its first 32 bytes reversed.
HRESULT ConvertSM2PublicKeyBlobToTempKey(const BYTE* pbBlob, DWORD cbBlob, ByteBuffer& vecTempKey);

// The whole request as Base64 in lines of 64 characters joined by CR LF. The public keys are DER
// RSAPublicKey bits for RSA and the CSP's blobs for SM2; no exchange key makes a single-certificate request.
HRESULT PKCS10RequestBase64(DWORD dwKeySpec, HCRYPTPROV hProv, const WCHAR* lpwSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                            LPCSTR lpszPublicKeyParameters, const BYTE* pbSignPublicKey, DWORD cbSignPublicKey,
                            const BYTE* pbExchangeKey, DWORD cbExchangeKey, ALG_ID algHash, LPCSTR lpszSignAlgorithm,
                            BOOL bIsSM2, std::string& strRequest);

// CertificationRequestInfo: version 0, subject, SubjectPublicKeyInfo and, with a temporary key, the attributes.
HRESULT ComposeCertRequestInfo(const WString& wstrSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                               LPCSTR lpszPublicKeyParameters, const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits,
                               const BYTE* pbTempKey, DWORD cbTempKey, DerWriter& writer);
HRESULT ComposeCertRequestInfo(const WString& wstrSubjectDN, LPCSTR lpszPublicKeyAlgorithm,
                               LPCSTR lpszPublicKeyParameters, const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits,
                               const BYTE* pbTempKey, DWORD cbTempKey, ByteBuffer& vecRequestInfo);

// SubjectPublicKeyInfo; with no parameters identifier the algorithm carries NULL parameters.
HRESULT ComposeSignPublicKeyData(LPCSTR lpszPublicKeyAlgorithm, LPCSTR lpszPublicKeyParameters,
                                 const BYTE* pbPublicKeyBits, DWORD cbPublicKeyBits, DerWriter& writer);

// [0] { challenge password "246802", temporary key }, each attribute without the SET around its value.
HRESULT ComposeAttributes(const BYTE* pbTempKey, DWORD cbTempKey, DerWriter& writer);

// SEQUENCE { OBJECT IDENTIFIER signature algorithm, NULL }.
HRESULT ComposeSignAlgorithm(LPCSTR lpszSignAlgorithm, DerWriter& writer);
