// host/IOStream.h — one frame at a time on the host's standard input and output: a four-byte little-endian
// length, then that many bytes of UTF-8 JSON.
#pragma once
#include <windows.h>

#include <string>

// Largest body the host sends; anything longer leaves as the length FF FF FF FF alone.
constexpr size_t NATIVE_MESSAGE_MAX_OUT = 0x100000;

// Binary mode on standard input, then standard output. 0, or -1 as soon as one switch fails.
int SetTranslationMode();

// Reads one frame from nFd. On 0 either a body and its length, or an empty body and length 0 when no
// message came (end of input, or a length of 0 or FF FF FF FF). Input that ends inside the length or the
// body is a failure (-1); a failed read gives errno. On a failure the out-values are untouched.
// Both out-parameters may be absent. The body's buffer grows with the bytes that arrive, not with the
// length the frame announces.
int ReadFromNativeMessaging(std::string* pstrInputMsg, int nFd, DWORD* pdwMsgLen);

// Writes the zero-terminated message as one frame with a single write. 0, or -1 on any failure.
int WriteToNativeMessaging(const char* pszMsg, int nFd);
