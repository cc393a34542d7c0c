// platform/linux/tests/system/ResourcesTest.cpp — the generated resources, the strings in both languages and
// the system messages, against what the Windows build gets from the same scripts under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class Language {
public:
    explicit Language(const char* pszLocale) { setenv("LC_ALL", pszLocale, 1); }
    ~Language() { unsetenv("LC_ALL"); }
};

struct StringCase {
    const char* pszLocale;
    UINT uID;
    int cchBuffer;
    int nWant;
    const char16_t* pwszWant;  // nullptr: the buffer keeps what it had
    DWORD dwError;             // the last error after the call (0xDEAD: unchanged)
};

TEST(LoadString, AnswersInTheUsersLanguageAsTheWindowsBuild)
{
    const StringCase kCases[] = {
        {"en_US.UTF-8", 4097, 512, 43, u"There is no available certificate in store.", 0xDEAD},
        {"zh_CN.UTF-8", 4097, 512, 11, u"\u8BC1\u4E66\u5E93\u4E2D\u6CA1\u6709\u53EF\u7528\u7684\u8BC1\u4E66", 0xDEAD},
        {"zh_CN.GB18030", 9217, 512, 7, u"\u65E0\u6548\u7684\u5BC6\u94A5\u7B97\u6CD5", 0xDEAD},
        {"zh_TW.UTF-8", 9217, 512, 22, u"Invalid key algorithm.", 0xDEAD},
        {"fr_FR.UTF-8", 9217, 512, 22, u"Invalid key algorithm.", 0xDEAD},
        {"en_US.UTF-8", 4097, 5, 4, u"Ther", 0xDEAD},
        {"en_US.UTF-8", 4105, 512, 0, u"", 0xDEAD},    // present, empty
        {"en_US.UTF-8", 4104, 512, 0, u"", 0xDEAD},    // absent from a block that exists
        {"en_US.UTF-8", 12802, 512, 0, u"", 0xDEAD},
        {"en_US.UTF-8", 1, 512, 0, nullptr, ERROR_RESOURCE_NAME_NOT_FOUND},  // no such block
    };
    for (const StringCase& c : kCases) {
        SCOPED_TRACE(std::string(c.pszLocale) + " " + std::to_string(c.uID));
        Language language(c.pszLocale);
        WCHAR wszBuffer[512];
        for (WCHAR& wch : wszBuffer) wch = u'x';
        SetLastError(0xDEAD);
        EXPECT_EQ(LoadStringW(GetModuleHandleW(nullptr), c.uID, wszBuffer, c.cchBuffer), c.nWant);
        EXPECT_EQ(GetLastError(), c.dwError);
        if (c.pwszWant != nullptr)
            EXPECT_EQ(std::u16string(wszBuffer), c.pwszWant);
        else
            EXPECT_EQ(wszBuffer[0], u'x');
    }
    const WCHAR* pwszInPlace = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, 4097, reinterpret_cast<LPWSTR>(&pwszInPlace), 0), 43);
    ASSERT_NE(pwszInPlace, nullptr);
    EXPECT_EQ(pwszInPlace[0], u'T');
}

TEST(Resources, TheChainDocumentsAreTheFilesTheWindowsBuildCompiles)
{
    struct ChainCase {
        WORD wID;
        const char* pszFile;
    };
    const ChainCase kCases[] = {{208, "RsaCertificateChain.xml"}, {209, "Sm2CertificateChain.xml"},
                                {210, "TestRsaCertificateChain.xml"}, {211, "TestSm2CertificateChain.xml"}};
    HMODULE hModule = nullptr;
    static const BYTE s_bAnchor = 0;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&s_bAnchor), &hModule));
    EXPECT_EQ(hModule, GetModuleHandleW(nullptr));
    for (const ChainCase& c : kCases) {
        SCOPED_TRACE(c.wID);
        HRSRC hResource = FindResourceW(hModule, MAKEINTRESOURCEW(c.wID), u"certificate");
        ASSERT_NE(hResource, nullptr);
        const BYTE* pb = static_cast<const BYTE*>(LockResource(LoadResource(hModule, hResource)));
        std::ifstream file(std::string(BM_CHAIN_DOCUMENTS_DIR) + "/" + c.pszFile, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        ASSERT_EQ(SizeofResource(hModule, hResource), content.str().size());
        EXPECT_EQ(memcmp(pb, content.str().data(), content.str().size()), 0);
    }
    struct MissingCase {
        WORD wID;
        const WCHAR* pwszType;
        DWORD dwError;
    };
    for (const MissingCase& c : {MissingCase{212, u"CERTIFICATE", ERROR_RESOURCE_NAME_NOT_FOUND},
                                 MissingCase{208, u"NOTYPE", ERROR_RESOURCE_TYPE_NOT_FOUND}}) {
        EXPECT_EQ(FindResourceW(hModule, MAKEINTRESOURCEW(c.wID), c.pwszType), nullptr);
        EXPECT_EQ(GetLastError(), c.dwError);
    }
    EXPECT_EQ(LoadLibraryW(u"advapi32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

struct MessageCase {
    const char* pszLocale;
    DWORD dwCode;
    DWORD nSize;
    const char16_t* pwszWant;  // nullptr: no text
    DWORD dwError;
};

TEST(FormatMessage, GivesWinesTextsForTheAgentsCodes)
{
    const MessageCase kCases[] = {
        {"en_US.UTF-8", 0x80070057, 512, u"Invalid parameter.\r\n", 0},
        {"en_US.UTF-8", 0x00000057, 512, u"Invalid parameter.\r\n", 0},
        {"en_US.UTF-8", 0x80070002, 512, u"File not found.\r\n", 0},
        {"en_US.UTF-8", 0x80004005, 512, u"Call failed.\r\n", 0},
        {"en_US.UTF-8", 0x8007000E, 512, u"Out of memory.\r\n", 0},
        {"zh_CN.UTF-8", 0x80070002, 512, u"\u627E\u4E0D\u5230\u6587\u4EF6\u3002\r\n", 0},
        {"zh_CN.UTF-8", 0x80070057, 512, u"\u65E0\u6548\u53C2\u6570\u3002\r\n", 0},
        {"en_US.UTF-8", 0x80090016, 512, nullptr, ERROR_MR_MID_NOT_FOUND},  // NTE_BAD_KEYSET
        {"en_US.UTF-8", 0x80092004, 512, nullptr, ERROR_MR_MID_NOT_FOUND},  // CRYPT_E_NOT_FOUND
        {"en_US.UTF-8", 0x80004003, 512, nullptr, ERROR_MR_MID_NOT_FOUND},  // E_POINTER
        {"en_US.UTF-8", 0x80070057, 5, nullptr, ERROR_INSUFFICIENT_BUFFER},
        {"en_US.UTF-8", 0x80070057, 20, nullptr, ERROR_INSUFFICIENT_BUFFER},
    };
    for (const MessageCase& c : kCases) {
        SCOPED_TRACE(c.dwCode);
        Language language(c.pszLocale);
        WCHAR wszText[512] = {};
        SetLastError(0);
        const DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, c.dwCode, 0,
                                         wszText, c.nSize, nullptr);
        if (c.pwszWant != nullptr) {
            EXPECT_EQ(std::u16string(wszText), c.pwszWant);
            EXPECT_EQ(cch, std::u16string(c.pwszWant).size());
        } else {
            EXPECT_EQ(cch, 0u);
            EXPECT_EQ(GetLastError(), c.dwError);
        }
    }
}

}  // namespace
