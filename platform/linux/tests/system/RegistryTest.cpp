// platform/linux/tests/system/RegistryTest.cpp — the registry file beside the database: round trips, the
// platform's codes for missing keys and small buffers (measured under Wine), and the file across reopens.
#include <gtest/gtest.h>

#include "NssDatabase.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

class Key {
public:
    ~Key()
    {
        if (m_hKey != nullptr) RegCloseKey(m_hKey);
    }
    HKEY* put() { return &m_hKey; }
    HKEY get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

TEST(Registry, ValuesRoundTripAndAnswerThePlatformsSizes)
{
    Key key;
    DWORD dwDisposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\BmTest\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), &dwDisposition),
              ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const BYTE abBlob[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(RegSetValueExW(key.get(), u"Blob", 0, REG_BINARY, abBlob, 10), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Sz", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"abc"), 6), ERROR_SUCCESS);

    struct QueryCase {
        const WCHAR* pwszName;
        bool bBuffer;
        DWORD cbGiven;
        LONG lWant;
        DWORD cbWant;
    };
    const QueryCase kCases[] = {
        {u"Blob", true, 4, ERROR_MORE_DATA, 10},   {u"Blob", false, 0, ERROR_SUCCESS, 10},
        {u"Blob", true, 16, ERROR_SUCCESS, 10},    {u"BLOB", true, 16, ERROR_SUCCESS, 10},
        {u"Nope", true, 16, ERROR_FILE_NOT_FOUND, 16},
        // A string stored without its terminator reads with one.
        {u"Sz", true, 16, ERROR_SUCCESS, 8},       {u"Sz", true, 6, ERROR_MORE_DATA, 8},
    };
    for (const QueryCase& c : kCases) {
        SCOPED_TRACE(static_cast<int>(c.cbGiven));
        BYTE abOut[16] = {};
        DWORD dwType = 0, cb = c.cbGiven;
        EXPECT_EQ(RegQueryValueExW(key.get(), c.pwszName, nullptr, &dwType, c.bBuffer ? abOut : nullptr, &cb), c.lWant);
        EXPECT_EQ(cb, c.cbWant);
        if (c.lWant == ERROR_SUCCESS && c.bBuffer && dwType == REG_BINARY) {
            EXPECT_EQ(memcmp(abOut, abBlob, 10), 0);
        }
        if (c.lWant == ERROR_SUCCESS && dwType == REG_SZ) {
            EXPECT_EQ(memcmp(abOut, u"abc", 8), 0);
        }
    }
    BYTE abOut[16];
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Blob", nullptr, nullptr, abOut, nullptr), ERROR_INVALID_PARAMETER);

    Key again;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\bmtest\\a\\b\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              again.put(), &dwDisposition),
              ERROR_SUCCESS);
    EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
}

TEST(Registry, OpensAndDeletesWithThePlatformsCodes)
{
    Key made;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\BmDelete\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              made.put(), nullptr),
              ERROR_SUCCESS);
    Key parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\BmDelete", 0, KEY_ALL_ACCESS, parent.put()), ERROR_SUCCESS);
    struct Step {
        const WCHAR* pwszSubKey;
        LONG lWant;
    };
    const Step kSteps[] = {{u"A", ERROR_ACCESS_DENIED},  // still has B
                           {u"A\\B", ERROR_SUCCESS},
                           {u"A\\B", ERROR_FILE_NOT_FOUND},
                           {u"A", ERROR_SUCCESS}};
    for (const Step& step : kSteps) EXPECT_EQ(RegDeleteKeyW(parent.get(), step.pwszSubKey), step.lWant);
    // The handle to the deleted key answers as the platform does for a key that is gone.
    EXPECT_EQ(RegSetValueExW(made.get(), u"x", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
              ERROR_KEY_DELETED);

    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\NoSuchKeyBm", 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"\\Software", 0, KEY_READ, &hKey), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger", 0, KEY_READ,
                            &hKey),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &hKey), ERROR_SUCCESS);
    EXPECT_EQ(hKey, HKEY_CURRENT_USER);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234))), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), u"x", 0, KEY_READ, &hKey),
              ERROR_INVALID_HANDLE);

    // The system stores' folders are there; only a certificate's Blob has a place in them.
    Key certificates;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates", 0,
                            KEY_ALL_ACCESS, certificates.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(certificates.get(), u"Other", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(certificates.get(), u"0000000000000000000000000000000000000000\\Deeper", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_ACCESS_DENIED);
}

TEST(Registry, TheFileKeepsWhatWasWrittenAndRefusesDamage)
{
    {
        Key key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\Sub", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        const WCHAR kPath[] = u"/tmp/with\ttab%and\nbreak";
        ASSERT_EQ(RegSetValueExW(key.get(), u"TraceFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(kPath), sizeof(kPath)),
                  ERROR_SUCCESS);
    }
    const std::string strFile = NssDatabaseDirectory() + "/registry";
    std::ifstream file(strFile);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_NE(content.str().find("V\tHKLM\\SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\Sub\tTraceFile\t1\t"),
              std::string::npos);

    Key reopened;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger\\Sub", 0, KEY_READ,
                            reopened.put()),
              ERROR_SUCCESS);
    WCHAR wszPath[64] = {};
    DWORD dwType = 0, cb = sizeof(wszPath);
    ASSERT_EQ(RegQueryValueExW(reopened.get(), u"TraceFile", nullptr, &dwType, reinterpret_cast<BYTE*>(wszPath), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(wszPath), u"/tmp/with\ttab%and\nbreak");

    // A damaged file is the platform's damaged registry, never a partial read.
    const std::string strSaved = content.str();
    std::ofstream(strFile, std::ios::app) << "V\tHKLM\\X\tname\tnot-a-number\t00\n";
    HKEY hKey = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &hKey), ERROR_BADDB);
    std::ofstream(strFile, std::ios::trunc) << strSaved;
}

}  // namespace
