// fuzz/frame.cpp — the host's frame reader over a descriptor holding the input: a frame is taken whole,
// refused when the input ends inside it, or read as "no message".
#include "host/IOStream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int FrameFile()
{
    static const int s_nFd = memfd_create("frame", 0);
    if (s_nFd < 0) abort();
    return s_nFd;
}

void Fill(int nFd, const uint8_t* pb, size_t cb)
{
    if (ftruncate(nFd, 0) != 0 || lseek(nFd, 0, SEEK_SET) != 0) abort();
    if (cb != 0 && write(nFd, pb, cb) != static_cast<ssize_t>(cb)) abort();
    if (lseek(nFd, 0, SEEK_SET) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb)
{
    const int nFd = FrameFile();
    Fill(nFd, pb, cb);
    std::string strBody = "untouched";
    DWORD dwLength = 12345;
    const int nResult = ReadFromNativeMessaging(&strBody, nFd, &dwLength);

    const DWORD dwAnnounced = cb >= 4 ? (pb[0] | (pb[1] << 8) | (pb[2] << 16) | (static_cast<DWORD>(pb[3]) << 24)) : 0;
    if (cb == 0 || (cb >= 4 && (dwAnnounced == 0 || dwAnnounced == 0xFFFFFFFF))) {
        // No message: an empty body and length 0.
        if (nResult != 0 || !strBody.empty() || dwLength != 0) abort();
    } else if (cb < 4 || cb - 4 < dwAnnounced) {
        // Cut short: a failure that leaves the out-values alone.
        if (nResult != -1 || strBody != "untouched" || dwLength != 12345) abort();
    } else {
        // A whole frame: exactly the announced bytes, nothing of what follows.
        if (nResult != 0 || dwLength != dwAnnounced || strBody.size() != dwAnnounced ||
            memcmp(strBody.data(), pb + 4, dwAnnounced) != 0)
            abort();
        // What goes back out is the same frame again (up to the body's first zero byte).
        const std::string strText(strBody.c_str());
        Fill(nFd, nullptr, 0);
        if (WriteToNativeMessaging(strText.c_str(), nFd) != 0) abort();
        if (lseek(nFd, 0, SEEK_SET) != 0) abort();
        std::string strEcho;
        if (ReadFromNativeMessaging(&strEcho, nFd, nullptr) != 0 || strEcho != strText) abort();
    }
    return 0;
}
