// platform/linux/src/system/Messages.cpp — FormatMessageW for the system's own messages, with the texts the
// Windows build meets under Wine (SystemMessages.inc), in the user-interface language.
#include "Locale.h"

#include <windows.h>

namespace {

struct SystemMessage {
    DWORD dwCode;
    const WCHAR* pwszEnglish;
    const WCHAR* pwszChinese;
};

const SystemMessage kMessages[] = {
#include "SystemMessages.inc"
};

constexpr DWORD kLanguageNotFound = 15100;  // ERROR_RESOURCE_LANG_NOT_FOUND

const SystemMessage* FindMessage(DWORD dwCode)
{
    // An HRESULT made from a system error code reads as that code.
    if ((dwCode & 0xFFFF0000u) == 0x80070000u) dwCode &= 0xFFFF;
    size_t nLow = 0, nHigh = sizeof(kMessages) / sizeof(kMessages[0]);
    while (nLow < nHigh) {
        const size_t nMid = (nLow + nHigh) / 2;
        if (kMessages[nMid].dwCode == dwCode) return &kMessages[nMid];
        if (kMessages[nMid].dwCode < dwCode)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nullptr;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments)
{
    (void)lpSource;
    (void)Arguments;
    // Only system texts, returned as they are (inserts included), into the caller's buffer.
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0 ||
        (dwFlags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0 ||
        lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const WORD wLanguage = dwLanguageId == 0 ? UserInterfaceLanguage() : static_cast<WORD>(dwLanguageId);
    if (wLanguage != 0x0409 && wLanguage != 0x0804) {
        SetLastError(kLanguageNotFound);
        return 0;
    }
    const SystemMessage* pMessage = FindMessage(dwMessageId);
    if (pMessage == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const WCHAR* pwszText = wLanguage == 0x0804 ? pMessage->pwszChinese : pMessage->pwszEnglish;
    const DWORD cchText = static_cast<DWORD>(lstrlenW(pwszText));
    if (cchText >= nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpBuffer, pwszText, (cchText + 1) * sizeof(WCHAR));
    return cchText;
}
