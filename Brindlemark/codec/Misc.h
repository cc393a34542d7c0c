// Brindlemark/codec/Misc.h — what several units share: conversions between the text forms that cross the
// agent's interfaces and the bytes the cryptographic code works on (UTF-16/UTF-8, Base64, hexadecimal,
// "||" lists, byte order), and small wrappers around the platform (GUID texts for key container names,
// the temporary directory and diagnostic files, provider parameters, the SHA-256 support test).
//
// Conversion outputs are containers owned by the caller; their size is the output length (a std::string
// or WString always has its terminating zero behind size()). On a failure the output is left as it was.
#pragma once
#include "Common.h"

#include <string>
#include <vector>


// A new GUID in its registry text form: 38 characters, braces included.
HRESULT CreateGUIDStr(WString& wstrGuid);

// The user's temporary directory, ending with a backslash.
HRESULT GetTempDirPath(WString& wstrTempDir);

// Leaves a copy of the bytes in {GUID}.QORA in the temporary directory. wstrPath receives the path only
// when the file was written; failures are only traced.
void DumpDatatoTempFile(const BYTE* pbData, DWORD cbData, WString& wstrPath);

// The value of a provider parameter (PP_NAME, PP_CONTAINER, ...); its byte length is the buffer's size.
HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, ByteBuffer& vecInfo);

// True when the platform version can verify SHA-256 signatures.
BOOL CheckIsSystemSupportSHA256();

// Zero-terminated UTF-16 text to UTF-8. E_POINTER for absent input; the mapped platform error if the
// conversion fails; E_OUTOFMEMORY if the buffer cannot be had.
HRESULT UTF16ToUTF8(const WCHAR* pwszInput, std::string& strOutput);

// Zero-terminated UTF-8 text to UTF-16; results as UTF16ToUTF8.
HRESULT UTF8ToUTF16(const char* pszInput, WString& wstrOutput);

// Standard Base64 with "=" padding, CR LF after every 76 characters of complete groups.
HRESULT Base64EncodeEx(const BYTE* pbData, DWORD cbData, std::string& strBase64);

// Reads at most nLength bytes of pszBase64; characters outside the alphabet are skipped, a zero byte
// where a group would begin ends the text. E_FAIL when nLength is zero or negative.
HRESULT Base64DecodeEx(const char* pszBase64, int nLength, ByteBuffer& vecData);

// Drops every CR and LF and re-wraps the text in lines of 64 characters joined by CR LF, no CR LF at the end.
HRESULT TransformBase64EncodedDatatoHoldCRLFPer64Chars(const char* pszBase64, DWORD cchBase64, std::string& strOutput);

// Two lower-case hexadecimal digits per byte, last byte first (platform integers read most significant first).
HRESULT ConvertBinaryDataToString(const BYTE* pbData, DWORD cbData, WString& wstrHex);

// The inverse of ConvertBinaryDataToString: the text's last digit pair becomes the first byte.
// E_INVALIDARG for absent input, an odd number of characters or a character that is not a hexadecimal digit.
HRESULT ConvertStringToBinaryData(const WCHAR* pwszHex, ByteBuffer& vecData);

// Appends the items of a "||"-separated list; the first empty item ends the list.
void SplitStrings(const WCHAR* pwszText, std::vector<WString>& vecItems);

// Reverses the first cbData bytes in place (CryptoAPI little-endian <-> DER big-endian).
void SwapByteOrder(BYTE* pbData, DWORD cbData);
