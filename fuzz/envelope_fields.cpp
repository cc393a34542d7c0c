// fuzz/envelope_fields.cpp — the authority's encrypted-key envelope as the agent gets it (UTF-8 text turned
// into UTF-16), read in both layouts, and the SM2 ciphertext reordering of what it carries: fields are read
// only inside the text, a decoded key is the contents of its field's OCTET STRING, and the two reorderings
// undo each other.
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"

#include <cstdlib>
#include <string>

namespace {

void CheckReordering(const BYTE* pb, size_t cb)
{
    ByteBuffer vecC1C2C3, vecBack;
    const HRESULT hResult = ConvertC1C3C2ToC1C2C3(pb, static_cast<DWORD>(cb), vecC1C2C3);
    if (cb < 96) {
        if (SUCCEEDED(hResult)) abort();
        return;
    }
    if (FAILED(hResult) || vecC1C2C3.size() != cb) abort();
    if (FAILED(ConvertC1C2C3ToC1C3C2(vecC1C2C3.data(), static_cast<DWORD>(vecC1C2C3.size()), vecBack))) abort();
    if (vecBack != ByteBuffer(pb, pb + cb)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const std::string strText(reinterpret_cast<const char*>(pb), cb);
    WString wstrEnvelope;
    if (FAILED(UTF8ToUTF16(strText.c_str(), wstrEnvelope))) return 0;

    for (bool bExtended : {false, true}) {
        ByteBuffer vecSessionKey, vecPrivateKey;
        ALG_ID algId = 12345;
        const HRESULT hResult = bExtended ? ParseEncryptCertPrivateKeyDataEx(wstrEnvelope, vecSessionKey, vecPrivateKey, algId)
                                          : ParseEncryptCertPrivateKeyData(wstrEnvelope, vecSessionKey, vecPrivateKey, algId);
        if (FAILED(hResult)) {
            if (algId != 12345 || !vecSessionKey.empty() || !vecPrivateKey.empty()) abort();
            continue;
        }
        // Only the extended layout goes without a session key, and then it has none.
        if (algId != CALG_3DES && (algId != 0 || !bExtended || !vecSessionKey.empty())) abort();
        if (vecPrivateKey.size() > wstrEnvelope.size()) abort();
        CheckReordering(vecPrivateKey.data(), vecPrivateKey.size());
    }

    WString wstrCert = wstrEnvelope;
    ByteBuffer vecCert;
    if (SUCCEEDED(ParseEncryptCertPublicKeyCert(wstrCert, vecCert)) && wstrCert.find(TEXT(',')) != WString::npos) abort();

    CheckReordering(pb, cb);
    return 0;
}
