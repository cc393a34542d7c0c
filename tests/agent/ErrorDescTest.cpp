// GetLastErrorDesc: texts from the program's own string tables or the system, and the "\n(0x%08x)" suffix.
// The language tests run this program again as a child with LANG and LC_ALL set, because the user-interface
// language of a Wine process is fixed when it starts.
#include "agent/CryptoAgent.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Utf8(const WCHAR* pwsz, int cch = -1)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, pwsz, cch, nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwsz, cch, str.data(), cb, nullptr, nullptr);
    if (cch < 0 && !str.empty()) str.pop_back();
    return str;
}

std::string Describe(HRESULT hrCode)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(CCryptoAgent::DescribeResultCode(hrCode, &bstr), QORA_OK);
    BString owner(bstr);
    return bstr != nullptr ? Utf8(bstr, static_cast<int>(SysStringLen(bstr))) : std::string("<null>");
}

// The system's own text for a code, as the platform gives it in this process's language.
std::string SystemText(HRESULT hrCode)
{
    WCHAR wsz[512] = {};
    DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(hrCode), 0, wsz, 512, nullptr);
    return Utf8(wsz, static_cast<int>(cch));
}

std::string LastErrorDescOf(CCryptoAgent& agent)
{
    BSTR bstr = nullptr;
    EXPECT_EQ(agent.GetLastErrorDesc(&bstr), QORA_OK);
    BString owner(bstr);
    return bstr != nullptr ? Utf8(bstr, static_cast<int>(SysStringLen(bstr))) : std::string("<null>");
}

// What a page sees in one language: the descriptions after real agent failures and the system's texts.
using Record = std::map<std::string, std::string>;

Record ObserveDescriptions()
{
    Record record;
    char szLanguage[16];
    snprintf(szLanguage, sizeof(szLanguage), "0x%04x", GetUserDefaultUILanguage());
    record["uilanguage"] = szLanguage;

    CCryptoAgent agent;
    VARIANT_BOOL bDone = 0;
    BString bstrBase(SysAllocString(TEXT("Microsoft Base Cryptographic Provider v1.0")));
    agent.QORA_SetCSPInfo(2048, bstrBase.get(), &bDone);
    record["keylength"] = LastErrorDescOf(agent);
    BString bstrAlgorithm(SysAllocString(TEXT("DSA")));
    agent.QORA_SetKeyAlgorithm(bstrAlgorithm.get(), &bDone);
    record["keyalgorithm"] = LastErrorDescOf(agent);
    agent.QORA_SetCSPInfo(1024, nullptr, &bDone);
    record["invalidarg"] = LastErrorDescOf(agent);
    record["invalidarg.system"] = SystemText(E_INVALIDARG);
    BSTR bstr = nullptr;
    agent.QORA_GetContainer(&bstr);
    SysFreeString(bstr);
    record["ok"] = LastErrorDescOf(agent);
    record["ok.system"] = SystemText(QORA_OK);
    return record;
}

// Records as lines "key=value" with line feeds inside values written as "\n".
std::string Serialize(const Record& record)
{
    std::string str;
    for (const auto& [key, value] : record) {
        str += key + "=";
        for (char ch : value) {
            if (ch == '\n') str += "\\n";
            else if (ch == '\\') str += "\\\\";
            else str += ch;
        }
        str += "\n";
    }
    return str;
}

Record Deserialize(const std::string& str)
{
    Record record;
    std::istringstream in(str);
    std::string line;
    while (std::getline(in, line)) {
        size_t nEq = line.find('=');
        if (nEq == std::string::npos) continue;
        std::string value;
        for (size_t i = nEq + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[i + 1] == 'n' ? '\n' : line[i + 1];
                ++i;
            } else {
                value += line[i];
            }
        }
        record[line.substr(0, nEq)] = value;
    }
    return record;
}

// The text of one identifier in one language's table, read from the string-table block itself so that
// neither the user-interface language nor the loader's fallback takes part.
std::string TableText(UINT uId, WORD wLanguage)
{
    HMODULE hModule = GetModuleHandleW(nullptr);
    HRSRC hBlock = FindResourceExW(hModule, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW((uId >> 4) + 1), wLanguage);
    if (hBlock == nullptr) return "<no block>";
    HGLOBAL hData = LoadResource(hModule, hBlock);
    const WCHAR* pwch = hData != nullptr ? static_cast<const WCHAR*>(LockResource(hData)) : nullptr;
    if (pwch == nullptr) return "<no data>";
    const WCHAR* pwchEnd = pwch + SizeofResource(hModule, hBlock) / sizeof(WCHAR);
    for (UINT i = 0; i < (uId & 0xF); ++i) {
        if (pwch >= pwchEnd) return "<cut block>";
        pwch += 1 + *pwch;
    }
    if (pwch >= pwchEnd || pwch + 1 + *pwch > pwchEnd) return "<cut block>";
    return *pwch == 0 ? std::string() : Utf8(pwch + 1, *pwch);
}

bool RunningUnderWine() { return GetProcAddress(GetModuleHandleW(TEXT("ntdll.dll")), "wine_get_version") != nullptr; }

// A Unix path opened from this side.
std::string Reachable(const std::string& strUnixPath) { return "\\\\?\\unix" + strUnixPath; }

std::string ReadFileText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Starts this program again with the given locale and lets the child write its record to a file.
// Wine fixes a process's user-interface language from the Unix locale variables when it starts and does
// not take them from a Windows parent's environment, so the child is started through the Unix shell.
Record ObserveInChild(const char* pszLang)
{
    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    const std::string strBase = "/tmp/bm_errordesc_" + std::to_string(GetCurrentProcessId()) + "_" + pszLang;
    const std::string strOut = strBase + ".txt", strDone = strBase + ".done";
    DeleteFileA(Reachable(strOut).c_str());
    DeleteFileA(Reachable(strDone).c_str());

    std::string strCommand = "/bin/sh -c \"LC_ALL=" + std::string(pszLang) + " LANG=" + pszLang +
                             " BM_ERRORDESC_OUT=" + strOut + " wine '" + szExe +
                             "' --gtest_filter=ErrorDescChild.* --gtest_also_run_disabled_tests --gtest_brief=1"
                             " >/dev/null 2>&1 </dev/null; echo $? > " + strDone + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    Record record;
    BOOL bStarted = CreateProcessA(nullptr, strCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    EXPECT_TRUE(bStarted) << GetLastError();
    if (!bStarted) return record;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    // A Unix process cannot be waited for from here: its shell writes the exit code when it is done.
    std::string strExit;
    for (int i = 0; i < 1200 && strExit.empty(); ++i) {
        Sleep(100);
        strExit = ReadFileText(Reachable(strDone));
    }
    EXPECT_EQ(strExit, "0\n");
    record = Deserialize(ReadFileText(Reachable(strOut)));
    DeleteFileA(Reachable(strOut).c_str());
    DeleteFileA(Reachable(strDone).c_str());
    return record;
}

}  // namespace

// Runs only as the child of the language tests.
TEST(ErrorDescChild, DISABLED_WritesDescriptions)
{
    char szOut[MAX_PATH] = {};
    DWORD cch = GetEnvironmentVariableA("BM_ERRORDESC_OUT", szOut, MAX_PATH);
    ASSERT_GT(cch, 0u);
    std::ofstream out(Reachable(szOut), std::ios::binary | std::ios::trunc);
    out << Serialize(ObserveDescriptions());
}

TEST(StringTables, EveryIdentifierHasItsTextInEnglishAndChinese)
{
    struct Case {
        UINT uId;
        const char* pszEnglish;
        const char* pszChinese;
    };
    for (const Case& c : std::vector<Case>{
             {4097, "There is no available certificate in store.", "证书库中没有可用的证书"},
             {4098, "User canceled operation.", "用户取消选择证书"},
             {4099, "Query type is not supported.", "查询类型不支持"},
             {4100, "Base64 encoding failed.", "Base64加密失败"},
             {4101, "Base64 decoding failed.", "Base64解密失败"},
             {4102, "Malicious target path or file name.", "恶意的目标路径或文件名"},
             {4103, "Empty file", "文件为空"},
             {4105, "", ""},
             {4128, "Specified certificate doesn't contain key usage attribute.", "指定证书不含有密钥用途属性"},
             {4129, "Specified certificate doesn't contain subject key ID attribute.", "指定证书不含有使用者密钥标识符属性"},
             {4145, "Certificate in certificate chain is time invalid.", "证书链中某个证书时间无效"},
             {4146, "Certificate is in offline CRL.", "证书在离线的CRL列表中"},
             {4147, "Certificate chain is not integrated.", "证书链不完整"},
             {4148, "Signature of certificate in certificate chain is invalid.", "证书链中某个证书签名无效"},
             {4149, "Specified certificate is not found.", "没有找到指定证书"},
             {4161, "ASN1 decode failed.", "ASN.1解码失败"},
             {4162, "PKCS#7 signature decode failed.", "PKCS#7签名解码失败"},
             {5120, "Invalidate Private key information.", "无效的私钥信息"},
             {5121, "Invalidate Private key.", "无效的私钥"},
             {5122, "XML file parse failed.", "XML文件解析失败"},
             {5123, "Import encrypt certificate failed.", "加密证书安装失败"},
             {5124, "Invalid device type of generating encrypt cert key.", "无效的加密证书密钥生成设备类型"},
             {5125, "Invalid encrypt type used for encrypting private key.", "加密证书私钥的加密类型错误"},
             {5126, "Invalid session key type used for encrypting private key.", "用来加密加密证书私钥的对称密钥类型错误"},
             {5633, "More than one USBKEY", "多于一把USBKEY"},
             {8193, "Certificate is not ready.", "证书没有准备好"},
             {8194, "Language is not supported.", "语言不支持"},
             {8195, "Certificate is not unique for specified subject DN.", "指定主题DN的证书不唯一"},
             {8224, "Invalid hash algorithm.", "无效的哈希算法"},
             {8225, "Invalid certificate usage.", "无效的证书用法"},
             {8226, "Invalid sign type.", "无效的签名类型"},
             {8227, "Invalid envelope type.", "无效的数字信封类型"},
             {9216, "Key length is not supported.", "密钥长度不支持"},
             {9217, "Invalid key algorithm.", "无效的密钥算法"},
             {12802, "", ""},
             {12804, "", ""},
         }) {
        SCOPED_TRACE(c.uId);
        EXPECT_EQ(TableText(c.uId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), c.pszEnglish);
        EXPECT_EQ(TableText(c.uId, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)), c.pszChinese);
    }
}

TEST(GetLastErrorDesc, OwnCodesWithoutTextGiveTheSuffixAlone)
{
    struct Case {
        HRESULT hrCode;
        const char* pszWant;
    };
    for (const Case& c : std::vector<Case>{{QORA_E_CERT_BINDABLE, "\n(0xa0071009)"},
                                           {QORA_E_JSON_TYPE, "\n(0xa0073204)"},
                                           {QORA_E_JSON_RESPONSE, "\n(0xa0073202)"},
                                           {static_cast<HRESULT>(0xA0077777), "\n(0xa0077777)"}}) {  // no such id
        EXPECT_EQ(Describe(c.hrCode), c.pszWant);
    }
}

TEST(GetLastErrorDesc, SystemCodesUseTheSystemsOwnText)
{
    for (HRESULT hrCode : {E_INVALIDARG, E_OUTOFMEMORY, E_ACCESSDENIED, static_cast<HRESULT>(0x80090016), QORA_OK}) {
        char szSuffix[16];
        snprintf(szSuffix, sizeof(szSuffix), "\n(0x%08x)", static_cast<unsigned>(hrCode));
        EXPECT_EQ(Describe(hrCode), SystemText(hrCode) + szSuffix);
    }
    EXPECT_FALSE(SystemText(E_INVALIDARG).empty());
}

TEST(GetLastErrorDesc, SystemTextsWithInsertsKeepThemUnfilled)
{
    // "%1 is not a valid Win32 application." and the like: without an argument list the text must not be
    // expanded (expanding would read arguments that do not exist).
    for (HRESULT hrCode : {static_cast<HRESULT>(0x800700C1), static_cast<HRESULT>(0x80070002)}) {
        char szSuffix[16];
        snprintf(szSuffix, sizeof(szSuffix), "\n(0x%08x)", static_cast<unsigned>(hrCode));
        EXPECT_EQ(Describe(hrCode), SystemText(hrCode) + szSuffix);
    }
    EXPECT_NE(SystemText(static_cast<HRESULT>(0x800700C1)).find("%1"), std::string::npos);
}

TEST(GetLastErrorDesc, EnglishUserInterface)
{
    if (!RunningUnderWine()) GTEST_SKIP() << "the language is chosen through Wine's Unix locale";
    Record record = ObserveInChild("en_US.UTF-8");
    EXPECT_EQ(record["uilanguage"], "0x0409");
    EXPECT_EQ(record["keylength"], "Key length is not supported.\n(0xa0072400)");
    EXPECT_EQ(record["keyalgorithm"], "Invalid key algorithm.\n(0xa0072401)");
    ASSERT_FALSE(record["invalidarg.system"].empty());
    EXPECT_EQ(record["invalidarg"], record["invalidarg.system"] + "\n(0x80070057)");
    EXPECT_EQ(record["ok"], record["ok.system"] + "\n(0x00000000)");
}

TEST(GetLastErrorDesc, ChineseUserInterface)
{
    if (!RunningUnderWine()) GTEST_SKIP() << "the language is chosen through Wine's Unix locale";
    Record english = ObserveInChild("en_US.UTF-8");
    Record record = ObserveInChild("zh_CN.UTF-8");
    EXPECT_EQ(record["uilanguage"], "0x0804");
    EXPECT_EQ(record["keylength"], "密钥长度不支持\n(0xa0072400)");
    EXPECT_EQ(record["keyalgorithm"], "无效的密钥算法\n(0xa0072401)");
    ASSERT_FALSE(record["invalidarg.system"].empty());
    EXPECT_EQ(record["invalidarg"], record["invalidarg.system"] + "\n(0x80070057)");
    // The system's text really is the Chinese one, not the English fallback.
    EXPECT_NE(record["invalidarg.system"], english["invalidarg.system"]);
}
