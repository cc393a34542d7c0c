// fuzz/chain_blob.cpp — a chain document's certificate content (Base64 of a registry property blob, as the
// XML text node holds it) walked for its certificate property; and the Base64 codec on the same bytes:
// encoding then decoding gives them back, in lines or re-wrapped in lines of 64.
#include "chain/CertificateChainOperate.h"
#include "codec/Misc.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const std::string strText(reinterpret_cast<const char*>(pb), cb);
    WString wstrContent;
    if (SUCCEEDED(UTF8ToUTF16(strText.c_str(), wstrContent))) {
        ByteBuffer vecCert = {1, 2, 3};
        const HRESULT hResult = GetCertFromCertificateBlobProperties(wstrContent.c_str(), vecCert);
        if (FAILED(hResult) && vecCert != ByteBuffer{1, 2, 3}) abort();
        ByteBuffer vecBlob;
        if (SUCCEEDED(hResult) && (FAILED(Base64DecodeEx(strText.c_str(), static_cast<int>(strText.size()), vecBlob)) ||
                                   vecCert.size() + 12 > vecBlob.size()))
            abort();
    }

    std::string strBase64;
    if (FAILED(Base64EncodeEx(pb, static_cast<DWORD>(cb), strBase64))) abort();
    ByteBuffer vecBack;
    if (cb == 0) return 0;
    if (FAILED(Base64DecodeEx(strBase64.c_str(), static_cast<int>(strBase64.size()), vecBack)) ||
        vecBack != ByteBuffer(pb, pb + cb))
        abort();
    std::string strWrapped;
    if (FAILED(TransformBase64EncodedDatatoHoldCRLFPer64Chars(strBase64.c_str(), static_cast<DWORD>(strBase64.size()),
                                                              strWrapped)))
        abort();
    for (size_t nLine = 0; nLine < strWrapped.size(); nLine += 66)
        if (nLine + 64 < strWrapped.size() && strWrapped.compare(nLine + 64, 2, "\r\n") != 0) abort();
    vecBack.clear();
    if (FAILED(Base64DecodeEx(strWrapped.c_str(), static_cast<int>(strWrapped.size()), vecBack)) ||
        vecBack != ByteBuffer(pb, pb + cb))
        abort();
    return 0;
}
