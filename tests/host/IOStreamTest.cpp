// Frames on descriptors: the length prefix in pieces, no-message lengths, bodies that end early, and the
// largest outgoing body.
#include "host/IOStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

// The largest block this program takes from operator new while g_bWatch is set: what a read allocates,
// seen without a hook in the host.
static std::atomic<bool> g_bWatch{false};
static std::atomic<size_t> g_cbLargest{0};

void* operator new(size_t cb)
{
    for (size_t cbSeen = g_cbLargest; g_bWatch && cb > cbSeen && !g_cbLargest.compare_exchange_weak(cbSeen, cb);) {
    }
    void* pv = malloc(cb != 0 ? cb : 1);
    if (pv == nullptr) throw std::bad_alloc();
    return pv;
}

namespace {

// An anonymous pipe as two runtime descriptors in binary mode.
struct DescriptorPipe {
    int nRead = -1;
    int nWrite = -1;
    DescriptorPipe()
    {
        int an[2] = {-1, -1};
        EXPECT_EQ(_pipe(an, 4 * 1024 * 1024, _O_BINARY), 0);
        nRead = an[0];
        nWrite = an[1];
    }
    ~DescriptorPipe()
    {
        CloseWrite();
        if (nRead >= 0) _close(nRead);
    }
    void CloseWrite()
    {
        if (nWrite >= 0) _close(nWrite);
        nWrite = -1;
    }
    DescriptorPipe(const DescriptorPipe&) = delete;
    DescriptorPipe& operator=(const DescriptorPipe&) = delete;
};

std::string Prefix(DWORD dwLength)
{
    std::string str(4, '\0');
    for (int i = 0; i < 4; ++i) str[i] = static_cast<char>((dwLength >> (8 * i)) & 0xFF);
    return str;
}

// Feeds the pieces one write at a time (so the reader sees them arrive separately), then ends the input.
struct ReadOutcome {
    int nResult;
    std::string strBody;
    DWORD dwLength;
    size_t cbLargest;
};

ReadOutcome ReadFrom(const std::vector<std::string>& pieces)
{
    DescriptorPipe pipe;
    std::thread writer([&] {
        for (const std::string& strPiece : pieces) {
            _write(pipe.nWrite, strPiece.data(), static_cast<unsigned>(strPiece.size()));
            Sleep(5);
        }
        pipe.CloseWrite();
    });
    ReadOutcome outcome = {12345, "untouched", 0xDEAD, 0};
    g_cbLargest = 0;
    g_bWatch = true;
    outcome.nResult = ReadFromNativeMessaging(&outcome.strBody, pipe.nRead, &outcome.dwLength);
    g_bWatch = false;
    outcome.cbLargest = g_cbLargest;
    writer.join();
    return outcome;
}

std::string ReadAll(int nFd)
{
    std::string str;
    char ach[65536];
    for (;;) {
        int n = _read(nFd, ach, sizeof(ach));
        if (n <= 0) break;
        str.append(ach, static_cast<size_t>(n));
    }
    return str;
}

// What WriteToNativeMessaging puts on a descriptor, and its result.
std::pair<int, std::string> WriteOut(const std::string& strMsg)
{
    DescriptorPipe pipe;
    std::string strGot;
    std::thread reader([&] { strGot = ReadAll(pipe.nRead); });
    int nResult = WriteToNativeMessaging(strMsg.c_str(), pipe.nWrite);
    pipe.CloseWrite();
    reader.join();
    return {nResult, strGot};
}

}  // namespace

TEST(ReadFromNativeMessaging, FramesAndNoMessageLengths)
{
    struct Case {
        const char* pszName;
        std::vector<std::string> pieces;
        int nResult;
        std::string strBody;
        DWORD dwLength;
    };
    const std::string strFive = "hello";
    std::string strLong(300001, 'x');
    for (size_t i = 0; i < strLong.size(); i += 997) strLong[i] = static_cast<char>('a' + i % 26);
    const std::vector<Case> cases = {
        {"five bytes", {Prefix(5) + strFive}, 0, strFive, 5},
        {"prefix in single bytes", {"\x05", std::string(1, '\0'), std::string(1, '\0'), std::string(1, '\0'), "hel", "lo"},
         0, strFive, 5},
        {"body in pieces", {Prefix(5), "h", "el", "lo"}, 0, strFive, 5},
        {"zero length", {Prefix(0) + "ignored"}, 0, "", 0},
        {"FF FF FF FF", {Prefix(0xFFFFFFFF) + "ignored"}, 0, "", 0},
        {"input already at its end", {}, 0, "", 0},
        {"binary body kept", {Prefix(4) + std::string("\r\n\x1a\0", 4)}, 0, std::string("\r\n\x1a\0", 4), 4},
        {"body over several growth steps", {Prefix(300001), strLong.substr(0, 70000), strLong.substr(70000)}, 0, strLong,
         300001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        ReadOutcome outcome = ReadFrom(c.pieces);
        EXPECT_EQ(outcome.nResult, c.nResult);
        EXPECT_EQ(outcome.strBody, c.strBody);
        EXPECT_EQ(outcome.dwLength, c.dwLength);
    }
}

TEST(ReadFromNativeMessaging, InputEndingInsideAFrameIsAFailureAndCostsOnlyWhatCame)
{
    struct Case {
        const char* pszName;
        std::vector<std::string> pieces;
    };
    const std::string strNext = Prefix(42) + std::string(42, 'x');
    for (const Case& c : std::vector<Case>{{"one byte of the length", {"\x05"}},
                                           {"two zero bytes of the length", {std::string(2, '\0')}},
                                           {"three FF bytes of the length", {"\xFF\xFF\xFF"}},
                                           {"three bytes of the length", {Prefix(5).substr(0, 3)}},
                                           {"no body", {Prefix(5)}},
                                           {"part of the body", {Prefix(5) + "hel"}},
                                           {"0x7FFFFFF0 and 100 bytes", {Prefix(0x7FFFFFF0) + std::string(100, 'x')}},
                                           {"0xFFFFFFFE and one byte", {Prefix(0xFFFFFFFE) + "{"}},
                                           // The next frame's first byte completes the length 0x2A00002A.
                                           {"a short prefix, then the next frame", {strNext.substr(0, 3) + strNext}}}) {
        SCOPED_TRACE(c.pszName);
        ReadOutcome outcome = ReadFrom(c.pieces);
        EXPECT_EQ(outcome.nResult, -1);
        EXPECT_EQ(outcome.strBody, "untouched");
        EXPECT_EQ(outcome.dwLength, 0xDEADu);
        EXPECT_LE(outcome.cbLargest, 64u * 1024 + 1);
    }
}

TEST(ReadFromNativeMessaging, ConsecutiveFramesAreReadOneAtATime)
{
    DescriptorPipe pipe;
    const std::string strInput = Prefix(3) + "abc" + Prefix(2) + "de";
    _write(pipe.nWrite, strInput.data(), static_cast<unsigned>(strInput.size()));
    pipe.CloseWrite();
    std::string strBody;
    DWORD dwLength = 0;
    ASSERT_EQ(ReadFromNativeMessaging(&strBody, pipe.nRead, &dwLength), 0);
    EXPECT_EQ(strBody, "abc");
    ASSERT_EQ(ReadFromNativeMessaging(&strBody, pipe.nRead, nullptr), 0);  // absent out-parameters are allowed
    EXPECT_EQ(strBody, "de");
    ASSERT_EQ(ReadFromNativeMessaging(nullptr, pipe.nRead, &dwLength), 0);
    EXPECT_EQ(dwLength, 0u);
}

TEST(WriteToNativeMessaging, LengthPrefixThenBodyInOneFrame)
{
    for (const std::string& strMsg : {std::string(), std::string("{}"), std::string(300, 'x')}) {
        SCOPED_TRACE(strMsg.size());
        auto [nResult, strGot] = WriteOut(strMsg);
        EXPECT_EQ(nResult, 0);
        EXPECT_EQ(strGot, Prefix(static_cast<DWORD>(strMsg.size())) + strMsg);
    }
}

TEST(WriteToNativeMessaging, LargestBodyLeavesAndOneByteMoreIsRefused)
{
    const std::string strLargest(1048576, 'a');
    auto [nResult, strGot] = WriteOut(strLargest);
    EXPECT_EQ(nResult, 0);
    ASSERT_EQ(strGot.size(), 1048580u);
    EXPECT_EQ(strGot.substr(0, 4), std::string("\x00\x00\x10\x00", 4));
    EXPECT_TRUE(strGot.compare(4, std::string::npos, strLargest) == 0);

    auto [nRefused, strRefused] = WriteOut(std::string(1048577, 'a'));
    EXPECT_EQ(nRefused, -1);
    EXPECT_EQ(strRefused, "\xFF\xFF\xFF\xFF");
}

TEST(WriteToNativeMessaging, FailedWriteAndAbsentMessageAreFailures)
{
    EXPECT_EQ(WriteToNativeMessaging(nullptr, 1), -1);
    DescriptorPipe pipe;
    _close(pipe.nRead);
    pipe.nRead = -1;
    EXPECT_EQ(WriteToNativeMessaging("{}", pipe.nWrite), -1);  // nobody reads any more
    EXPECT_EQ(WriteToNativeMessaging("{}", 9999), -1);         // no such descriptor
}
