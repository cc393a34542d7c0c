// fuzz/cert_filter.cpp — the certificate filter's criteria as a page or a caller gives them ("#" lists,
// "||" CSP lists, hexadecimal serials and key identifiers, an identifier prefix, a moment) over one
// certificate whose serial, validity and signature algorithm come from the input, and the record text of
// that certificate. Names, extensions, properties and keys belong to crypt32: the certificate has none.
//
// Input: serial length, flags, then NUL-separated fields: serial bytes, subject filters, issuer filters,
// CSP names, key identifier, serial filter (UTF-8), signature algorithm, prefix; then three FILETIMEs.
#include "codec/Misc.h"
#include "inventory/CertificateFilter.h"
#include "inventory/CertificateInfo.h"
#include "support/FuzzSupport.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string NextField(FuzzInput& in)
{
    std::string str;
    while (in.RestSize() != 0) {
        const char ch = static_cast<char>(in.Byte());
        if (ch == 0) break;
        str += ch;
    }
    return str;
}

WString WideField(FuzzInput& in)
{
    WString wstr;
    if (FAILED(UTF8ToUTF16(NextField(in).c_str(), wstr))) wstr.clear();
    return wstr;
}

FILETIME FileTimeOf(FuzzInput& in)
{
    FILETIME ft = {};
    ft.dwLowDateTime = in.U32();
    ft.dwHighDateTime = in.U32();
    return ft;
}

// The serial's text as the record writes it: two lower-case digits per byte, last byte first.
WString SerialText(const std::string& strSerial)
{
    static const char kDigits[] = "0123456789abcdef";
    WString wstr;
    for (size_t i = strSerial.size(); i > 0; --i) {
        const BYTE by = static_cast<BYTE>(strSerial[i - 1]);
        wstr += static_cast<WCHAR>(kDigits[by >> 4]);
        wstr += static_cast<WCHAR>(kDigits[by & 0x0F]);
    }
    return wstr;
}

// "%04d-%02d-%02d %02d:%02d:%02d" of a valid time.
bool IsTimeText(const WString& wstr)
{
    if (wstr.size() < 4 + 15 || wstr.size() > 5 + 15) return false;
    const size_t nYear = wstr.size() - 15;
    for (size_t i = 0; i < nYear; ++i)
        if (wstr[i] < TEXT('0') || wstr[i] > TEXT('9')) return false;
    for (size_t i = 0; i < 15; ++i) {
        const WCHAR wch = wstr[nYear + i];
        const bool bDigit = wch >= TEXT('0') && wch <= TEXT('9');
        const WCHAR wchSeparator = i == 0 || i == 3 ? TEXT('-') : i == 6 ? TEXT(' ') : i == 9 || i == 12 ? TEXT(':') : 0;
        if (wchSeparator != 0 ? wch != wchSeparator : !bDigit) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    FuzzInput in(pb, cb);
    const BYTE byFlags = in.Byte();
    std::string strSerial = NextField(in);
    const WString wstrSubjectFilters = WideField(in), wstrIssuerFilters = WideField(in), wstrCSPNames = WideField(in);
    const WString wstrKeyID = WideField(in), wstrSerialFilter = WideField(in);
    std::string strSignatureAlg = NextField(in), strPrefix = NextField(in);
    const FILETIME ftNotBefore = FileTimeOf(in), ftNotAfter = FileTimeOf(in), ftCheck = FileTimeOf(in);

    CERT_INFO stInfo = {};
    stInfo.SerialNumber.cbData = static_cast<DWORD>(strSerial.size());
    stInfo.SerialNumber.pbData = reinterpret_cast<BYTE*>(strSerial.data());
    stInfo.SignatureAlgorithm.pszObjId = strSignatureAlg.data();
    stInfo.NotBefore = ftNotBefore;
    stInfo.NotAfter = ftNotAfter;
    CERT_CONTEXT stCert = {};
    stCert.dwCertEncodingType = X509_ASN_ENCODING;
    stCert.pCertInfo = &stInfo;

    CERTIFICATE_FILTER stFilter;
    if (byFlags & 0x01) stFilter.pwszSubjectFilters = wstrSubjectFilters.c_str();
    if (byFlags & 0x02) stFilter.pwszIssuerFilters = wstrIssuerFilters.c_str();
    if (byFlags & 0x04) stFilter.pwszCSPNames = wstrCSPNames.c_str();
    if (byFlags & 0x08) stFilter.pwszSubjectKeyID = wstrKeyID.c_str();
    stFilter.pwszSerialNumber = wstrSerialFilter.c_str();
    if (byFlags & 0x10) stFilter.dwKeyUsage = 0x80;
    if (byFlags & 0x20) stFilter.pszSignatureAlgOIDPrefix = strPrefix.c_str();
    if (byFlags & 0x40) stFilter.pftCheckTime = &ftCheck;
    stFilter.bRequirePrivateKey = (byFlags & 0x80) ? 1 : 0;

    CertContextList vecInput;
    vecInput.emplace_back(&stCert);
    CertContextList vecOutput;
    if (FAILED(FilterCertificates(&stFilter, vecInput, vecOutput)) || vecOutput.size() > 1) abort();
    // A serial filter passes exactly the serial whose text it is.
    if (!vecOutput.empty() && !wstrSerialFilter.empty() && wstrSerialFilter.size() == 2 * strSerial.size()) {
        WString wstrLower;
        for (WCHAR wch : wstrSerialFilter) wstrLower += (wch >= TEXT('A') && wch <= TEXT('F')) ? wch + 32 : wch;
        if (wstrLower != SerialText(strSerial)) abort();
    }
    for (CertContext& pCert : vecOutput) (void)pCert.release();
    for (CertContext& pCert : vecInput) (void)pCert.release();

    std::vector<WString> vecItems;
    ParseFilters(wstrSubjectFilters.c_str(), vecItems);
    size_t nHashes = 0;
    for (WCHAR wch : wstrSubjectFilters) nHashes += wch == TEXT('#') ? 1 : 0;
    if (vecItems.size() != nHashes + 1) abort();
    for (const WString& wstrItem : vecItems)
        if (wstrItem.size() > FILTER_ITEM_MAX_UNITS || wstrItem.find(TEXT('#')) != WString::npos) abort();

    // The record: subject (none), serial, the two dates, the CSP name.
    UNREGISTERED_CERT_CONTEXT stRecord = {};
    const size_t cchName = wstrCSPNames.size() < UNREGISTERED_NAME_UNITS ? wstrCSPNames.size() : UNREGISTERED_NAME_UNITS - 1;
    for (size_t i = 0; i < cchName; ++i) stRecord.wszProvName[i] = wstrCSPNames[i];
    stRecord.pCertContext = &stCert;
    WString wstrRecord;
    if (SUCCEEDED(GetCertificateInfoUnregisteredCert(&stRecord, wstrRecord))) {
        const WString wstrExpected = TEXT(";") + SerialText(strSerial) + TEXT(";");
        if (wstrRecord.compare(0, wstrExpected.size(), wstrExpected) != 0) abort();
        // "YYYY-MM-DD hh:mm:ss;" twice (a year may have five digits), then the name.
        size_t nPos = wstrExpected.size();
        for (int nDate = 0; nDate < 2; ++nDate) {
            const size_t nEnd = wstrRecord.find(TEXT(';'), nPos);
            if (nEnd == WString::npos || !IsTimeText(wstrRecord.substr(nPos, nEnd - nPos))) abort();
            nPos = nEnd + 1;
        }
        if (wstrRecord.compare(nPos, WString::npos, stRecord.wszProvName) != 0) abort();
    }
    return 0;
}
