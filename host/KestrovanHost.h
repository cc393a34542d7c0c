// host/KestrovanHost.h — the host process: its state, the message loop and the handling of one request.
#pragma once
#include "agent/CryptoAgent.h"

#include <string>

// Module handle of the program file; the agent loads its string tables and chain documents through it.
extern HINSTANCE g_hInstance;
// The process's only agent: settings made by one request hold for every later request.
extern CCryptoAgent* g_pobjCryptoAgent;

// Reads and answers frames until the input ends (0) or a transfer fails (its code).
int MsgHandleProc();

// One request text in, one response text out (empty only when no memory could be had for it). Always 0.
int ParseAndRespondRequest(const char* pszRequestMsg, std::string& strResponseMsg);
