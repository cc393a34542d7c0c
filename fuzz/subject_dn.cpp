// fuzz/subject_dn.cpp — the subject DN text as the page sends it (UTF-8, turned into UTF-16): split into
// pairs at "," and "=", every item exactly one key and one value, keys without spaces, values as given.
#include "codec/Misc.h"
#include "request/PKCS10Request.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const std::string strText(reinterpret_cast<const char*>(pb), cb);
    WString wstrSubject;
    if (FAILED(UTF8ToUTF16(strText.c_str(), wstrSubject))) return 0;

    SubjectPairs vecPairs = {{"kept", TEXT("kept")}};
    const HRESULT hResult = ParseSubject(wstrSubject, vecPairs);
    if (FAILED(hResult)) {
        if (hResult != NTE_BAD_DATA || vecPairs.size() != 1) abort();
        return 0;
    }
    // Appended behind what the list held; one pair per comma-separated item.
    size_t nItems = 0;
    for (WCHAR wch : wstrSubject) nItems += wch == TEXT(',') ? 1 : 0;
    ++nItems;
    if (vecPairs.size() != (wstrSubject.empty() ? 1 : 1 + nItems)) abort();
    for (size_t i = 1; i < vecPairs.size(); ++i) {
        if (vecPairs[i].second.find_first_of(TEXT(",=")) != WString::npos) abort();
    }
    // Each value is the text after its item's "=".
    size_t nPos = 0;
    for (size_t i = 1; i < vecPairs.size(); ++i) {
        const size_t nEquals = wstrSubject.find(TEXT('='), nPos);
        const size_t nComma = wstrSubject.find(TEXT(','), nPos);
        const size_t nEnd = nComma == WString::npos ? wstrSubject.size() : nComma;
        if (nEquals == WString::npos || nEquals > nEnd) abort();
        if (wstrSubject.compare(nEquals + 1, nEnd - nEquals - 1, vecPairs[i].second) != 0) abort();
        nPos = nEnd + 1;
    }
    return 0;
}
