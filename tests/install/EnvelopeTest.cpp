// The encrypted-key envelope: header checks, field reading, Base64 and DER unwrapping, in both layouts.
#include "ResultCode.h"
#include "codec/Misc.h"
#include "install/ImportEncryptCert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

WString Widen(const std::string& str) { return WString(str.begin(), str.end()); }

// A 16-character number field, zero-padded as the authority writes it.
std::string Number(long lValue)
{
    std::string str = std::to_string(lValue);
    return std::string(16 - str.size(), '0') + str;
}

std::string Base64(const ByteBuffer& vec)
{
    std::string str;
    EXPECT_EQ(Base64EncodeEx(vec.data(), static_cast<DWORD>(vec.size()), str), QORA_OK);
    return str;
}

// SEQUENCE {INTEGER 1, OCTET STRING material}
ByteBuffer Wrapped(const ByteBuffer& material)
{
    ByteBuffer vec;
    vec.reserve(7 + material.size());
    for (BYTE b : {BYTE{0x30}, static_cast<BYTE>(5 + material.size()), BYTE{0x02}, BYTE{0x01}, BYTE{0x01}, BYTE{0x04},
                   static_cast<BYTE>(material.size())})
        vec.push_back(b);
    for (BYTE b : material) vec.push_back(b);
    return vec;
}

// A length-prefixed field whose text ends in ",".
std::string Field(const std::string& text) { return Number(static_cast<long>(text.size() + 1)) + text + ","; }

const ByteBuffer kSession = {0x5E, 0x55, 0x10, 0x4E};
const ByteBuffer kPrivate = {0x9A, 0x1B, 0x2C};

std::string Envelope(long lDevice, long lEncrypt, long lSessionType)
{
    return Number(lDevice) + Number(lEncrypt) + Number(lSessionType) + Field(Base64(Wrapped(kSession))) +
           Field(Base64(Wrapped(kPrivate)));
}

using Parser = HRESULT (*)(const WString&, ByteBuffer&, ByteBuffer&, ALG_ID&);

struct Parsed {
    HRESULT hResult;
    ByteBuffer session, privateKey;
    ALG_ID algId;
};

Parsed Parse(Parser pfn, const std::string& envelope)
{
    Parsed p = {E_FAIL, {0xEE}, {0xEE}, 0xEEEE};
    p.hResult = pfn(Widen(envelope), p.session, p.privateKey, p.algId);
    return p;
}

}  // namespace

TEST(Envelope, HeaderAndLayoutDecideWhatParses)
{
    struct Case {
        const char* pszName;
        std::string envelope;
        HRESULT hClassic, hExtended;
    };
    const std::string good = Envelope(1, 1, 306);
    for (const Case& c : std::vector<Case>{
             {"1, 1, 306", good, QORA_OK, QORA_OK},
             {"device 0, encrypt 2", Envelope(0, 2, 306), QORA_OK, QORA_OK},
             {"no session key", Envelope(1, 1, 0), QORA_E_SESSION_KEY_TYPE, QORA_OK},
             {"session key type 305", Envelope(1, 1, 305), QORA_E_SESSION_KEY_TYPE, QORA_E_SESSION_KEY_TYPE},
             {"device 3 before a bad encrypt type", Envelope(3, 0, 306), QORA_E_DEVICE_TYPE, QORA_E_DEVICE_TYPE},
             {"device -1", "-1              " + good.substr(16), QORA_E_DEVICE_TYPE, QORA_E_DEVICE_TYPE},
             {"zeros before a sign read 0", "00000000000000-1" + good.substr(16), QORA_OK, QORA_OK},
             {"encrypt 0", Envelope(1, 0, 306), QORA_E_ENCRYPT_TYPE, QORA_E_ENCRYPT_TYPE},
             // Past LONG's range a number stays there: 2^32 + 1 and 2^32 + 306 are neither 1 nor 306.
             {"device 2^32 + 1", "0000004294967297" + good.substr(16), QORA_E_DEVICE_TYPE, QORA_E_DEVICE_TYPE},
             {"session key type 2^32 + 306", Number(1) + Number(1) + "0000004294967602" + good.substr(48),
              QORA_E_SESSION_KEY_TYPE, QORA_E_SESSION_KEY_TYPE},
             {"field length 2^32 + 4", Number(1) + Number(1) + Number(306) + "0000004294967300" + "AAA," + good.substr(48),
              QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"numbers padded with spaces after", "1               1               306             " +
                                                      good.substr(48),
              QORA_OK, QORA_OK},
             {"numbers with white space and sign before", "  +1            \t1              +306            " +
                                                              good.substr(48),
              QORA_OK, QORA_OK},
             {"a field without digits reads 0", "device          " + good.substr(16), QORA_OK, QORA_OK},
             {"extra characters after", good + "whatever, 0000", QORA_OK, QORA_OK},
             {"empty", "", QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"ends inside the header", good.substr(0, 40), QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"header only", good.substr(0, 48), QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"ends inside a length", good.substr(0, 60), QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"field longer than what is left", good.substr(0, good.size() - 1), QORA_E_IMPORT_ENCRYPT_CERT,
              QORA_E_IMPORT_ENCRYPT_CERT},
             {"negative field length", Number(1) + Number(1) + Number(306) + "-000000000000001,",
              QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"field not ending in a comma", Number(1) + Number(1) + Number(306) + Number(4) + "AAAAx" + Field("AA"),
              QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"empty session key field", Number(1) + Number(1) + Number(306) + Number(0) + Field(Base64(Wrapped(kPrivate))),
              E_FAIL, E_FAIL},
             {"three elements", Number(1) + Number(1) + Number(306) + Field(Base64({0x30, 0x06, 0x02, 0x01, 0x01, 0x05, 0x00, 0x05})) +
                                    Field(Base64(Wrapped(kPrivate))),
              QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
             {"not DER", Number(1) + Number(1) + Number(306) + Field("AAAA") + Field(Base64(Wrapped(kPrivate))),
              QORA_E_IMPORT_ENCRYPT_CERT, QORA_E_IMPORT_ENCRYPT_CERT},
         }) {
        SCOPED_TRACE(c.pszName);
        Parsed classic = Parse(&ParseEncryptCertPrivateKeyData, c.envelope);
        EXPECT_EQ(classic.hResult, c.hClassic);
        Parsed extended = Parse(&ParseEncryptCertPrivateKeyDataEx, c.envelope);
        EXPECT_EQ(extended.hResult, c.hExtended);
        if (FAILED(extended.hResult)) {
            EXPECT_EQ(extended.privateKey, ByteBuffer{0xEE}) << "nothing handed out on failure";
            EXPECT_EQ(extended.algId, 0xEEEEu);
        }
    }
}

TEST(Envelope, KeyMaterialIsTheSecondElementsContents)
{
    Parsed p = Parse(&ParseEncryptCertPrivateKeyData, Envelope(1, 1, 306));
    ASSERT_EQ(p.hResult, QORA_OK);
    EXPECT_EQ(p.session, kSession);
    EXPECT_EQ(p.privateKey, kPrivate);
    EXPECT_EQ(p.algId, static_cast<ALG_ID>(CALG_3DES));

    // Without a session key the extended layout hands back none, whatever its field holds.
    p = Parse(&ParseEncryptCertPrivateKeyDataEx, Number(2) + Number(2) + Number(0) + Field("not base64 !") +
                                                     Field(Base64(Wrapped(kPrivate))));
    ASSERT_EQ(p.hResult, QORA_OK);
    EXPECT_TRUE(p.session.empty());
    EXPECT_EQ(p.privateKey, kPrivate);
    EXPECT_EQ(p.algId, 0u);

    // Other element types are not examined; commas anywhere in a field are dropped.
    std::string text = Base64({0x30, 0x06, 0x05, 0x00, 0x0C, 0x02, 0x41, 0x42});
    std::string split = text.substr(0, 3) + "," + text.substr(3) ;
    p = Parse(&ParseEncryptCertPrivateKeyData, Number(1) + Number(1) + Number(306) + Field(split) + Field(text));
    ASSERT_EQ(p.hResult, QORA_OK);
    EXPECT_EQ(p.privateKey, (ByteBuffer{0x41, 0x42}));
}

TEST(Envelope, FieldsSplitIntoCommaChunksDecodeAlike)
{
    ByteBuffer material(300);
    for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<BYTE>(i * 13);
    std::string text = Base64(Wrapped(ByteBuffer(material.begin(), material.begin() + 120)));
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    std::string chunked;
    for (size_t i = 0; i < text.size(); i += 64) chunked += text.substr(i, 64) + ",";
    const std::string head = Number(1) + Number(1) + Number(306) + Field(text);
    Parsed whole = Parse(&ParseEncryptCertPrivateKeyData, head + Field(text));
    Parsed split = Parse(&ParseEncryptCertPrivateKeyData, head + Number(static_cast<long>(chunked.size())) + chunked);
    ASSERT_EQ(whole.hResult, QORA_OK);
    ASSERT_EQ(split.hResult, QORA_OK);
    EXPECT_EQ(whole.privateKey, split.privateKey);
}

TEST(Envelope, FieldReaderMovesOnlyPastWhatItRead)
{
    size_t nPos = 0;
    WString wstrKey = TEXT("unset");
    ASSERT_EQ(GetBase64KeyFromEncryptedData(Widen(Number(0) + "rest"), nPos, wstrKey), QORA_OK);
    EXPECT_TRUE(wstrKey.empty());
    EXPECT_EQ(nPos, 16u) << "an empty field is only its length";
    nPos = 0;
    ASSERT_EQ(GetBase64KeyFromEncryptedData(Widen(Number(5) + "A,B,,tail"), nPos, wstrKey), QORA_OK);
    EXPECT_TRUE(wstrKey == TEXT("AB"));
    EXPECT_EQ(nPos, 21u);
    nPos = 3;
    EXPECT_EQ(GetBase64KeyFromEncryptedData(Widen(Number(1)), nPos, wstrKey), QORA_E_IMPORT_ENCRYPT_CERT);
    nPos = 100;  // past the end
    EXPECT_EQ(GetBase64KeyFromEncryptedData(Widen(Number(1) + ","), nPos, wstrKey), QORA_E_IMPORT_ENCRYPT_CERT);
}

TEST(Envelope, ExtendedRsaKeyStructureForOtherCsps)
{
    const ByteBuffer head = {0x02, 0x01, 0x01, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01,
                             0x06, 0x09, 0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};
    struct Case {
        ByteBuffer session;
        ByteBuffer want;
    };
    ByteBuffer withSession = {0x30, static_cast<BYTE>(head.size() + 4 + 5)};
    withSession.insert(withSession.end(), head.begin(), head.end());
    withSession.insert(withSession.end(), {0x04, 0x02, 0x5E, 0x55, 0x04, 0x03, 0x9A, 0x1B, 0x2C});
    ByteBuffer withoutSession = {0x30, static_cast<BYTE>(head.size() + 2 + 5)};
    withoutSession.insert(withoutSession.end(), head.begin(), head.end());
    withoutSession.insert(withoutSession.end(), {0x04, 0x00, 0x04, 0x03, 0x9A, 0x1B, 0x2C});
    for (const Case& c : std::vector<Case>{{{0x5E, 0x55}, withSession}, {{}, withoutSession}}) {
        ByteBuffer vec;
        ASSERT_EQ(ComposeRSAEVPPrivateKey(kPrivate.data(), static_cast<DWORD>(kPrivate.size()),
                                          c.session.empty() ? nullptr : c.session.data(),
                                          static_cast<DWORD>(c.session.size()), vec),
                  QORA_OK);
        EXPECT_EQ(vec, c.want);
    }
}
