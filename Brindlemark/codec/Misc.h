// Brindlemark/codec/Misc.h — small wrappers around the platform that several units share: GUID texts
// for key container names, the temporary directory and diagnostic files, provider parameters, and the
// SHA-256 support test.
#pragma once
#include "Common.h"

// A new GUID in its registry text form: 38 characters, braces included.
HRESULT CreateGUIDStr(WString& wstrGuid);

// The user's temporary directory, ending with a backslash.
HRESULT GetTempDirPath(WString& wstrTempDir);

// Leaves a copy of the bytes in {GUID}.QORA in the temporary directory. wstrPath receives the path only
// when the file was written; failures are only traced.
void DumpDatatoTempFile(const BYTE* pbData, DWORD cbData, WString& wstrPath);

// The value of a provider parameter (PP_NAME, PP_CONTAINER, ...); its byte length is the buffer's size.
HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, ByteBuffer& vecInfo);

// True when the platform version can verify SHA-256 signatures.
BOOL CheckIsSystemSupportSHA256();
