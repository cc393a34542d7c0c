// The SM2 token shared by three hosts making double requests at once, one of them killed with SIGKILL at
// random moments and started again. Afterwards every container whose request was answered opens with
// both keys, the store reads, and nothing but the store's own files is left in its folder. Once with a
// store small enough to be rewritten on every change, once with one large enough to log its changes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <openssl/rand.h>

#include "support/HostProcess.h"
#include "support/Json.h"

using namespace bm;
using Json = nlohmann::json;

namespace {

const char kSm2Csp[] = "Software SM2 Token CSP v1.0";
const char kSubject[] = "CN=Kill Loop,O=Org,C=CN";
constexpr int kKills = 10;
constexpr auto kAnswer = std::chrono::seconds(120);

// The store's folder, of this test alone; Wine sees it as Z:\tmp\...
struct StoreFolder {
    std::filesystem::path path = [] {
        char name[] = "/tmp/bm-token-kill-XXXXXX";
        return std::filesystem::path(mkdtemp(name) != nullptr ? name : "");
    }();
    ~StoreFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string WindowsPath() const
    {
        std::string windows = "Z:" + path.string();
        std::replace(windows.begin(), windows.end(), '/', '\\');
        return windows;
    }
};

void PutU32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

void PutCounted(std::string& out, const std::string& bytes)
{
    PutU32(out, static_cast<uint32_t>(bytes.size()));
    out += bytes;
}

// The store file in the format the token has always written ("BMTK", version 1, count; per container
// its name and two slots of algorithm, key and certificate), n containers with two SM2 keys each.
bool WriteFillers(const std::filesystem::path& path, int n, std::vector<std::string>& names)
{
    std::string file;
    PutU32(file, 0x4B544D42);
    PutU32(file, 1);
    PutU32(file, static_cast<uint32_t>(n));
    for (int i = 0; i < n; ++i) {
        names.push_back("filler-" + std::to_string(i));
        PutCounted(file, names.back());
        for (uint32_t algid : {0xBE00u, 0x3E00u}) {
            unsigned char scalar[32];
            if (RAND_bytes(scalar, sizeof scalar) != 1) return false;
            scalar[0] = static_cast<unsigned char>((scalar[0] & 0x7F) | 1);  // below the group order, not zero
            PutU32(file, algid);
            PutCounted(file, std::string(reinterpret_cast<char*>(scalar), sizeof scalar));
            PutCounted(file, "");
        }
    }
    std::ofstream out(path, std::ios::binary);
    out << file;
    return static_cast<bool>(out);
}

enum class Outcome { Answered, Refused, Silent };

// A host making SM2 double requests on the token with the given store folder.
class Sm2Host {
public:
    bool Start(const std::string& storeDir, std::string& error)
    {
        Json result;
        return m_process.StartHost(error, {{"BRINDLEMARK_TOKEN_DIR", storeDir}}) &&
               Call("QORA_SetKeyAlgorithm", {JsonString("SM2")}, result, error) == Outcome::Answered &&
               Call("QORA_SetCSPInfo", {"0", JsonString(kSm2Csp)}, result, error) == Outcome::Answered;
    }

    Outcome Request(std::string& container, std::string& error)
    {
        Json result;
        Outcome outcome = Call("QORA_PKCS10CertRequisition", {JsonString(kSubject), "2", "0"}, result, error);
        if (outcome == Outcome::Answered) outcome = Call("QORA_GetContainer", {}, result, error);
        if (outcome == Outcome::Answered && (!result.is_string() || result.get<std::string>().empty())) {
            error = "QORA_GetContainer gave no name";
            return Outcome::Refused;
        }
        if (outcome == Outcome::Answered) container = result.get<std::string>();
        return outcome;
    }

    pid_t Pid() const { return m_process.Pid(); }

private:
    Outcome Call(const std::string& function, const std::vector<std::string>& params, Json& result, std::string& error)
    {
        const std::string token = std::to_string(++m_token);
        std::string body;
        if (!m_process.Exchange(HostRequest(function, params, token), body, kAnswer, error)) return Outcome::Silent;
        const Json answer = Json::parse(body, nullptr, false);
        if (!answer.is_object() || answer.value("function", "") != function || answer.value("randomId", "") != token ||
            !answer.contains("errorcode") || answer["errorcode"] != 0 || !answer.contains("result")) {
            error = function + " answered " + body;
            return Outcome::Refused;
        }
        result = answer["result"];
        return Outcome::Answered;
    }

    HostProcess m_process;
    int m_token = 0;
};

// tokenprobe's sm2-open over a list of containers: its output lines.
std::vector<std::string> ProbeContainers(const StoreFolder& folder, const std::vector<std::string>& containers)
{
    char listName[] = "/tmp/bm-token-list-XXXXXX";
    const int fd = mkstemp(listName);
    if (fd < 0) return {"no list file"};
    close(fd);
    {
        std::ofstream list(listName);
        for (const std::string& name : containers) list << name << "\n";
    }
    const std::string exe = WinBuildDir() + "/providers/tokenprobe.exe", outName = std::string(listName) + ".out";
    std::string cmd = "env -u DISPLAY BRINDLEMARK_TOKEN_DIR='" + folder.WindowsPath() + "'";
    for (const auto& [name, value] : DefaultHostEnv()) cmd += " " + name + "='" + value + "'";
    cmd += " '" + WineCommand(exe)[0] + "' '" + exe + "' sm2-open 'Z:" + listName + "' </dev/null >" + outName + " 2>&1";
    std::vector<std::string> lines;
    if (system(cmd.c_str()) != 0) lines.push_back("tokenprobe failed");
    std::ifstream in(outName);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    unlink(listName);
    unlink(outName.c_str());
    return lines;
}

void RunKillLoop(int nFillers)
{
    StoreFolder folder;
    ASSERT_FALSE(folder.path.empty());
    std::vector<std::string> fillers;
    ASSERT_TRUE(nFillers == 0 || WriteFillers(folder.path / "SM2Token.tok", nFillers, fillers));
    std::string error;
    ASSERT_TRUE(EnsureWineRunning(error)) << error;

    std::mutex lock;
    std::set<std::string> answered;
    std::vector<std::string> failures;
    auto note = [&](bool ok, const std::string& container, const std::string& what) {
        std::lock_guard<std::mutex> guard(lock);
        if (!ok) failures.push_back(what);
        else if (!answered.insert(container).second) failures.push_back("container handed out twice: " + container);
    };

    // Two hosts that are never killed: every one of their requests must be answered.
    std::atomic<bool> bVictimDone{false};
    std::vector<std::thread> steady;
    for (int i = 0; i < 2; ++i) {
        steady.emplace_back([&] {
            Sm2Host host;
            std::string why, container;
            if (!host.Start(folder.WindowsPath(), why)) return note(false, "", "steady host: " + why);
            while (!bVictimDone) {
                if (host.Request(container, why) != Outcome::Answered) return note(false, "", "steady host: " + why);
                note(true, container, "");
            }
        });
    }

    // The third is killed at a random moment of its stream of requests, kKills times, and after the last
    // kill answers once more, so that the store has been used since.
    const unsigned seed = std::random_device()();
    std::mt19937 rng(seed);
    int kills = 0;
    for (int round = 0; round <= kKills; ++round) {
        Sm2Host victim;
        std::string why, container;
        if (!victim.Start(folder.WindowsPath(), why)) {
            note(false, "", "victim, round " + std::to_string(round) + ": " + why);
            break;
        }
        if (round == kKills) {
            note(victim.Request(container, why) == Outcome::Answered, container, "victim after the last kill: " + why);
            break;
        }
        const auto delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 1200)(rng));
        // The host runs in a process group of its own, Wine's loader with it.
        const pid_t group = victim.Pid();
        if (group <= 1) {
            note(false, "", "victim without a process id");
            break;
        }
        std::thread killer([group, delay] {
            std::this_thread::sleep_for(delay);
            kill(-group, SIGKILL);
        });
        Outcome outcome;
        while ((outcome = victim.Request(container, why)) == Outcome::Answered) note(true, container, "");
        if (outcome == Outcome::Refused) note(false, "", "victim: " + why);
        killer.join();
        ++kills;
    }
    bVictimDone = true;
    for (std::thread& t : steady) t.join();
    std::cout << "[ kill loop ] seed " << seed << ", " << nFillers << " fillers: " << kills << " kills, "
              << answered.size() << " answered requests" << std::endl;
    for (const std::string& failure : failures) ADD_FAILURE() << failure;

    for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
        const std::string name = entry.path().filename();
        EXPECT_TRUE(name == "SM2Token.tok" || name == "SM2Token.tok.log") << "left in the store folder: " << name;
    }

    std::vector<std::string> probed(answered.begin(), answered.end());
    for (size_t i = 0; i < fillers.size(); i += 10) probed.push_back(fillers[i]);
    size_t nOpened = 0, nListed = 0;
    for (const std::string& line : ProbeContainers(folder, probed)) {
        if (sscanf(line.c_str(), "OPENED %zu", &nOpened) == 1 || sscanf(line.c_str(), "LISTED %zu", &nListed) == 1)
            continue;
        ADD_FAILURE() << line;
    }
    EXPECT_EQ(probed.size(), nOpened);
    // Besides the fillers and the answered requests, only a request cut short by a kill can have left one.
    EXPECT_GE(nListed, fillers.size() + answered.size());
    EXPECT_LE(nListed, fillers.size() + answered.size() + static_cast<size_t>(kills));
}

TEST(TokenKillLoop, StoreRewrittenOnEveryChange) { RunKillLoop(0); }

TEST(TokenKillLoop, StoreThatLogsItsChanges) { RunKillLoop(1000); }

}  // namespace
