// host/nmCryptoAgent.h — the host's command table: request names, their wrappers, and dispatch.
#pragma once
#include "agent/CryptoAgent.h"
#include "host/JSONUtility.h"

// Every wrapper answers through the response object and returns 0; the agent is the process's one agent.
using NativeCommandWrapper = int (*)(JsonPtr& pResponseJSON, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);

struct NativeCommand {
    const char* pszRequestName;  // compared without regard to ASCII letter case
    NativeCommandWrapper pfnWrapper;
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
