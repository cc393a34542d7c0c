// host/nmCryptoAgent.h — the host's command table: request names, the arguments each command reads, their
// wrappers, and dispatch.
#pragma once
#include "agent/CryptoAgent.h"
#include "host/JSONUtility.h"

#include <span>

// Every wrapper answers through the response object and returns 0; the agent is the process's one agent.
using NativeCommandWrapper = int (*)(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);

// A text argument is a JSON string handed to the agent as UTF-16; an integer argument a JSON number's
// integer part. Neither is taken for the other.
enum class ArgumentKind { Text, Integer };

struct CommandArgument {
    ArgumentKind eKind;
    const WCHAR* pwszName;  // the argument's name in step labels: "ConverJSONArrayItemtoint(nCertType)"
};

struct NativeCommand {
    const char* pszRequestName;   // compared without regard to ASCII letter case
    const char* pszResponseName;  // the command's own name, as every answer carries it
    NativeCommandWrapper pfnWrapper;
    std::span<const CommandArgument> arguments;  // "params" holds exactly these, read from position 0 on
    int nArgsError;                              // errorcode when "params" is absent or holds another count
    HRESULT hrNoAgent;                           // errorcode without an agent; QORA_OK for commands that call none
};

// The wrapper of the row whose name matches (its result, 0), or -1 and no response object for an unknown name.
int Invoke(JsonPtr& pResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs);

int nmQORA_SetCSPInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_SetKeyAlgorithm(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_GetContainer(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_GetVersion(JsonPtr& pResponseJSON, const cJSON* pJSONArgs);
int nmGetLastErrorDesc(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmCheckHost(JsonPtr& pResponseJSON);
int nmQORA_PKCS10CertRequisition(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_PKCS10CertRequisitionwithMD5(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_ImportSignCert(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_ImportEncryptCert(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_GetCSPInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_GetAllCertInfo(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
int nmQORA_HavePermissiontoGenerateKeyPair(JsonPtr& pResponseJSON, const cJSON* pJSONArgs,
                                           CCryptoAgent* pobjCryptoAgent);
