// Request signing: SM2 (r, s) re-encoding, SM2 key blob conversions, and RSA signatures made in a real CSP.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "codec/Misc.h"
#include "ImportPatch.h"
#include "request/PKCS10Request.h"

using reqtest::Concat;
using reqtest::Hex;
using reqtest::ToHex;

namespace {

ByteBuffer Half(BYTE bFirst, BYTE bFill, size_t cb = 32)
{
    ByteBuffer vec(cb, bFill);
    vec[0] = bFirst;
    return vec;
}

DWORD g_cbSignatureReported = 0;

// A provider that reports a signature size it could never deliver.
BOOL WINAPI ReportSignatureSize(HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE* pbSignature, DWORD* pcbSignature)
{
    if (pbSignature == nullptr) {
        *pcbSignature = g_cbSignatureReported;
        return TRUE;
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

}  // namespace

TEST(SM2Signature, IntegersKeepTheir32BytesAndGainAZeroWhenTheyWouldReadNegative)
{
    struct Case {
        const char* name;
        ByteBuffer r, s;
        ByteBuffer want;
    };
    const ByteBuffer rLow = Half(0x7F, 0x11), sLow = Half(0x01, 0x22);
    const ByteBuffer rHigh = Half(0x80, 0x33), sHigh = Half(0xFF, 0x44);
    const ByteBuffer rZero = Half(0x00, 0x55);
    for (const Case& c : std::vector<Case>{
             {"both low", rLow, sLow, Concat({Hex("30 44 02 20"), rLow, Hex("02 20"), sLow})},
             {"r high", rHigh, sLow, Concat({Hex("30 45 02 21 00"), rHigh, Hex("02 20"), sLow})},
             {"s high", rLow, sHigh, Concat({Hex("30 45 02 20"), rLow, Hex("02 21 00"), sHigh})},
             {"both high", rHigh, sHigh, Concat({Hex("30 46 02 21 00"), rHigh, Hex("02 21 00"), sHigh})},
             // A leading zero byte is not removed.
             {"r zero", rZero, sLow, Concat({Hex("30 44 02 20"), rZero, Hex("02 20"), sLow})},
         }) {
        SCOPED_TRACE(c.name);
        ByteBuffer raw = Concat({c.r, c.s});
        ByteBuffer vec;
        ASSERT_EQ(SM2EncodeRawSignature(raw.data(), 64, vec), QORA_OK);
        EXPECT_EQ(ToHex(vec), ToHex(c.want));

        ByteBuffer bits;
        ASSERT_EQ(ComposeSignature(raw.data(), 64, TRUE, bits), QORA_OK);
        ByteBuffer lengths = {0x03, static_cast<BYTE>(c.want.size() + 1), 0x00};
        EXPECT_EQ(ToHex(bits), ToHex(Concat({lengths, c.want})));
    }
}

TEST(SM2Signature, OtherSizesFailWithInvalidData)
{
    ByteBuffer raw(65, 0x01);
    for (DWORD cb : {0u, 32u, 63u, 65u}) {
        SCOPED_TRACE(cb);
        ByteBuffer vec;
        EXPECT_EQ(SM2EncodeRawSignature(raw.data(), cb, vec), static_cast<HRESULT>(0x8007000D));
        EXPECT_EQ(ComposeSignature(raw.data(), cb, TRUE, vec), static_cast<HRESULT>(0x8007000D));
        EXPECT_TRUE(vec.empty());
    }
}

TEST(SM2PublicKey, BlobBecomesBigEndianPointAndTheTemporaryKeyStructure)
{
    // Header, bit length 256, X field (coordinate 01..20 little-endian, then 32 bytes of A0..BF), Y field
    // (coordinate 41..60, then C0..DF).
    ByteBuffer blob = Hex("06 02 00 00 00 BE 00 00 00 01 00 00");
    ByteBuffer xField, yField;
    for (int i = 0; i < 32; ++i) xField.push_back(static_cast<BYTE>(0x01 + i));
    for (int i = 0; i < 32; ++i) xField.push_back(static_cast<BYTE>(0xA0 + i));
    for (int i = 0; i < 32; ++i) yField.push_back(static_cast<BYTE>(0x41 + i));
    for (int i = 0; i < 32; ++i) yField.push_back(static_cast<BYTE>(0xC0 + i));
    blob = Concat({blob, xField, yField});
    ASSERT_EQ(blob.size(), 140u);

    ByteBuffer xBig(xField.rend() - 32, xField.rend());
    ByteBuffer yBig(yField.rend() - 32, yField.rend());
    ByteBuffer point;
    ASSERT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.data(), 140, point), QORA_OK);
    EXPECT_EQ(ToHex(point), ToHex(Concat({{0x04}, xBig, yBig})));

    ByteBuffer tempKey;
    ASSERT_EQ(ConvertSM2PublicKeyBlobToTempKey(blob.data(), 140, tempKey), QORA_OK);
    ByteBuffer want = Concat({Hex("00 B4 00 00 00 01 00 00"), xBig, ByteBuffer(xField.begin() + 32, xField.end()), yBig,
                              ByteBuffer(yField.begin() + 32, yField.end())});
    ASSERT_EQ(tempKey.size(), 136u);
    EXPECT_EQ(ToHex(tempKey), ToHex(want));

    // A blob shorter than its layout is refused rather than read past its end.
    EXPECT_EQ(ConvertSM2PublicKeyBlobToPoint(blob.data(), 139, point), static_cast<HRESULT>(0x8007000D));
    EXPECT_EQ(ConvertSM2PublicKeyBlobToTempKey(blob.data(), 12, tempKey), static_cast<HRESULT>(0x8007000D));
}

TEST(RSASignature, ComposeSignatureWrapsTheBytesAsTheyAre)
{
    ByteBuffer raw;
    for (int i = 1; i <= 255; ++i) raw.push_back(static_cast<BYTE>(i));
    ByteBuffer bits;
    ASSERT_EQ(ComposeSignature(raw.data(), static_cast<DWORD>(raw.size()), FALSE, bits), QORA_OK);
    EXPECT_EQ(bits, Concat({Hex("03 82 01 00 00"), raw}));
}

// A key in a fresh container of the Enhanced provider, released and deleted with the fixture.
class RSASigning : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CreateGUIDStr(m_wstrContainer), QORA_OK);
        ASSERT_TRUE(CryptAcquireContextW(m_hProv.put(), m_wstrContainer.c_str(), kCSP, PROV_RSA_FULL, CRYPT_NEWKEYSET));
        CryptKey hKey;
        ASSERT_TRUE(CryptGenKey(m_hProv.get(), AT_SIGNATURE, 1024 << 16, hKey.put()));
    }
    void TearDown() override
    {
        m_hProv.reset();
        reqtest::DeleteContainer(m_wstrContainer, kCSP, PROV_RSA_FULL);
    }
    // The platform's own signature over the data in one piece, as the platform gives it.
    ByteBuffer PlatformSignature(const ByteBuffer& vecData, ALG_ID algHash)
    {
        CryptHash hHash;
        EXPECT_TRUE(CryptCreateHash(m_hProv.get(), algHash, 0, 0, hHash.put()));
        EXPECT_TRUE(CryptHashData(hHash.get(), vecData.data(), static_cast<DWORD>(vecData.size()), 0));
        DWORD cb = 0;
        EXPECT_TRUE(CryptSignHashW(hHash.get(), AT_SIGNATURE, nullptr, 0, nullptr, &cb));
        ByteBuffer vec(cb);
        EXPECT_TRUE(CryptSignHashW(hHash.get(), AT_SIGNATURE, nullptr, 0, vec.data(), &cb));
        return vec;
    }

    static constexpr const WCHAR* kCSP = TEXT("Microsoft Enhanced Cryptographic Provider v1.0");
    WString m_wstrContainer;
    CryptProv m_hProv;
};

TEST_F(RSASigning, SignatureIsThePlatformsReversedAndLongDataIsHashedInChunks)
{
    // PKCS #1 v1.5 signatures are deterministic, so the platform's own signature is the reference.
    for (size_t cb : {size_t(1), size_t(0x4000), size_t(0x4001), size_t(40000)}) {
        for (ALG_ID algHash : {CALG_SHA1, CALG_MD5}) {
            SCOPED_TRACE(testing::Message() << cb << " bytes, hash " << algHash);
            ByteBuffer vecData(cb);
            for (size_t i = 0; i < cb; ++i) vecData[i] = static_cast<BYTE>(i * 31 + 7);
            ByteBuffer vecSignature;
            ASSERT_EQ(PKCS10CalculateHashandSign(m_hProv.get(), "1.2.840.113549.1.1.1", vecData.data(),
                                                 static_cast<DWORD>(cb), algHash, AT_SIGNATURE, vecSignature),
                      QORA_OK);
            ByteBuffer vecPlatform = PlatformSignature(vecData, algHash);
            ASSERT_EQ(vecSignature.size(), 128u);
            EXPECT_EQ(vecSignature, ByteBuffer(vecPlatform.rbegin(), vecPlatform.rend()));
        }
    }
}

TEST_F(RSASigning, MissingKeyOrBadHashFailsWithThePlatformsError)
{
    const BYTE rgb[3] = {'a', 'b', 'c'};
    ByteBuffer vec;
    EXPECT_EQ(PKCS10CalculateHashandSign(m_hProv.get(), "1.2.840.113549.1.1.1", rgb, 3, CALG_SHA1, AT_KEYEXCHANGE, vec),
              NTE_NO_KEY);
    EXPECT_EQ(PKCS10CalculateHashandSign(m_hProv.get(), "1.2.840.113549.1.1.1", rgb, 3, 0x8099, AT_SIGNATURE, vec),
              NTE_BAD_ALGID);
    EXPECT_TRUE(vec.empty());
}

TEST_F(RSASigning, SignatureSizeNoBufferCanHoldGivesOutOfMemory)
{
    reqtest::AllocationCeiling ceiling;
    ASSERT_TRUE(ceiling.Active());
    const BYTE rgb[3] = {'a', 'b', 'c'};
    for (DWORD cb : reqtest::kImpossibleSizes) {
        SCOPED_TRACE(cb);
        g_cbSignatureReported = cb;
        reqtest::ImportPatch patch("advapi32.dll", "CryptSignHashW", reinterpret_cast<const void*>(&ReportSignatureSize));
        ASSERT_TRUE(patch.Active());
        ByteBuffer vec = {0xEE};
        EXPECT_EQ(PKCS10CalculateHashandSign(m_hProv.get(), "1.2.840.113549.1.1.1", rgb, 3, CALG_SHA1, AT_SIGNATURE, vec),
                  E_OUTOFMEMORY);
        EXPECT_EQ(vec, ByteBuffer{0xEE});
    }
}
