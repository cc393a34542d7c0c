// tests/native/support/HostProcess.cpp — posix_spawn with pipes, poll-bounded frame I/O, process-group
// clean-up.
#include "support/HostProcess.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bm {

namespace {

using Clock = std::chrono::steady_clock;

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

// A write to a host that has died must be a failed call, not a signal that ends the test program.
void IgnoreSigpipeOnce()
{
    static const bool done = [] {
        struct sigaction action = {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(SIGPIPE, &action, nullptr);
        return true;
    }();
    (void)done;
}

std::string ParentDir(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

class SpawnActions {
public:
    SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions()
    {
        if (m_ok) posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool Ok() const { return m_ok; }
    posix_spawn_file_actions_t* Get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok = false;
};

class SpawnAttr {
public:
    SpawnAttr() { m_ok = posix_spawnattr_init(&m_attr) == 0; }
    ~SpawnAttr()
    {
        if (m_ok) posix_spawnattr_destroy(&m_attr);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
    bool Ok() const { return m_ok; }
    posix_spawnattr_t* Get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
    bool m_ok = false;
};

// The child gets its own process group (so a kill reaches Wine's helpers too), an empty signal mask and
// default SIGPIPE handling whatever ours is.
bool PrepareAttr(SpawnAttr& attr)
{
    if (!attr.Ok()) return false;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    return posix_spawnattr_setflags(attr.Get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setpgroup(attr.Get(), 0) == 0 && posix_spawnattr_setsigmask(attr.Get(), &none) == 0 &&
           posix_spawnattr_setsigdefault(attr.Get(), &defaults) == 0;
}

std::vector<std::string> MergedEnvironment(const Env& extra)
{
    std::vector<std::string> merged;
    for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
        const std::string entry(*p);
        const std::string key = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto& kv : extra)
            if (kv.first == key) overridden = true;
        if (!overridden) merged.push_back(entry);
    }
    for (const auto& kv : extra) merged.push_back(kv.first + "=" + kv.second);
    return merged;
}

std::vector<char*> PointersOf(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

bool WaitPid(pid_t pid, int& status, Clock::time_point deadline)
{
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Runs a command with every standard stream on /dev/null, bounded in time.
bool RunQuiet(std::vector<std::string> argv, const Env& extraEnv, std::chrono::seconds timeout, std::string& error)
{
    SpawnActions actions;
    SpawnAttr attr;
    if (!actions.Ok() || !PrepareAttr(attr)) {
        error = "posix_spawn set-up failed";
        return false;
    }
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(actions.Get(), fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    std::vector<std::string> envStrings = MergedEnvironment(extraEnv);
    std::vector<char*> args = PointersOf(argv);
    std::vector<char*> envp = PointersOf(envStrings);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], actions.Get(), attr.Get(), args.data(), envp.data());
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + strerror(rc);
        return false;
    }
    int status = 0;
    if (!WaitPid(pid, status, Clock::now() + timeout)) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        error = argv[0] + " did not finish in time";
        return false;
    }
    if (ExitCodeOf(status) != 0) {
        error = argv[0] + " exited with " + std::to_string(ExitCodeOf(status));
        return false;
    }
    return true;
}

}  // namespace

std::string WinBuildDir()
{
    if (const char* dir = getenv("BM_WIN_BUILD_DIR"); dir != nullptr && *dir != '\0') return dir;
    return BM_WIN_BUILD_DIR;
}

std::string WinePrefixDir()
{
    if (const char* prefix = getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') return prefix;
    return ParentDir(WinBuildDir()) + "/wineprefix";
}

namespace {

// scripts/common.sh places each architecture's build at $BUILD_ROOT/<arch>/win, beside its prefix.
std::string ArchOfBuild() { return BaseName(ParentDir(WinBuildDir())); }

std::string EnvOr(const char* name, const std::string& fallback)
{
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// Debian's wine wrapper takes the 32-bit loader whenever wine32 is installed, so the loader is named.
std::string WineLoader()
{
    return EnvOr("BM_WINE", ArchOfBuild() == "x86_64" ? "/usr/lib/wine/wine64" : "/usr/lib/wine/wine");
}

std::string WineServer()
{
    return EnvOr("BM_WINESERVER", access("/usr/lib/wine/wineserver64", X_OK) == 0 ? "/usr/lib/wine/wineserver64"
                                                                                 : "/usr/lib/wine/wineserver32");
}

}  // namespace

Env DefaultHostEnv()
{
    const std::string arch = ArchOfBuild();
    return {{"BUILD_ROOT", ParentDir(ParentDir(WinBuildDir()))},
            {"BM_ARCH", arch},
            {"WINEPREFIX", WinePrefixDir()},
            {"WINEARCH", arch == "x86_64" ? "win64" : "win32"},
            {"WINELOADER", WineLoader()},
            {"WINEDEBUG", "-all"}};
}

std::vector<std::string> DefaultHostCommand() { return {"bash", std::string(BM_SOURCE_DIR) + "/scripts/host"}; }

std::vector<std::string> WineCommand(const std::string& exePath) { return {WineLoader(), exePath}; }

std::string WindowsPathOf(const std::string& path)
{
    std::string windows = "Z:" + path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

Env PrefixEnv(const std::string& prefix)
{
    Env env = DefaultHostEnv();
    for (auto& kv : env)
        if (kv.first == "WINEPREFIX") kv.second = prefix;
    return env;
}

bool StartWineIn(const Env& env, std::string& error)
{
    unsetenv("DISPLAY");
    // A server that outlives one program by half a minute spares the next program Wine's start-up, and
    // still goes away by itself; a server that is already running is left as it is.
    std::string ignored;
    RunQuiet({WineServer(), "-p30"}, env, std::chrono::seconds(30), ignored);
    return RunQuiet({WineLoader(), "cmd", "/c", "exit"}, env, std::chrono::seconds(300), error);
}

void StopWineIn(const Env& env)
{
    std::string ignored;
    RunQuiet({WineServer(), "-k"}, env, std::chrono::seconds(60), ignored);
}

bool EnsureWineRunning(std::string& error)
{
    static bool started = false;
    static std::string failure;
    static bool tried = false;
    if (!tried) {
        tried = true;
        started = StartWineIn(DefaultHostEnv(), failure);
    }
    if (!started) error = "Wine did not start in " + WinePrefixDir() + ": " + failure;
    return started;
}

HostProcess::~HostProcess()
{
    KillAndReap();
    if (!m_stderrPath.empty()) unlink(m_stderrPath.c_str());
}

void HostProcess::KillAndReap()
{
    CloseInput();
    if (m_fromChild >= 0) {
        close(m_fromChild);
        m_fromChild = -1;
    }
    if (m_pid > 0) {
        int status = 0;
        // A host whose input has ended leaves by itself; give it a moment before the kill.
        if (!WaitPid(m_pid, status, Clock::now() + std::chrono::seconds(3))) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
}

bool HostProcess::Start(const std::vector<std::string>& argv, const Env& extraEnv, std::string& error)
{
    IgnoreSigpipeOnce();
    if (m_pid > 0 || argv.empty()) {
        error = argv.empty() ? "no command" : "already running";
        return false;
    }
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        error = Errno("pipe2");
        return false;
    }
    Fd childIn(toChild[0]), parentOut(toChild[1]);
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        error = Errno("pipe2");
        return false;
    }
    Fd parentIn(fromChild[0]), childOut(fromChild[1]);

    if (m_stderrPath.empty()) {
        char path[] = "/tmp/bm-host-stderr-XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            error = Errno("mkstemp");
            return false;
        }
        close(fd);
        m_stderrPath = path;
    }

    SpawnActions actions;
    SpawnAttr attr;
    if (!actions.Ok() || !PrepareAttr(attr) || posix_spawn_file_actions_adddup2(actions.Get(), childIn.Get(), 0) != 0 ||
        posix_spawn_file_actions_adddup2(actions.Get(), childOut.Get(), 1) != 0 ||
        posix_spawn_file_actions_addopen(actions.Get(), 2, m_stderrPath.c_str(), O_WRONLY | O_TRUNC, 0) != 0) {
        error = "posix_spawn set-up failed";
        return false;
    }
    std::vector<std::string> args(argv);
    std::vector<std::string> envStrings = MergedEnvironment(extraEnv);
    std::vector<char*> argp = PointersOf(args);
    std::vector<char*> envp = PointersOf(envStrings);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argp[0], actions.Get(), attr.Get(), argp.data(), envp.data());
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + strerror(rc);
        return false;
    }
    m_pid = pid;
    m_toChild = parentOut.Release();
    m_fromChild = parentIn.Release();
    return true;
}

HostPlatform DefaultHostPlatform()
{
    const char* platform = getenv("BM_PLATFORM");
    return platform != nullptr && strcmp(platform, "linux") == 0 ? HostPlatform::Linux : HostPlatform::Windows;
}

std::string LinuxHostPath() { return EnvOr("BM_LINUX_HOST", BM_LINUX_HOST); }

namespace {

// Removes the program's database folder at exit.
struct TestDatabaseFolder {
    std::string path;
    TestDatabaseFolder()
    {
        char pattern[] = "/tmp/bm-nssdb-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path = pattern;
    }
    ~TestDatabaseFolder()
    {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

std::string TestNssDatabase()
{
    static TestDatabaseFolder folder;
    return folder.path;
}

bool HostProcess::StartHost(std::string& error, const Env& extraEnv, HostPlatform platform)
{
    if (platform == HostPlatform::Linux) {
        Env env = {{"BM_PLATFORM", "linux"}, {"BM_LINUX_HOST", LinuxHostPath()}};
        bool namedDatabase = false;
        for (const auto& kv : extraEnv) namedDatabase = namedDatabase || kv.first == "BM_NSSDB";
        if (!namedDatabase) env.push_back({"BM_NSSDB", "sql:" + TestNssDatabase()});
        for (const auto& kv : extraEnv) env.push_back(kv);
        return Start(DefaultHostCommand(), env, error);
    }
    if (!EnsureWineRunning(error)) return false;
    Env env = DefaultHostEnv();
    for (const auto& kv : extraEnv) env.push_back(kv);
    return Start(DefaultHostCommand(), env, error);
}

bool HostProcess::WriteRaw(std::string_view bytes, std::string& error)
{
    if (m_toChild < 0) {
        error = "input already closed";
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_toChild, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = Errno("write to host");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool HostProcess::WriteFrame(std::string_view body, std::string& error)
{
    if (body.size() > UINT32_MAX) {
        error = "body too large for a frame";
        return false;
    }
    const uint32_t n = static_cast<uint32_t>(body.size());
    std::string frame;
    frame.reserve(body.size() + 4);
    for (int i = 0; i < 4; ++i) frame += static_cast<char>((n >> (8 * i)) & 0xFF);
    frame.append(body);
    return WriteRaw(frame, error);
}

bool HostProcess::ReadExact(char* buffer, size_t count, Clock::time_point deadline, std::string& error, int sideFd,
                            const std::function<void()>& onSide, bool& endOfStream, bool& timedOut)
{
    size_t done = 0;
    while (done < count) {
        const auto now = Clock::now();
        if (now >= deadline) {
            timedOut = true;
            error = "no answer within the time limit (" + std::to_string(done) + " of " + std::to_string(count) +
                    " bytes read)";
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        pollfd fds[2] = {{m_fromChild, POLLIN, 0}, {sideFd, POLLIN, 0}};
        const int r = poll(fds, sideFd >= 0 ? 2 : 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
        if (r < 0) {
            if (errno == EINTR) continue;
            error = Errno("poll");
            return false;
        }
        if (sideFd >= 0 && (fds[1].revents & POLLIN) && onSide) onSide();
        if (fds[0].revents == 0) continue;
        const ssize_t n = read(m_fromChild, buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            error = Errno("read from host");
            return false;
        }
        if (n == 0) {
            endOfStream = true;
            error = "host closed its output after " + std::to_string(done) + " of " + std::to_string(count) +
                    " bytes";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

HostProcess::ReadStatus HostProcess::ReadFrame(std::string& body, std::chrono::milliseconds timeout,
                                               std::string& error, size_t maxBody, int sideFd,
                                               const std::function<void()>& onSide)
{
    body.clear();
    if (m_fromChild < 0) {
        error = "host not running";
        return ReadStatus::Error;
    }
    const auto deadline = Clock::now() + timeout;
    unsigned char prefix[4] = {};
    bool end = false, timedOut = false;
    if (!ReadExact(reinterpret_cast<char*>(prefix), 4, deadline, error, sideFd, onSide, end, timedOut)) {
        if (timedOut) return ReadStatus::Timeout;
        return end ? ReadStatus::EndOfStream : ReadStatus::Error;
    }
    const uint32_t n = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                       static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (n == 0xFFFFFFFFu || n > maxBody) {
        error = "frame length " + std::to_string(n) + " above the limit " + std::to_string(maxBody);
        return ReadStatus::Oversize;
    }
    body.resize(n);
    if (!ReadExact(body.data(), n, deadline, error, sideFd, onSide, end, timedOut)) {
        body.clear();
        if (timedOut) return ReadStatus::Timeout;
        return ReadStatus::Error;  // a frame cut short is a broken frame, not a clean end
    }
    return ReadStatus::Frame;
}

bool HostProcess::ReadLine(std::string& line, std::chrono::milliseconds timeout, std::string& error)
{
    line.clear();
    if (m_fromChild < 0) {
        error = "program not running";
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    bool end = false, timedOut = false;
    for (char c = 0; ReadExact(&c, 1, deadline, error, -1, {}, end, timedOut);) {
        if (c == '\n') return true;
        if (c != '\r') line += c;
    }
    return false;
}

bool HostProcess::Exchange(std::string_view request, std::string& reply, std::chrono::milliseconds timeout,
                           std::string& error)
{
    if (!WriteFrame(request, error)) return false;
    const ReadStatus status = ReadFrame(reply, timeout, error);
    if (status == ReadStatus::Frame) return true;
    if (status == ReadStatus::EndOfStream) error = "host ended without answering (" + error + ")";
    const std::string stderrText = StderrText();
    if (!stderrText.empty()) error += "; host stderr: " + stderrText.substr(0, 2000);
    return false;
}

void HostProcess::CloseInput()
{
    if (m_toChild >= 0) {
        close(m_toChild);
        m_toChild = -1;
    }
}

bool HostProcess::Wait(int& exitCode, std::chrono::milliseconds timeout)
{
    exitCode = -1;
    if (m_pid <= 0) return false;
    int status = 0;
    if (!WaitPid(m_pid, status, Clock::now() + timeout)) {
        kill(-m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return false;
    }
    m_pid = -1;
    exitCode = ExitCodeOf(status);
    return true;
}

std::string HostProcess::StderrText() const
{
    if (m_stderrPath.empty()) return {};
    std::ifstream in(m_stderrPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace bm
