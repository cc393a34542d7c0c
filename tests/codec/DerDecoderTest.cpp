// DER decoder: the tree it builds, its bounds and limits, and the PKCS #1 private key components.
#include "ResultCode.h"
#include "codec/ASN1Engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A SEQUENCE holding n NULL elements: n + 1 elements in all.
ByteBuffer SequenceOfNulls(size_t n)
{
    const size_t cb = 2 * n;
    ByteBuffer vec = {0x30, 0x82, static_cast<BYTE>(cb >> 8), static_cast<BYTE>(cb)};
    for (size_t i = 0; i < n; ++i) vec.insert(vec.end(), {0x05, 0x00});
    return vec;
}

LONG Decode(const ByteBuffer& vec, std::unique_ptr<ASN1Node>& pRoot)
{
    return DecodeASN1Memory(vec.data(), vec.size(), pRoot);
}

}  // namespace

TEST(DerDecoder, TreeRecordsTagsLengthsAndOffsets)
{
    struct Case {
        const char* pszName;
        ByteBuffer input;
        BYTE bTag;
        DWORD dwContentsLength;
        ULONGLONG ullTotalSize;
        size_t nChildren;
    };
    for (const Case& c : std::vector<Case>{
             {"sequence of one integer", {0x30, 0x03, 0x02, 0x01, 0x05}, 0x30, 3, 5, 1},
             {"indefinite sequence", {0x30, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00}, 0x30, 5, 7, 1},
             {"empty indefinite sequence", {0x30, 0x80, 0x00, 0x00}, 0x30, 2, 4, 0},
             {"context tag A0 has children", {0xA0, 0x03, 0x02, 0x01, 0x05}, 0xA0, 3, 5, 1},
             {"context tag 80 is a leaf", {0x80, 0x03, 0x02, 0x01, 0x05}, 0x80, 3, 5, 0},
             {"indefinite leaf", {0x04, 0x80, 0x41, 0x42, 0x00, 0x00}, 0x04, 4, 6, 0},
             {"long form length", {0x04, 0x81, 0x01, 0x41}, 0x04, 1, 4, 0},
             {"empty sequence", {0x30, 0x00, 0x00}, 0x30, 0, 2, 0},
             {"trailing bytes after the root", {0x02, 0x01, 0x05, 0xEE}, 0x02, 1, 3, 0},
         }) {
        SCOPED_TRACE(c.pszName);
        std::unique_ptr<ASN1Node> pRoot;
        ASSERT_EQ(Decode(c.input, pRoot), 0);
        EXPECT_EQ(pRoot->bTag, c.bTag);
        EXPECT_EQ(pRoot->dwContentsLength, c.dwContentsLength);
        EXPECT_EQ(pRoot->ullTotalSize, c.ullTotalSize);
        EXPECT_FALSE(pRoot->bIndefinite);
        EXPECT_EQ(pRoot->children.size(), c.nChildren);
    }

    const ByteBuffer vecInput = {0x30, 0x03, 0x02, 0x01, 0x05};  // nodes point into it
    std::unique_ptr<ASN1Node> pRoot;
    ASSERT_EQ(Decode(vecInput, pRoot), 0);
    const ASN1Node& child = *pRoot->children[0];
    EXPECT_EQ(child.bTag, 0x02);
    EXPECT_EQ(child.ullContentsOffset, 4u);
    EXPECT_EQ(child.dwContentsLength, 1u);
    EXPECT_EQ(child.pParent, pRoot.get());
    EXPECT_EQ(child.Contents()[0], 0x05);
}

TEST(DerDecoder, RefusesWhatRunsPastTheInputOrItsParent)
{
    struct Case {
        const char* pszName;
        ByteBuffer input;
        LONG lWant;
    };
    for (const Case& c : std::vector<Case>{
             {"two bytes", {0x05, 0x00}, QORA_S_ASN1_DECODE},
             {"one byte", {0x30}, QORA_S_ASN1_DECODE},
             {"nothing", {}, QORA_S_ASN1_DECODE},
             {"five length octets", {0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x41}, QORA_S_ASN1_DECODE},
             {"length octets past the end", {0x04, 0x84, 0x00, 0x00}, QORA_S_ASN1_DECODE},
             {"sequence longer than the input", {0x30, 0x05, 0x02, 0x01, 0x05}, ASN1_DECODE_FAILED},
             {"leaf longer than the input", {0x04, 0x05, 0x41}, ASN1_DECODE_FAILED},
             {"child past its parent", {0x30, 0x03, 0x02, 0x02, 0x05, 0x05}, ASN1_DECODE_FAILED},
             {"child header cut by its parent", {0x30, 0x01, 0x02, 0x01, 0x05}, ASN1_DECODE_FAILED},
             {"indefinite without end", {0x30, 0x80, 0x02, 0x01, 0x05}, ASN1_DECODE_FAILED},
             {"indefinite leaf without end", {0x04, 0x80, 0x41, 0x42, 0x00}, ASN1_DECODE_FAILED},
             {"huge length", {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x05, 0x00}, ASN1_DECODE_FAILED},
         }) {
        SCOPED_TRACE(c.pszName);
        std::unique_ptr<ASN1Node> pRoot;
        EXPECT_EQ(Decode(c.input, pRoot), c.lWant);
        EXPECT_EQ(pRoot, nullptr);
    }
}

TEST(DerDecoder, OneInputHoldsAtMost255Elements)
{
    std::unique_ptr<ASN1Node> pRoot;
    ASSERT_EQ(Decode(SequenceOfNulls(254), pRoot), 0);
    EXPECT_EQ(pRoot->children.size(), 254u);
    pRoot.reset();
    EXPECT_EQ(Decode(SequenceOfNulls(255), pRoot), ASN1_DECODE_FAILED);

    // Nesting counts the same as siblings, and deep nesting ends at the limit instead of the stack.
    ByteBuffer vecDeep;
    for (int i = 0; i < 300; ++i) vecDeep.insert(vecDeep.end(), {0x30, 0x80});
    EXPECT_EQ(Decode(vecDeep, pRoot), ASN1_DECODE_FAILED);
}

TEST(DerDecoder, PrivateKeyComponentsComeOutLittleEndianInBlobOrder)
{
    struct Case {
        ByteBuffer contents;
        ByteBuffer want;
    };
    for (const Case& c : std::vector<Case>{{{0x00, 0xC1, 0x02}, {0x02, 0xC1}},
                                           {{0x7F, 0x01}, {0x01, 0x7F}},
                                           {{0x00}, {}},
                                           {{0x00, 0x00, 0x01}, {0x01, 0x00}}}) {
        ByteBuffer vecInteger = {0x02, static_cast<BYTE>(c.contents.size())};
        vecInteger.insert(vecInteger.end(), c.contents.begin(), c.contents.end());
        std::unique_ptr<ASN1Node> pRoot;
        ASSERT_EQ(Decode(vecInteger, pRoot), 0);
        ByteBuffer vec = {0xEE};
        ASSERT_EQ(CopyPrivateKeyAttribute(*pRoot, vec), QORA_OK);
        EXPECT_EQ(vec, c.want);
    }

    // version, n, e, d, p, q, dP, dQ, qInv: each INTEGER holds its index so the order shows.
    ByteBuffer vecKey = {0x30, 27};
    for (BYTE i = 0; i < 9; ++i) vecKey.insert(vecKey.end(), {0x02, 0x01, static_cast<BYTE>(0x10 + i)});
    RSAPrivateKeyParts stParts;
    ASSERT_EQ(DecodePrivateKey(vecKey.data(), vecKey.size(), stParts), QORA_OK);
    EXPECT_EQ(stParts.vecModulus, ByteBuffer{0x11});
    EXPECT_EQ(stParts.vecPrivateExponent, ByteBuffer{0x13});
    EXPECT_EQ(stParts.vecPrime1, ByteBuffer{0x14});
    EXPECT_EQ(stParts.vecPrime2, ByteBuffer{0x15});
    EXPECT_EQ(stParts.vecExponent1, ByteBuffer{0x16});
    EXPECT_EQ(stParts.vecExponent2, ByteBuffer{0x17});
    EXPECT_EQ(stParts.vecCoefficient, ByteBuffer{0x18});

    vecKey[1] = 24;
    vecKey.resize(26);  // eight components
    EXPECT_EQ(DecodePrivateKey(vecKey.data(), vecKey.size(), stParts), ASN1_DECODE_FAILED);
}
