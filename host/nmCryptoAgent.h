// host/nmCryptoAgent.h — the host's commands: the agent's operations and the host's own, and dispatch.
#pragma once
#include "agent/CryptoAgent.h"
#include "host/JSONUtility.h"

// The command whose name matches without regard to ASCII letter case answers (0), or -1 and no response object
// for an unknown name. Every command answers through the response object.
int Invoke(JsonPtr& pResponseJSON, const char* pszFuncName, const cJSON* pJSONArgs);

int nmQORA_GetVersion(JsonPtr& pResponseJSON, const cJSON* pJSONArgs);
int nmCheckHost(JsonPtr& pResponseJSON);
