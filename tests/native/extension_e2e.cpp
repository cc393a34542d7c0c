// scripts/build-extension: which pages' origins reach the extension's content script, and so the host.
// A pattern that let any other site's pages in would hand them the customer's keys.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Built {
    int code = -1;
    nlohmann::json manifest;
    std::string worker;
};

// Runs the build step with the given settings into a fresh folder; the setting's value goes in single quotes.
Built BuildExtension(const std::string& strOrigins, const std::string& strHostName = "")
{
    Built built;
    const fs::path out = fs::temp_directory_path() / ("bm-extension-" + std::to_string(::getpid()));
    fs::remove_all(out);
    std::string command = "BM_PAGE_ORIGINS='" + strOrigins + "' BM_HOST_NAME='" + strHostName + "' bash '" +
                          BM_SOURCE_DIR "/scripts/build-extension' '" + out.string() + "' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    built.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream manifest(out / "manifest.json"), worker(out / "service_worker.js");
    if (manifest) built.manifest = nlohmann::json::parse(manifest, nullptr, false);
    if (worker) built.worker.assign(std::istreambuf_iterator<char>(worker), {});
    fs::remove_all(out);
    return built;
}

}  // namespace

TEST(BuildExtension, OriginsAreHttpsPagesOrThisComputer)
{
    struct Case {
        std::string strOrigins;
        std::vector<std::string> want;  // empty: refused
    };
    for (const Case& c : std::vector<Case>{
             {"", {"http://127.0.0.1/*", "http://localhost/*"}},
             {"https://ebank.example.com/*", {"https://ebank.example.com/*"}},
             {"https://ebank.example.com/* https://*.ebank.example.com/*",
              {"https://ebank.example.com/*", "https://*.ebank.example.com/*"}},
             {"http://localhost/*", {"http://localhost/*"}},
             {"http://ebank.example.com/*", {}},
             {"https://ebank.example.com/enrol/*", {}},
             {"https://*/*", {}},
             {"*://*/*", {}},
             {"<all_urls>", {}},
             {"https://ebank.example.com/* file:///*", {}},
             {"https://ebank.example.com", {}},
         }) {
        SCOPED_TRACE(c.strOrigins);
        Built built = BuildExtension(c.strOrigins);
        if (c.want.empty()) {
            EXPECT_NE(built.code, 0);
            EXPECT_TRUE(built.manifest.is_null()) << "a refused setting leaves no extension behind";
            continue;
        }
        ASSERT_EQ(built.code, 0);
        ASSERT_TRUE(built.manifest.contains("content_scripts"));
        for (const auto& script : built.manifest["content_scripts"]) {
            EXPECT_EQ(script["matches"].get<std::vector<std::string>>(), c.want);
            EXPECT_FALSE(script.value("all_frames", false));
        }
    }
}

// Firefox lets only the extension the host's manifest names connect: the id the extension declares must be
// the one both registrations write.
TEST(BuildExtension, GeckoIdIsTheOneTheRegistrationsAllow)
{
    Built built = BuildExtension("");
    ASSERT_EQ(built.code, 0);
    const std::string strId = built.manifest["browser_specific_settings"]["gecko"]["id"].get<std::string>();
    EXPECT_EQ(strId, "enrolment@brindlemark.example");
    for (const char* pszFile : {"/scripts/install-browser-host", "/installer/Brindlemark.nsi"}) {
        std::ifstream file(std::string(BM_SOURCE_DIR) + pszFile);
        const std::string strText{std::istreambuf_iterator<char>(file), {}};
        EXPECT_NE(strText.find(strId), std::string::npos) << pszFile;
    }
}

TEST(BuildExtension, HostNameReplacesTheWorkersOnly)
{
    EXPECT_NE(BuildExtension("").worker.find("const HOST = \"com.brindlemark.host\";"), std::string::npos);
    Built echo = BuildExtension("", "com.brindlemark.echo");
    EXPECT_EQ(echo.code, 0);
    EXPECT_NE(echo.worker.find("const HOST = \"com.brindlemark.echo\";"), std::string::npos);
    EXPECT_EQ(echo.worker.find("com.brindlemark.host"), std::string::npos);
}
