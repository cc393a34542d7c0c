// host/IOStream.cpp — frame transfer with the runtime library's descriptor I/O, never buffered streams.
#include "host/IOStream.h"

#include "host/HostTrace.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kNoMessageLength = 0xFFFFFFFF;
constexpr size_t kFirstBodyStep = 64 * 1024;

// The body buffer's next size once the bytes so far fill it: the first step, then twice as much, never
// beyond the announced length (halving the length first keeps the doubling inside a 32-bit size_t).
size_t NextBodyCapacity(size_t cbHave, DWORD dwLength)
{
    if (dwLength <= kFirstBodyStep || cbHave >= dwLength / 2) return dwLength;
    return cbHave < kFirstBodyStep ? kFirstBodyStep : 2 * cbHave;
}

}  // namespace

int SetTranslationMode()
{
    TraceHelper scope(TEXT("SetTranslationMode"));
    const char* pszFunction = "SetTranslationMode";

    int nResult = _setmode(_fileno(stdin), _O_BINARY);
    if (-1 == nResult) {
        HOST_STEP_FAILED(pszFunction, "_setmode(stdin)", -1, "-1 == nResult");
        return -1;
    }
    HOST_STEP_OK(pszFunction, "_setmode(stdin)");

    nResult = _setmode(_fileno(stdout), _O_BINARY);
    if (-1 == nResult) {
        HOST_STEP_FAILED(pszFunction, "_setmode(stdout)", -1, "-1 == nResult");
        return -1;
    }
    HOST_STEP_OK(pszFunction, "_setmode(stdout)");
    return 0;
}

int ReadFromNativeMessaging(std::string* pstrInputMsg, int nFd, DWORD* pdwMsgLen)
{
    TraceHelper scope(TEXT("ReadFromNativeMessaging"));
    const char* pszFunction = "ReadFromNativeMessaging";

    // The length arrives in as many pieces as the pipe likes; only an end before its first byte means
    // that no message came.
    BYTE abyLength[4] = {};
    unsigned int nGot = 0;
    while (nGot < sizeof(abyLength)) {
        const int nRead = _read(nFd, abyLength + nGot, sizeof(abyLength) - nGot);
        if (nRead <= 0) break;
        nGot += static_cast<unsigned int>(nRead);
    }
    if (nGot != 0 && nGot < sizeof(abyLength)) {
        HOST_STEP_FAILED(pszFunction, "_read(length)", -1, "nGot < sizeof(abyLength)");
        return -1;
    }
    const DWORD dwLength = static_cast<DWORD>(abyLength[0]) | (static_cast<DWORD>(abyLength[1]) << 8) |
                           (static_cast<DWORD>(abyLength[2]) << 16) | (static_cast<DWORD>(abyLength[3]) << 24);
    TraceValue(TRACE_FLAG_INFO, TEXT("dwLength"), static_cast<LONG>(dwLength));
    if (0 == dwLength || kNoMessageLength == dwLength) {
        HOST_STEP_OK(pszFunction, "No message");
        if (pstrInputMsg != nullptr) pstrInputMsg->clear();
        if (pdwMsgLen != nullptr) *pdwMsgLen = 0;
        return 0;
    }
    HOST_STEP_OK(pszFunction, "_read(length)");

    // The buffer grows with the bytes that arrive, so a length that promises more than comes costs only
    // what was sent. Bodies up to the first step take one allocation of exactly their size.
    std::string strInputMsg;
    DWORD dwOffset = 0;
    while (dwOffset < dwLength) {
        if (dwOffset == strInputMsg.size()) {
            const size_t cbNext = NextBodyCapacity(strInputMsg.size(), dwLength);
            if (!TryResize(strInputMsg, cbNext)) {
                HOST_STEP_FAILED(pszFunction, "New memory", -1, "!pszInputMsg");
                return -1;
            }
            if (dwOffset == 0) HOST_STEP_OK(pszFunction, "New memory");
        }
        const size_t cbRoom = strInputMsg.size() - dwOffset;
        const unsigned int nAsk = cbRoom > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<unsigned int>(cbRoom);
        const int nRead = _read(nFd, &strInputMsg[dwOffset], nAsk);
        if (nRead < 0) {
            const int nError = errno != 0 ? errno : -1;
            HOST_STEP_FAILED(pszFunction, "_read", nError, "-1 == nReadSize");
            return nError;
        }
        if (nRead == 0) {
            // The writer went away inside the body: asking again would never end.
            HOST_STEP_FAILED(pszFunction, "_read", -1, "0 == nReadSize");
            return -1;
        }
        dwOffset += static_cast<DWORD>(nRead);
    }
    HOST_STEP_OK(pszFunction, "_read");

    if (pstrInputMsg != nullptr) pstrInputMsg->swap(strInputMsg);
    if (pdwMsgLen != nullptr) *pdwMsgLen = dwLength;
    return 0;
}

int WriteToNativeMessaging(const char* pszMsg, int nFd)
{
    TraceHelper scope(TEXT("WriteToNativeMessaging"));
    const char* pszFunction = "WriteToNativeMessaging";

    if (pszMsg == nullptr) {
        HOST_STEP_FAILED(pszFunction, "Check Parameters(pszMsg)", -1, "NULL == pszMsg");
        return -1;
    }
    const size_t nLength = strlen(pszMsg);
    TraceValue(TRACE_FLAG_INFO, TEXT("nLength"), static_cast<LONG>(nLength));
    if (nLength > NATIVE_MESSAGE_MAX_OUT) {
        // The browser learns of the refusal from the length alone.
        const BYTE abyRefused[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        _write(nFd, abyRefused, sizeof(abyRefused));
        HOST_STEP_FAILED(pszFunction, "Check Parameters(nLength)", -1, "nLength > 0x100000");
        return -1;
    }

    std::vector<BYTE> vecWriteBuf;
    if (!TryResize(vecWriteBuf, static_cast<uint64_t>(nLength) + 4)) {
        HOST_STEP_FAILED(pszFunction, "New memory", -1, "!pbyWriteBuf");
        return -1;
    }
    HOST_STEP_OK(pszFunction, "New memory");
    vecWriteBuf[0] = static_cast<BYTE>(nLength & 0xFF);
    vecWriteBuf[1] = static_cast<BYTE>((nLength >> 8) & 0xFF);
    vecWriteBuf[2] = static_cast<BYTE>((nLength >> 16) & 0xFF);
    vecWriteBuf[3] = static_cast<BYTE>((nLength >> 24) & 0xFF);
    if (nLength != 0) memcpy(vecWriteBuf.data() + 4, pszMsg, nLength);

    const int nWriteBufSize = static_cast<int>(vecWriteBuf.size());
    const int nWriteSize = _write(nFd, vecWriteBuf.data(), static_cast<unsigned int>(nWriteBufSize));
    if (nWriteSize != nWriteBufSize) {
        HOST_STEP_FAILED(pszFunction, "write", -1, "nWriteSize != nWriteBufSize");
        return -1;
    }
    HOST_STEP_OK(pszFunction, "write");
    return 0;
}
