// DER encoder: length octets, accepted tags, strings, bit strings and identifier-value pairs.
#include "RequestTestSupport.h"

#include "ResultCode.h"
#include "codec/ASN1Engine.h"
#include "ImportPatch.h"

using reqtest::Concat;
using reqtest::Hex;
using reqtest::ToHex;

namespace {

DWORD g_cbEncodedReported = 0;

// An encoder that reports a size it could never deliver.
BOOL WINAPI ReportEncodedSize(DWORD, LPCSTR, const void*, BYTE* pbEncoded, DWORD* pcbEncoded)
{
    if (pbEncoded == nullptr) {
        *pcbEncoded = g_cbEncodedReported;
        return TRUE;
    }
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
}

}  // namespace

TEST(DerEncoder, LengthOctetsUseShortFormThenTheShortestLongForm)
{
    struct Case {
        DWORD cb;
        const char* want;
    };
    for (const Case& c : std::vector<Case>{{1, "01"},
                                           {5, "05"},
                                           {127, "7F"},
                                           {128, "81 80"},
                                           {255, "81 FF"},
                                           {256, "82 01 00"},
                                           {65535, "82 FF FF"},
                                           {65536, "83 01 00 00"},
                                           {0x01000000, "84 01 00 00 00"}}) {
        SCOPED_TRACE(c.cb);
        ByteBuffer vec;
        ASSERT_EQ(CalculateASNValueLength(c.cb, vec), QORA_OK);
        EXPECT_EQ(ToHex(vec), ToHex(Hex(c.want)));
    }
    ByteBuffer vec;
    EXPECT_EQ(CalculateASNValueLength(0, vec), E_FAIL);
}

TEST(DerEncoder, ASN1EncodeWritesTagLengthAndContents)
{
    for (DWORD cb : {5u, 127u, 128u, 256u, 65536u}) {
        SCOPED_TRACE(cb);
        ByteBuffer vecContents(cb);
        for (DWORD i = 0; i < cb; ++i) vecContents[i] = static_cast<BYTE>(i * 7);
        ByteBuffer vecLength;
        ASSERT_EQ(CalculateASNValueLength(cb, vecLength), QORA_OK);
        ByteBuffer vec;
        ASSERT_EQ(ASN1Encode(0x04, vecContents, vec), QORA_OK);
        EXPECT_EQ(vec, Concat({{0x04}, vecLength, vecContents}));
    }
}

TEST(DerEncoder, ASN1EncodeAcceptsOnlyItsTagsAndNonEmptyContents)
{
    const BYTE rgb[2] = {0x01, 0x02};
    for (BYTE bTag : {0x02, 0x04, 0x06, 0x0C, 0x13, 0x16, 0x1E, 0x30, 0x31, 0x80, 0xA0}) {
        SCOPED_TRACE(bTag);
        ByteBuffer vec;
        EXPECT_EQ(ASN1Encode(bTag, rgb, 2, vec), QORA_OK);
        EXPECT_EQ(vec, (ByteBuffer{bTag, 0x02, 0x01, 0x02}));
    }
    for (BYTE bTag : {0x00, 0x01, 0x03, 0x05, 0x17, 0x18, 0x81, 0xA1, 0xFF}) {
        SCOPED_TRACE(bTag);
        ByteBuffer vec;
        EXPECT_EQ(ASN1Encode(bTag, rgb, 2, vec), E_FAIL);
        EXPECT_TRUE(vec.empty());
    }
    ByteBuffer vec;
    EXPECT_EQ(ASN1Encode(0x30, rgb, 0, vec), E_FAIL);
    EXPECT_EQ(ASN1Encode(0x04, nullptr, 0, vec), E_FAIL);
}

// SEQUENCE { SET { OCTET STRING of n bytes }, NULL } written in place after a byte already in the buffer:
// every length is filled in when its element closes, the long forms moving what follows them.
TEST(DerWriter, NestedElementsGetTheirLengthsFilledInWhenTheyClose)
{
    struct Case {
        size_t cb;
        const char* pszSequence;
        const char* pszSet;
        const char* pszOctets;
    };
    for (const Case& c : std::vector<Case>{
             {1, "30 07", "31 03", "04 01"},
             {125, "30 81 83", "31 7F", "04 7D"},
             {126, "30 81 85", "31 81 80", "04 7E"},
             {127, "30 81 86", "31 81 81", "04 7F"},
             {128, "30 81 88", "31 81 83", "04 81 80"},
             {255, "30 82 01 08", "31 82 01 02", "04 81 FF"},
             {256, "30 82 01 0A", "31 82 01 04", "04 82 01 00"},
             {65535, "30 83 01 00 0A", "31 83 01 00 03", "04 82 FF FF"},
             {65536, "30 83 01 00 0C", "31 83 01 00 05", "04 83 01 00 00"},
         }) {
        SCOPED_TRACE(c.cb);
        ByteBuffer vecContents(c.cb);
        for (size_t i = 0; i < c.cb; ++i) vecContents[i] = static_cast<BYTE>(i * 7 + 1);
        const ByteBuffer vecWant =
            Concat({{0xEE}, Hex(c.pszSequence), Hex(c.pszSet), Hex(c.pszOctets), vecContents, {0x05, 0x00}});

        // the writer alone
        ByteBuffer vec = {0xEE};
        DerWriter writer(vec);
        const DerWriter::Mark markSequence = writer.Open(0x30);
        const DerWriter::Mark markSet = writer.Open(0x31);
        const DerWriter::Mark markOctets = writer.Open(0x04);
        writer.Append(vecContents);
        ASSERT_TRUE(writer.Close(markOctets));
        ASSERT_TRUE(writer.Close(markSet));
        writer.Append({0x05, 0x00});
        ASSERT_TRUE(writer.Close(markSequence));
        EXPECT_EQ(vec, vecWant);

        // the same through the traced encoder, closing with ASN1Encode
        ByteBuffer vecTraced = {0xEE};
        DerWriter traced(vecTraced);
        const DerWriter::Mark markTracedSequence = traced.Open(ASN1_TAG_SEQUENCE);
        const DerWriter::Mark markTracedSet = traced.Open(ASN1_TAG_SET);
        ASSERT_EQ(ASN1Encode(ASN1_TAG_OCTET_STRING, vecContents.data(), static_cast<DWORD>(c.cb), traced), QORA_OK);
        ASSERT_EQ(ASN1Encode(ASN1_TAG_SET, traced, markTracedSet), QORA_OK);
        traced.Append({0x05, 0x00});
        ASSERT_EQ(ASN1Encode(ASN1_TAG_SEQUENCE, traced, markTracedSequence), QORA_OK);
        EXPECT_EQ(vecTraced, vecWant);
    }
}

TEST(DerWriter, ClosingWithASN1EncodeRefusesWhatTheCopyingFormRefuses)
{
    struct Case {
        BYTE bTag;
        ByteBuffer contents;
        HRESULT hWant;
    };
    for (const Case& c : std::vector<Case>{
             {ASN1_TAG_SEQUENCE, Hex("02 01 05"), QORA_OK},
             {ASN1_TAG_CONTEXT_0_CONSTRUCTED, Hex("05 00"), QORA_OK},
             {ASN1_TAG_SEQUENCE, {}, E_FAIL},  // empty contents
             {0x03, Hex("00 01"), E_FAIL},     // BIT STRING is not an ASN1Encode tag
             {0xA1, Hex("05 00"), E_FAIL},
         }) {
        SCOPED_TRACE(ToHex({c.bTag}) + " " + ToHex(c.contents));
        ByteBuffer vecCopied;
        EXPECT_EQ(ASN1Encode(c.bTag, c.contents, vecCopied), c.hWant);
        ByteBuffer vec;
        DerWriter writer(vec);
        const DerWriter::Mark mark = writer.Open(c.bTag);
        writer.Append(c.contents);
        EXPECT_EQ(ASN1Encode(c.bTag, writer, mark), c.hWant);
        if (c.hWant == QORA_OK) {
            EXPECT_EQ(vec, vecCopied);
        }
    }
}

TEST(DerWriter, UnsignedIntegersAreMinimalAndNeverNegative)
{
    struct Case {
        const char* pszMagnitude;
        const char* pszWant;
    };
    for (const Case& c : std::vector<Case>{{"", "02 01 00"},
                                           {"00", "02 01 00"},
                                           {"00 00 7F", "02 01 7F"},
                                           {"80", "02 02 00 80"},
                                           {"00 00 80 01", "02 03 00 80 01"},
                                           {"01 02", "02 02 01 02"}}) {
        SCOPED_TRACE(c.pszMagnitude);
        const ByteBuffer vecMagnitude = Hex(c.pszMagnitude);
        ByteBuffer vec;
        DerWriter writer(vec);
        ASSERT_TRUE(writer.AppendUnsignedInteger(vecMagnitude.data(), vecMagnitude.size()));
        EXPECT_EQ(ToHex(vec), ToHex(Hex(c.pszWant)));
    }
}

TEST(DerWriter, AFailedAllocationStopsTheWriterBeforeAnythingIsRead)
{
    const BYTE rgb[4] = {1, 2, 3, 4};
    ByteBuffer vec = {0xEE};
    DerWriter writer(vec);
    const DerWriter::Mark mark = writer.Open(ASN1_TAG_SEQUENCE);
    // rgb holds 4 bytes: reading would fault. Volatile, so the compiler does not see the copy's bound.
    volatile size_t cbHuge = static_cast<size_t>(-1) - 1;
    EXPECT_FALSE(writer.Append(rgb, cbHuge));
    EXPECT_TRUE(writer.Failed());
    EXPECT_FALSE(writer.Append(rgb, sizeof(rgb)));
    EXPECT_FALSE(writer.Close(mark));
    EXPECT_EQ(ASN1Encode(ASN1_TAG_SEQUENCE, writer, mark), E_OUTOFMEMORY);
    EXPECT_EQ(ToHex(vec), "EE 30 00");
}

TEST(DerEncoder, ComposeAnyStringWritesTheElementOfEachValueType)
{
    const char szText[] = "Bank 1";
    const BYTE* pbText = reinterpret_cast<const BYTE*>(szText);
    const WString wstrText = TEXT("caf\x00E9");  // UTF-16 in, UTF-8 out
    struct Case {
        DWORD dwType;
        DWORD cb;
        const BYTE* pb;
        const char* want;
    };
    for (const Case& c : std::vector<Case>{
             {CERT_RDN_PRINTABLE_STRING, 6, pbText, "13 06 42 61 6E 6B 20 31"},
             {CERT_RDN_IA5_STRING, 6, pbText, "16 06 42 61 6E 6B 20 31"},
             {CERT_RDN_OCTET_STRING, 3, pbText, "04 03 42 61 6E"},
             {CERT_RDN_UTF8_STRING, static_cast<DWORD>(wstrText.size() * 2),
              reinterpret_cast<const BYTE*>(wstrText.c_str()), "0C 05 63 61 66 C3 A9"},
         }) {
        SCOPED_TRACE(c.dwType);
        ByteBuffer vec;
        ASSERT_EQ(ComposeAnyString(c.cb, c.dwType, c.pb, vec), QORA_OK);
        EXPECT_EQ(ToHex(vec), ToHex(Hex(c.want)));
    }
}

TEST(DerEncoder, ComposeBITStringPutsTheUnusedBitsOctetFirst)
{
    ByteBuffer vec;
    ASSERT_EQ(ComposeBITString(ByteBuffer{0xAA, 0xBB, 0xCC}, vec), QORA_OK);
    EXPECT_EQ(ToHex(vec), "03 04 00 AA BB CC");

    ByteBuffer vecLong(200, 0x5A);
    ASSERT_EQ(ComposeBITString(vecLong, vec), QORA_OK);
    EXPECT_EQ(vec, Concat({Hex("03 81 C9 00"), vecLong}));
}

TEST(DerEncoder, ComposeSpecialAttributePlacesOneValueWithoutASet)
{
    ByteBuffer vecCurve;
    ASSERT_EQ(EncodeObjectID("1.2.156.10197.1.301", vecCurve), QORA_OK);
    EXPECT_EQ(ToHex(vecCurve), "06 08 2A 81 1C CF 55 01 82 2D");

    struct Case {
        const char* pszObjID;
        ByteBuffer value;
        const char* want;
    };
    for (const Case& c : std::vector<Case>{
             {"1.2.840.113549.1.1.5", {}, "30 0D 06 09 2A 86 48 86 F7 0D 01 01 05 05 00"},
             {"1.2.840.10045.2.1", vecCurve, "30 13 06 07 2A 86 48 CE 3D 02 01 06 08 2A 81 1C CF 55 01 82 2D"},
             {"1.2.840.113549.1.9.7", Hex("13 06 32 34 36 38 30 32"),
              "30 13 06 09 2A 86 48 86 F7 0D 01 09 07 13 06 32 34 36 38 30 32"},
             {"2.5.4.3", Hex("0C 01 41"), "30 08 06 03 55 04 03 0C 01 41"},
             // Long-form lengths pass through unchanged.
             {"2.5.4.3", Concat({Hex("04 81 80"), ByteBuffer(128, 0x11)}), nullptr},
         }) {
        SCOPED_TRACE(c.pszObjID);
        ByteBuffer vec;
        ASSERT_EQ(ComposeSpecialAttribute(c.pszObjID, c.value, vec), QORA_OK);
        if (c.want != nullptr)
            EXPECT_EQ(ToHex(vec), ToHex(Hex(c.want)));
        else
            EXPECT_EQ(vec, Concat({Hex("30 81 88 06 03 55 04 03"), c.value}));
    }
}

TEST(DerEncoder, ComposeSpecialAttributeRefusesWhatItCannotReEncode)
{
    struct Case {
        const char* pszObjID;
        ByteBuffer value;
        bool bPlatformError;  // the platform encoder's own failure rather than E_FAIL
    };
    for (const Case& c : std::vector<Case>{
             {"2.5.4.3", Hex("0C 00"), false},            // empty contents
             {"2.5.4.3", Hex("03 02 00 01"), false},      // BIT STRING is not an ASN1Encode tag
             {"2.5.4.3", Hex("0C 05 41"), false},         // contents run past the value
             {"2.5.4.3", Hex("0C 01 41 42"), false},      // more than one element
             {"2.5.4.3", Hex("0C 84 FF FF FF FF"), false},  // length beyond the buffer
             {"", Hex("0C 01 41"), true},
             {nullptr, {}, false},
             {"not.an.oid", {}, true},
         }) {
        SCOPED_TRACE(std::string(c.pszObjID != nullptr ? c.pszObjID : "(null)") + " " + ToHex(c.value));
        ByteBuffer vec = {0xEE};
        HRESULT hResult = ComposeSpecialAttribute(c.pszObjID, c.value, vec);
        if (c.bPlatformError) {
            EXPECT_TRUE(FAILED(hResult));
            EXPECT_NE(hResult, E_FAIL);
        } else if (c.pszObjID == nullptr) {
            EXPECT_EQ(hResult, E_INVALIDARG);
        } else {
            EXPECT_EQ(hResult, E_FAIL);
        }
        EXPECT_EQ(vec, ByteBuffer{0xEE});
    }
}

TEST(DerEncoder, NullBytesWithALengthAreRefusedNotTakenForNoValue)
{
    ByteBuffer vec = {0xEE};
    EXPECT_EQ(ComposeSpecialAttribute("1.2.840.113549.1.1.5", nullptr, 4, vec), E_POINTER);
    EXPECT_EQ(ASN1Encode(0x04, nullptr, 4, vec), E_POINTER);
    EXPECT_EQ(ComposeBITString(4, nullptr, vec), E_POINTER);
    EXPECT_EQ(ComposeAnyString(4, CERT_RDN_PRINTABLE_STRING, nullptr, vec), E_POINTER);
    EXPECT_EQ(vec, ByteBuffer{0xEE});
}

TEST(DerEncoder, SizesNoBufferCanHoldGiveOutOfMemory)
{
    reqtest::AllocationCeiling ceiling;
    ASSERT_TRUE(ceiling.Active());
    // The element would be larger than the process can allocate; nothing is read or written.
    const BYTE rgb[4] = {1, 2, 3, 4};
    for (DWORD cb : reqtest::kImpossibleSizes) {
        SCOPED_TRACE(cb);
        ByteBuffer vec = {0xEE};
        EXPECT_EQ(ASN1Encode(0x04, rgb, cb, vec), E_OUTOFMEMORY);
        EXPECT_EQ(ComposeBITString(cb, rgb, vec), E_OUTOFMEMORY);
        EXPECT_EQ(vec, ByteBuffer{0xEE});
    }

    // The platform encoder reports the size; every composer built on it passes the failure on.
    for (DWORD cb : reqtest::kImpossibleSizes) {
        SCOPED_TRACE(cb);
        g_cbEncodedReported = cb;
        reqtest::ImportPatch patch("crypt32.dll", "CryptEncodeObject", reinterpret_cast<const void*>(&ReportEncodedSize));
        ASSERT_TRUE(patch.Active());
        ByteBuffer vec = {0xEE};
        CRYPT_BIT_BLOB stBits = {sizeof(rgb), const_cast<BYTE*>(rgb), 0};
        EXPECT_EQ(EncodeObject(X509_BITS, &stBits, vec), E_OUTOFMEMORY);
        EXPECT_EQ(ComposeAnyString(sizeof(rgb), CERT_RDN_OCTET_STRING, rgb, vec), E_OUTOFMEMORY);
        EXPECT_EQ(ComposeSpecialAttribute("2.5.4.3", Hex("0C 01 41"), vec), E_OUTOFMEMORY);
        EXPECT_EQ(vec, ByteBuffer{0xEE});
    }
}
