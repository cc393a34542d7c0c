// platform/linux/tests/system/TestDatabase.cpp — every test of the native surface runs against one fresh NSS
// database (and the registry beside it), made before the first test and removed after the last.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class FreshDatabase : public ::testing::Environment {
public:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/bm-platform-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strFolder = szTemplate;
        // The database is made inside on first use, so its creation is under test too.
        setenv("BM_NSSDB", ("sql:" + m_strFolder + "/nssdb").c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!m_strFolder.empty() && getenv("BM_KEEP_TEST_DB") == nullptr) std::filesystem::remove_all(m_strFolder, ec);
    }

private:
    std::string m_strFolder;
};

const auto* const g_pEnvironment = ::testing::AddGlobalTestEnvironment(new FreshDatabase);

}  // namespace
