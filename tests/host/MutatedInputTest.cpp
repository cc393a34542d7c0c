// Page input mutated at random: every request still gets exactly one answer that is valid JSON in UTF-8, and the
// parsers of page text (Base64, hexadecimal, lists, subject DN) answer a code instead of crashing.
#include "codec/Misc.h"
#include "host/KestrovanHost.h"
#include "host/nmCryptoAgent.h"
#include "request/PKCS10Request.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// Deterministic, so a failure repeats with the same input.
class Mutator {
public:
    explicit Mutator(uint32_t uSeed) : m_uState(uSeed) {}

    uint32_t Next()
    {
        m_uState ^= m_uState << 13;
        m_uState ^= m_uState >> 17;
        m_uState ^= m_uState << 5;
        return m_uState;
    }

    // Flips bits, drops, duplicates or inserts bytes (quotes, braces, backslashes, zero and high bytes).
    std::string Mutate(std::string str)
    {
        static const char kSpecial[] = "\"\\{}[]:,\x00\x01\x7f\x80\xff\xe4";
        const uint32_t nEdits = 1 + Next() % 6;
        for (uint32_t i = 0; i < nEdits; ++i) {
            const size_t nPos = str.empty() ? 0 : Next() % str.size();
            switch (Next() % 5) {
            case 0:
                if (!str.empty()) str[nPos] = static_cast<char>(str[nPos] ^ (1u << (Next() % 8)));
                break;
            case 1:
                if (!str.empty()) str.erase(nPos, 1 + Next() % 4);
                break;
            case 2:
                str.insert(nPos, 1, kSpecial[Next() % (sizeof(kSpecial) - 1)]);
                break;
            case 3:
                if (!str.empty()) str.insert(nPos, str.substr(nPos, 1 + Next() % 8));
                break;
            default:
                str.resize(nPos);
                break;
            }
        }
        return str;
    }

private:
    uint32_t m_uState;
};

const std::vector<std::string> kRequests = {
    R"({"function":"QORA_GetVersion","params":[],"randomId":"7"})",
    R"({"function":"QORA_SetCSPInfo","params":[1024,"Microsoft Base Cryptographic Provider v1.0"],"randomId":"a"})",
    R"({"function":"QORA_SetKeyAlgorithm","params":[{"param":"SM2"}]})",
    R"({"function":"QORA_GetContainer","params":[],"randomId":"\u4e2d\"x"})",
    R"({"function":"GetLastErrorDesc","params":[]})",
    R"({"function":"checkHost","params":{"a":[1,2,{"b":null}]}})",
};

}  // namespace

TEST(MutatedInput, EveryRequestGetsOneAnswerThatIsJson)
{
    CCryptoAgent agent;
    g_pobjCryptoAgent = &agent;
    Mutator mutator(0x2545F491);
    for (int i = 0; i < 20000; ++i) {
        const std::string strRequest = mutator.Mutate(kRequests[static_cast<size_t>(i) % kRequests.size()]);
        std::string strResponse;
        ASSERT_EQ(ParseAndRespondRequest(strRequest.c_str(), strResponse), 0);
        JsonPtr pResponse(cJSON_Parse(strResponse.c_str()));
        ASSERT_NE(pResponse, nullptr) << "request: " << strRequest << "\nanswer: " << strResponse;
        ASSERT_TRUE(cJSON_IsString(cJSON_GetObjectItem(pResponse.get(), "function"))) << strResponse;
        ASSERT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(pResponse.get(), "errorcode"))) << strResponse;
        // The browser drops an answer that is not UTF-8; the platform's strict decoder is the judge.
        ASSERT_NE(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strResponse.c_str(), -1, nullptr, 0), 0)
            << "request: " << strRequest << "\nanswer: " << strResponse;
    }
    g_pobjCryptoAgent = nullptr;
}

TEST(MutatedInput, TextParsersAnswerCodes)
{
    Mutator mutator(0x9E3779B9);
    const std::string strBase64 = "MIIBETCBtgIBADBWMQswCQYDVQQGEwJDTjEeMBwGA1UECgwVQnJp\r\nbmRsZW1hcmsg==";
    const std::string strSubject = "CN=Alice,OU=Unit,O=Org,C=CN,E=a@b.c,SERIALNUMBER=12,ST=Zhe";
    for (int i = 0; i < 10000; ++i) {
        const std::string strMutated = mutator.Mutate(strBase64);
        ByteBuffer vecData;
        // The length given may exceed the text: decoding stops at its terminator, never past the buffer.
        const HRESULT hrDecode =
            Base64DecodeEx(strMutated.c_str(), static_cast<int>(strMutated.size()), vecData);
        ASSERT_TRUE(hrDecode == S_OK || hrDecode == E_FAIL) << strMutated;
        ASSERT_LE(vecData.size(), strMutated.size());

        WString wstrHex;
        for (char ch : mutator.Mutate("0a0201ff")) wstrHex.push_back(static_cast<WCHAR>(static_cast<BYTE>(ch)));
        ByteBuffer vecHex;
        const HRESULT hrHex = ConvertStringToBinaryData(wstrHex.c_str(), vecHex);
        ASSERT_TRUE(hrHex == S_OK || hrHex == E_INVALIDARG);
        if (hrHex == S_OK) {
            ASSERT_EQ(vecHex.size() * 2, static_cast<size_t>(lstrlenW(wstrHex.c_str())));
        }

        WString wstrSubject;
        for (char ch : mutator.Mutate(strSubject)) wstrSubject.push_back(static_cast<WCHAR>(static_cast<BYTE>(ch)));
        ByteBuffer vecName;
        const HRESULT hrSubject = ComposeSubject(wstrSubject, vecName);
        if (SUCCEEDED(hrSubject)) {
            ASSERT_GE(vecName.size(), 2u);
            ASSERT_EQ(vecName[0], 0x30);
        } else {
            ASSERT_TRUE(vecName.empty());
        }
        std::vector<WString> vecItems;
        SplitStrings(wstrSubject.c_str(), vecItems);
        for (const WString& wstrItem : vecItems) ASSERT_FALSE(wstrItem.empty());
    }
}
