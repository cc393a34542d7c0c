// Brindlemark/ResultCode.h — result codes in the layout of a Windows HRESULT.
#pragma once
#include <windows.h>

constexpr HRESULT QORA_OK = 0;

// The system's own failures: 0xA007nnnn, nnnn the identifier of the text in the string tables.
constexpr HRESULT QORA_E_QUERY_TYPE = static_cast<HRESULT>(0xA0071003);
constexpr HRESULT QORA_E_CERT_BINDABLE = static_cast<HRESULT>(0xA0071009);
constexpr HRESULT QORA_E_NO_KEY_USAGE = static_cast<HRESULT>(0xA0071020);
constexpr HRESULT QORA_E_NO_SUBJECT_KEY_ID = static_cast<HRESULT>(0xA0071021);
constexpr HRESULT QORA_E_XML_PARSE = static_cast<HRESULT>(0xA0071402);
constexpr HRESULT QORA_E_IMPORT_ENCRYPT_CERT = static_cast<HRESULT>(0xA0071403);
constexpr HRESULT QORA_E_DEVICE_TYPE = static_cast<HRESULT>(0xA0071404);
constexpr HRESULT QORA_E_ENCRYPT_TYPE = static_cast<HRESULT>(0xA0071405);
constexpr HRESULT QORA_E_SESSION_KEY_TYPE = static_cast<HRESULT>(0xA0071406);
constexpr HRESULT QORA_E_HASH_ALGORITHM = static_cast<HRESULT>(0xA0072020);
constexpr HRESULT QORA_E_CERT_USAGE = static_cast<HRESULT>(0xA0072021);
constexpr HRESULT QORA_E_KEY_LENGTH = static_cast<HRESULT>(0xA0072400);
constexpr HRESULT QORA_E_KEY_ALGORITHM = static_cast<HRESULT>(0xA0072401);
constexpr HRESULT QORA_E_JSON_RESPONSE = static_cast<HRESULT>(0xA0073202);
constexpr HRESULT QORA_E_JSON_TYPE = static_cast<HRESULT>(0xA0073204);

// Lower-layer statuses (positive, never a caller's result).
constexpr LONG QORA_S_ASN1_DECODE = 0x20001041;
constexpr LONG QORA_S_XML_NO_CHILD = 0x20001402;

// The platform's thread error as a result code. A failed call that left the error at zero is still a
// failure: it becomes E_FAIL so that it can never be mistaken for success.
inline HRESULT ResultFromError(LONG lError)
{
    if (lError == 0) return E_FAIL;
    if (lError < 0) return lError;
    if (lError & 0x20000000) return static_cast<HRESULT>((lError & 0xFFFF) | 0xA0070000);
    return static_cast<HRESULT>((lError & 0xFFFF) | 0x80070000);
}

inline HRESULT ResultFromLastError() { return ResultFromError(static_cast<LONG>(GetLastError())); }
