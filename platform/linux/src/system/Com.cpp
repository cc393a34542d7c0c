// platform/linux/src/system/Com.cpp — COM as the shared units use it in the native build: per-thread
// initialisation, the one creatable class (the DOM document), GUIDs, BSTRs and variants.
#include "Xml.h"

#include <oleauto.h>
#include <windows.h>

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The calling thread's initialisations and the apartment kind the first one chose.
thread_local ULONG t_ulInitCount = 0;
thread_local DWORD t_dwApartment = 0;

// A BSTR is preceded by its length in bytes (32 bits) and followed by a terminator the length leaves out.
constexpr size_t kBstrPrefix = sizeof(uint32_t);

UINT32* BstrHeader(BSTR bstr) { return reinterpret_cast<UINT32*>(reinterpret_cast<BYTE*>(bstr) - kBstrPrefix); }

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    (void)pvReserved;
    const DWORD dwApartment = (dwCoInit & COINIT_APARTMENTTHREADED) != 0 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    if (t_ulInitCount != 0 && t_dwApartment != dwApartment) return RPC_E_CHANGED_MODE;
    if (t_ulInitCount++ == 0) {
        t_dwApartment = dwApartment;
        return S_OK;
    }
    return S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize()
{
    if (t_ulInitCount != 0) --t_ulInitCount;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (t_ulInitCount == 0) return CO_E_NOTINITIALIZED;
    if (!IsXmlDocumentClass(rclsid) || (dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    return CreateXmlDocument(riid, ppv);
}

HRESULT CoCreateGuid(GUID* pguid)
{
    if (pguid == nullptr) return E_INVALIDARG;
    BYTE abRandom[sizeof(GUID)];
    size_t cbHave = 0;
    while (cbHave < sizeof(abRandom)) {
        const ssize_t cbGot = getrandom(abRandom + cbHave, sizeof(abRandom) - cbHave, 0);
        if (cbGot < 0 && errno == EINTR) continue;
        if (cbGot <= 0) return HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY);
        cbHave += static_cast<size_t>(cbGot);
    }
    GUID guid = {};
    memcpy(&guid, abRandom, sizeof(guid));
    // A random GUID: version 4, the variant of RFC 4122.
    guid.Data3 = static_cast<uint16_t>((guid.Data3 & 0x0FFF) | 0x4000);
    guid.Data4[0] = static_cast<uint8_t>((guid.Data4[0] & 0x3F) | 0x80);
    *pguid = guid;
    SecureZeroMemory(abRandom, sizeof(abRandom));
    return S_OK;
}

int StringFromGUID2(const GUID& rguid, LPWSTR lpsz, int cchMax)
{
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminator.
    constexpr int kChars = 39;
    if (lpsz == nullptr || cchMax < kChars) return 0;
    static const char kHex[] = "0123456789ABCDEF";
    int nPos = 0;
    auto put = [&](uint64_t ullValue, int nDigits) {
        for (int nShift = (nDigits - 1) * 4; nShift >= 0; nShift -= 4) lpsz[nPos++] = static_cast<WCHAR>(kHex[(ullValue >> nShift) & 0xF]);
    };
    lpsz[nPos++] = u'{';
    put(rguid.Data1, 8);
    lpsz[nPos++] = u'-';
    put(rguid.Data2, 4);
    lpsz[nPos++] = u'-';
    put(rguid.Data3, 4);
    lpsz[nPos++] = u'-';
    put(rguid.Data4[0], 2);
    put(rguid.Data4[1], 2);
    lpsz[nPos++] = u'-';
    for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
    lpsz[nPos++] = u'}';
    lpsz[nPos++] = 0;
    return nPos;
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    // The byte length must fit the 32-bit prefix.
    if (ui > (0xFFFFFFFFu - kBstrPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    const size_t cbText = static_cast<size_t>(ui) * sizeof(OLECHAR);
    BYTE* pbBlock = static_cast<BYTE*>(malloc(kBstrPrefix + cbText + sizeof(OLECHAR)));
    if (pbBlock == nullptr) return nullptr;
    const UINT32 cbPrefix = static_cast<UINT32>(cbText);
    memcpy(pbBlock, &cbPrefix, sizeof(cbPrefix));
    BSTR bstr = reinterpret_cast<BSTR>(pbBlock + kBstrPrefix);
    if (strIn != nullptr && ui != 0)
        memcpy(bstr, strIn, cbText);
    else
        memset(bstr, 0, cbText);
    bstr[ui] = 0;
    return bstr;
}

BSTR SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(lstrlenW(psz)));
}

void SysFreeString(BSTR bstrString)
{
    if (bstrString != nullptr) free(BstrHeader(bstrString));
}

UINT SysStringLen(BSTR pbstr) { return pbstr == nullptr ? 0 : *BstrHeader(pbstr) / sizeof(OLECHAR); }

void VariantInit(VARIANT* pvarg)
{
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANT* pvarg)
{
    if (pvarg == nullptr) return E_INVALIDARG;
    switch (pvarg->vt) {
    case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
    case VT_EMPTY:
    case VT_NULL:
    case VT_I4:
    case VT_BOOL:
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}
