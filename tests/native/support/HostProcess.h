// A program under test on the other end of two pipes: start it, exchange frames (four-byte little-endian
// length, then the body) or lines, close its input and collect its exit code. Every wait is bounded, and the
// destructor kills and reaps whatever is still running, so a failing test leaves no process behind.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace bm {

using Env = std::vector<std::pair<std::string, std::string>>;

// scripts/host of the source tree, run against the Windows build this program was built with.
std::vector<std::string> DefaultHostCommand();
// Wine of the project's prefix (as scripts/common.sh sets it up) running a Windows program of that build.
std::vector<std::string> WineCommand(const std::string& exePath);
// The variables scripts/common.sh derives from the build folder, for programs started through Wine.
Env DefaultHostEnv();
// A Linux path as Wine's Z: drive shows it to Windows programs.
std::string WindowsPathOf(const std::string& path);
// Directory of the Windows build, and the prefix the scripts use with it.
std::string WinBuildDir();
std::string WinePrefixDir();
// Keeps the prefix's wineserver running and its services started with their output on /dev/null, so no
// Wine service ever inherits one of our pipes. Runs once per process; false if it could not.
bool EnsureWineRunning(std::string& error);
// Which BrindlemarkHost scripts/host starts: the Windows build under Wine, or the Linux build over an NSS
// database. BM_PLATFORM=linux in the environment makes the Linux one every test's default.
enum class HostPlatform { Windows, Linux };
HostPlatform DefaultHostPlatform();
// The Linux build's host (BM_LINUX_HOST, else the one built beside this program).
std::string LinuxHostPath();
// The NSS database of this test program's Linux hosts: a fresh folder, removed when the program ends.
std::string TestNssDatabase();
// DefaultHostEnv with another prefix: one that a benchmark keeps for itself.
Env PrefixEnv(const std::string& prefix);
// EnsureWineRunning for the prefix of that environment, creating the prefix when it does not exist yet.
bool StartWineIn(const Env& env, std::string& error);
// Ends the server of that environment's prefix; only ever for a prefix of the caller's own.
void StopWineIn(const Env& env);

class HostProcess {
public:
    enum class ReadStatus { Frame, EndOfStream, Timeout, Oversize, Error };

    HostProcess() = default;
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // Starts argv[0] (searched in PATH) with the current environment plus extraEnv, in its own process
    // group; its stderr goes to a private file (StderrText).
    bool Start(const std::vector<std::string>& argv, const Env& extraEnv, std::string& error);
    // The host of this build through scripts/host: the Windows one after EnsureWineRunning, or the Linux one
    // over TestNssDatabase() unless extraEnv names another BM_NSSDB.
    bool StartHost(std::string& error, const Env& extraEnv = {}, HostPlatform platform = DefaultHostPlatform());

    bool WriteFrame(std::string_view body, std::string& error);
    bool WriteRaw(std::string_view bytes, std::string& error);

    // Reads one frame. Bodies above maxBody are refused (Oversize) without reading them; a length of
    // FF FF FF FF is reported as Oversize as well. While waiting, sideFd (if >= 0) is watched too and
    // onSide is called whenever it becomes readable.
    ReadStatus ReadFrame(std::string& body, std::chrono::milliseconds timeout, std::string& error,
                         size_t maxBody = 0x100000, int sideFd = -1, const std::function<void()>& onSide = {});

    // Reads one line of output, without its CR LF; false (with the reason) at a timeout or the end of output.
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout, std::string& error);

    // Sends a body and reads the answer in one go; false (with the reason) unless a frame came back.
    bool Exchange(std::string_view request, std::string& reply, std::chrono::milliseconds timeout,
                  std::string& error);

    void CloseInput();
    // Waits for the exit; on timeout kills the process group and returns false. exitCode is the exit
    // status, or 128 + signal for a killed program.
    bool Wait(int& exitCode, std::chrono::milliseconds timeout);
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    std::string StderrText() const;

private:
    bool ReadExact(char* buffer, size_t count, std::chrono::steady_clock::time_point deadline,
                   std::string& error, int sideFd, const std::function<void()>& onSide, bool& endOfStream,
                   bool& timedOut);
    void KillAndReap();

    pid_t m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
    std::string m_stderrPath;
};

}  // namespace bm
