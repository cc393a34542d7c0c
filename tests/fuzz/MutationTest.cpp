// Mutation runs over the parsers of what the authority and pages send: the DER decoder, the envelope and
// the certificate property blobs of the chain documents.
// BM_FUZZ_ITERATIONS sets the number of inputs per parser (CI runs a short round); BM_FUZZ_SEED varies them.
#include "ResultCode.h"
#include "chain/CertificateChainOperate.h"
#include "codec/ASN1Engine.h"
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

size_t Iterations()
{
    const char* psz = getenv("BM_FUZZ_ITERATIONS");
    const long l = psz != nullptr ? atol(psz) : 0;
    return l > 0 ? static_cast<size_t>(l) : 20000;
}

std::mt19937 Generator()
{
    const char* psz = getenv("BM_FUZZ_SEED");
    return std::mt19937(psz != nullptr ? static_cast<unsigned>(atol(psz)) : 20261207u);
}

// Flips, inserts, deletes, duplicates and splices bytes, a few edits at a time.
template <typename Seq>
Seq Mutate(const Seq& seed, const std::vector<Seq>& corpus, std::mt19937& rng)
{
    Seq out = seed;
    const int nEdits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < nEdits; ++e) {
        const size_t nPos = out.empty() ? 0 : rng() % (out.size() + 1);
        switch (rng() % 7) {
        case 0:
            if (nPos < out.size()) out[nPos] ^= static_cast<typename Seq::value_type>(1u << (rng() % 8));
            break;
        case 1:
            out.insert(out.begin() + nPos, static_cast<typename Seq::value_type>(rng()));
            break;
        case 2:
            if (nPos < out.size()) out.erase(out.begin() + nPos);
            break;
        case 3:
            if (nPos < out.size()) out[nPos] = static_cast<typename Seq::value_type>("\x00\x80\xFF\x7F\x30,0"[rng() % 7]);
            break;
        case 4:
            out.resize(nPos);
            break;
        case 5: {
            const Seq& other = corpus[rng() % corpus.size()];
            if (!other.empty()) out.insert(out.begin() + nPos, other.begin() + rng() % other.size(), other.end());
            break;
        }
        default:
            if (nPos < out.size()) out.insert(out.begin() + nPos, out.begin() + nPos, out.begin() + nPos + (out.size() - nPos) / 2);
            break;
        }
    }
    return out;
}

// Every node lies inside the input and inside its parent, and its size adds up.
bool NodeIsSound(const ASN1Node& node, ULONGLONG ullEnd)
{
    if (node.bIndefinite || node.ullContentsOffset + node.dwContentsLength > ullEnd) return false;
    if (node.ullTotalSize != 1ull + node.dwLengthOctets + node.dwContentsLength) return false;
    for (const auto& pChild : node.children)
        if (pChild->pParent != &node || !NodeIsSound(*pChild, node.ullContentsOffset + node.dwContentsLength))
            return false;
    return true;
}

std::string Number(long l)
{
    std::string s = std::to_string(l);
    return std::string(16 - s.size(), '0') + s;
}

std::string Field(const ByteBuffer& material)
{
    ByteBuffer der;
    for (BYTE b : {BYTE{0x30}, static_cast<BYTE>(5 + material.size()), BYTE{0x02}, BYTE{0x01}, BYTE{0x01}, BYTE{0x04},
                   static_cast<BYTE>(material.size())})
        der.push_back(b);
    for (BYTE b : material) der.push_back(b);
    std::string text;
    Base64EncodeEx(der.data(), static_cast<DWORD>(der.size()), text);
    return Number(static_cast<long>(text.size() + 1)) + text + ",";
}

}  // namespace

TEST(Mutation, DerDecoderStaysInsideItsInput)
{
    const std::vector<ByteBuffer> corpus = {
        {0x30, 0x03, 0x02, 0x01, 0x05},
        {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00},
        {0xA0, 0x0A, 0x30, 0x80, 0x04, 0x80, 0x41, 0x00, 0x00, 0x00, 0x00, 0x05},
        {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00},
        {0x30, 0x1B, 0x02, 0x01, 0x00, 0x02, 0x01, 0x11, 0x02, 0x01, 0x12, 0x02, 0x01, 0x13, 0x02, 0x01, 0x14,
         0x02, 0x01, 0x15, 0x02, 0x01, 0x16, 0x02, 0x01, 0x17, 0x02, 0x01, 0x18},
    };
    std::mt19937 rng = Generator();
    size_t nDecoded = 0;
    for (size_t i = 0; i < Iterations(); ++i) {
        const ByteBuffer input = Mutate(corpus[i % corpus.size()], corpus, rng);
        std::unique_ptr<ASN1Node> pRoot;
        const LONG lResult = DecodeASN1Memory(input.data(), input.size(), pRoot);
        if (lResult == 0) {
            ++nDecoded;
            ASSERT_TRUE(NodeIsSound(*pRoot, input.size())) << "input " << i;
            RSAPrivateKeyParts stParts;
            DecodePrivateKey(input.data(), input.size(), stParts);
        } else {
            ASSERT_TRUE(lResult == QORA_S_ASN1_DECODE || lResult == ASN1_DECODE_FAILED) << lResult;
            ASSERT_EQ(pRoot, nullptr);
        }
    }
    RecordProperty("decoded", static_cast<int>(nDecoded));
}

TEST(Mutation, EnvelopeParsersAnswerCodes)
{
    const std::string strGood = Number(1) + Number(1) + Number(306) + Field({1, 2, 3, 4}) + Field({5, 6, 7});
    const std::vector<std::string> corpus = {
        strGood,
        Number(2) + Number(2) + Number(0) + Number(0) + Field({9, 9}),
        Number(0) + Number(1) + Number(306) + "0000000000000003A,," + Field({1}),
    };
    std::mt19937 rng = Generator();
    const HRESULT rgAllowed[] = {QORA_OK, QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_DEVICE_TYPE, QORA_E_ENCRYPT_TYPE,
                                 QORA_E_SESSION_KEY_TYPE, E_FAIL, E_OUTOFMEMORY};
    for (size_t i = 0; i < Iterations(); ++i) {
        const std::string text = Mutate(corpus[i % corpus.size()], corpus, rng);
        WString wstr;
        for (unsigned char ch : text) wstr.push_back(ch);
        for (auto pfn : {&ParseEncryptCertPrivateKeyData, &ParseEncryptCertPrivateKeyDataEx}) {
            ByteBuffer vecSession = {0xEE}, vecPrivate = {0xEE};
            ALG_ID algId = 0xEEEE;
            const HRESULT hResult = pfn(wstr, vecSession, vecPrivate, algId);
            ASSERT_NE(std::find(std::begin(rgAllowed), std::end(rgAllowed), hResult), std::end(rgAllowed))
                << std::hex << hResult << " for input " << std::dec << i;
            if (FAILED(hResult)) {
                ASSERT_EQ(vecPrivate, ByteBuffer{0xEE});
            }
        }
    }
}

TEST(Mutation, PrivateKeyBlobAnswersCodes)
{
    // RSAPrivateKey of a 64-bit key: version, n (with its leading zero), e, d, p, q, dP, dQ, qInv.
    ByteBuffer key = {0x30, 0x00, 0x02, 0x01, 0x00, 0x02, 0x09, 0x00};
    for (BYTE b = 0xC1; b <= 0xC8; ++b) key.push_back(b);
    for (BYTE b : {0x02, 0x03, 0x01, 0x00, 0x01, 0x02, 0x08, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68})
        key.push_back(b);
    for (BYTE first : {0x11, 0x21, 0x31, 0x41, 0x51})
        for (BYTE b : {BYTE{0x02}, BYTE{0x04}, first, static_cast<BYTE>(first + 1), static_cast<BYTE>(first + 2),
                       static_cast<BYTE>(first + 3)})
            key.push_back(b);
    key[1] = static_cast<BYTE>(key.size() - 2);
    ByteBuffer seed;
    ASSERT_EQ(getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(key.data(), static_cast<DWORD>(key.size()), 64, seed), QORA_OK);
    const std::vector<ByteBuffer> corpus = {key};
    std::mt19937 rng = Generator();
    for (size_t i = 0; i < Iterations(); ++i) {
        const ByteBuffer input = Mutate(key, corpus, rng);
        ByteBuffer blob = {0xEE};
        const HRESULT hResult =
            getMicrosoftSoftPkcs1PrivateKeyBlob_RSA(input.data(), static_cast<DWORD>(input.size()), 64, blob);
        if (hResult == QORA_OK) {
            ASSERT_EQ(blob.size(), 56u) << "input " << i;
        } else {
            ASSERT_TRUE(hResult == QORA_E_IMPORT_ENCRYPT_CERT || hResult == E_OUTOFMEMORY) << std::hex << hResult;
            ASSERT_EQ(blob, ByteBuffer{0xEE});
        }
    }
}

TEST(Mutation, PropertyBlobWalkStaysInsideItsBlob)
{
    // Elements of id, reserved and length, then the data: a hash, then the certificate (id 32).
    const ByteBuffer blob = {3, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0xA1, 0xA2, 0xA3, 0xA4,
                             32, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0x30, 0x03, 0x02, 0x01, 0x07};
    const std::vector<ByteBuffer> corpus = {blob, ByteBuffer(blob.begin() + 16, blob.end())};
    std::mt19937 rng = Generator();
    for (size_t i = 0; i < Iterations(); ++i) {
        const ByteBuffer input = Mutate(corpus[i % corpus.size()], corpus, rng);
        std::string text;
        if (input.empty() || Base64EncodeEx(input.data(), static_cast<DWORD>(input.size()), text) != QORA_OK) continue;
        const WString wstr(text.begin(), text.end());
        ByteBuffer cert = {0xEE};
        const HRESULT hResult = GetCertFromCertificateBlobProperties(wstr.c_str(), cert);
        if (hResult == QORA_OK) {
            // The certificate is a run of the blob's own bytes.
            ASSERT_NE(std::search(input.begin(), input.end(), cert.begin(), cert.end()), input.end()) << "input " << i;
        } else {
            ASSERT_EQ(hResult, E_FAIL) << std::hex << hResult << " for input " << std::dec << i;
            ASSERT_EQ(cert, ByteBuffer{0xEE});
        }
    }
}
