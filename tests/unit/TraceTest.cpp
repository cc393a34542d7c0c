// Tracing: the file sink, the order of entry, failure and exit lines, and the thread's last error.
#include "trace/TraceHelper.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string TempTracePath(const char* pszName)
{
    WCHAR wszDir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, wszDir);
    char szDir[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, wszDir, -1, szDir, sizeof(szDir), nullptr, nullptr);
    return std::string(szDir) + pszName;
}

std::vector<std::string> ReadLines(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.substr(line.find(' ') + 1));  // drop the sequence number
    }
    return lines;
}

// A session of the file sink for one test: environment in, initialise, run, uninitialise.
std::vector<std::string> TraceSession(const std::string& strFlags, void (*pfnBody)())
{
    std::string strPath = TempTracePath("bm_trace_test.log");
    DeleteFileA(strPath.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", strFlags.empty() ? nullptr : strPath.c_str());
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", strFlags.empty() ? nullptr : strFlags.c_str());
    TraceInitialize();
    pfnBody();
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    std::vector<std::string> lines = ReadLines(strPath);
    DeleteFileA(strPath.c_str());
    return lines;
}

int g_nInnerLine = 0;
int g_nOuterLine = 0;

HRESULT Inner()
{
    TraceHelper scope(TEXT("Inner"));
    g_nInnerLine = __LINE__ + 1;
    FAIL_IF(1 + 1 == 2, E_INVALIDARG, TEXT("Check parameter"));
    return S_OK;
}

HRESULT Outer()
{
    TraceHelper scope(TEXT("Outer"));
    HRESULT hResult = Inner();
    g_nOuterLine = __LINE__ + 1;
    FAIL_IF(FAILED(hResult), hResult, TEXT("Inner"));
    return S_OK;
}

void RunNestedFailure() { EXPECT_EQ(Outer(), E_INVALIDARG); }

}  // namespace

TEST(Trace, NestedFailureWritesEntriesFailureLinesThenExitsInReverse)
{
    std::vector<std::string> lines = TraceSession("0xA", RunNestedFailure);
    const std::vector<std::string> want = {
        "ENTER Outer",
        "ENTER Inner",
        "FAILED 0x80070057 [TraceTest(" + std::to_string(g_nInnerLine) + "):] Inner - Check parameter [Reason:1 + 1 == 2]",
        "EXIT Inner",
        "FAILED 0x80070057 [TraceTest(" + std::to_string(g_nOuterLine) + "):] Outer - Inner [Reason:FAILED(hResult)]",
        "EXIT Outer",
    };
    EXPECT_EQ(lines, want);
}

TEST(Trace, InformationFlagAddsSuccessSteps)
{
    std::vector<std::string> lines = TraceSession("0x4", [] {
        TraceHelper scope(TEXT("Step"));
        auto body = [&]() -> HRESULT {
            FAIL_IF(false, E_FAIL, TEXT("Open"));
            return S_OK;
        };
        EXPECT_EQ(body(), S_OK);
    });
    EXPECT_EQ(lines, std::vector<std::string>{"RESULT 0x00000000 Step - Open"});
}

TEST(Trace, WithoutControllerNothingIsWrittenAndResultsAreTheSame)
{
    std::vector<std::string> lines = TraceSession("", RunNestedFailure);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(TraceIsEnabled(TRACE_FLAG_ENTRY | TRACE_FLAG_FAILED | TRACE_FLAG_INFO | TRACE_FLAG_ERROR));
}

TEST(Trace, LastErrorSurvivesScopesAndSteps)
{
    std::vector<std::string> lines = TraceSession("0xF", [] {
        {
            TraceHelper scope(TEXT("Platform"));
            SetLastError(ERROR_FILE_NOT_FOUND);
            TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("CreateFile"), TEXT("x"), E_FAIL);
            TraceHostFailure(__FILE__, __LINE__, "f", "s", -1, "r");
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    });
    EXPECT_EQ(lines.size(), 4u);
}

// A sink whose every write fails (a pipe opened without write access refuses with ERROR_ACCESS_DENIED): the
// failures inside tracing must not reach the traced code's last error.
TEST(Trace, LastErrorSurvivesASinkThatRefusesEveryWrite)
{
    const char szPipe[] = "\\\\.\\pipe\\bm_trace_refusing_sink";
    HANDLE hServer = CreateNamedPipeA(szPipe, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 65536, 0, nullptr);
    ASSERT_NE(hServer, INVALID_HANDLE_VALUE) << GetLastError();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", szPipe);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", "0xF");
    TraceInitialize();
    std::vector<DWORD> seen;
    {
        TraceHelper scope(TEXT("Platform"));
        SetLastError(ERROR_FILE_NOT_FOUND);
        TraceStepFailure(__FILE__, __LINE__, scope.Name(), TEXT("CreateFile"), TEXT("x"), E_FAIL);
        seen.push_back(GetLastError());
        TraceStepSuccess(scope.Name(), TEXT("CreateFile"));
        seen.push_back(GetLastError());
        TraceHostFailure(__FILE__, __LINE__, "f", "s", -1, "r");
        seen.push_back(GetLastError());
        TraceHostSuccess(__FILE__, __LINE__, "f", "s");
        seen.push_back(GetLastError());
        TraceValue(TRACE_FLAG_INFO, TEXT("n"), 1);
        TraceWideValue(TRACE_FLAG_INFO, TEXT("w"), TEXT("v"));
        TraceNarrowValue(TRACE_FLAG_INFO, TEXT("a"), "v");
        seen.push_back(GetLastError());
    }
    seen.push_back(GetLastError());
    TraceUninitialize();
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FILE", nullptr);
    SetEnvironmentVariableA("BRINDLEMARK_TRACE_FLAGS", nullptr);
    CloseHandle(hServer);
    EXPECT_EQ(seen, std::vector<DWORD>(6, ERROR_FILE_NOT_FOUND));
}

TEST(Trace, HostLinesKeepTheirFormat)
{
    std::vector<std::string> lines = TraceSession("0x5", [] {
        TraceHostFailure("host/IOStream.cpp", 77, "ReadFromNativeMessaging", "New memory", -1, "!pszInputMsg");
        TraceHostSuccess("host/IOStream.cpp", 80, "WriteToNativeMessaging", "write");
    });
    const std::vector<std::string> want = {
        "ERROR [IOStream(77):](ReadFromNativeMessaging -- New memory)\t\t--Failed:(0xffffffff) [Reason:!pszInputMsg]",
        "INFO [IOStream(80)]:(WriteToNativeMessaging -- write)\t\t--OK",
    };
    EXPECT_EQ(lines, want);
}
