// host/KestrovanHost.cpp — the native messaging host: start-up, the message loop, one request at a time.
#include "host/KestrovanHost.h"

#include "host/HostTrace.h"
#include "host/IOStream.h"
#include "host/JSONUtility.h"
#include "host/nmCryptoAgent.h"

#include <cstdio>
#include <new>

HINSTANCE g_hInstance = nullptr;
CCryptoAgent* g_pobjCryptoAgent = nullptr;

int ParseAndRespondRequest(const char* pszRequestMsg, std::string& strResponseMsg)
{
    TraceHelper scope(TEXT("ParseAndRespondRequest"));
    const char* pszFunction = "ParseAndRespondRequest";
    TraceNarrowValue(TRACE_FLAG_INFO, TEXT("pszRequestMsg"), pszRequestMsg);

    std::string strFuncName, strRandomId;
    JsonPtr pParams, pResponseJSON;
    int nResult = ParseRequestMsgToJSON(pszRequestMsg, &strFuncName, &pParams, &strRandomId);
    if (nResult != 0) {
        HOST_STEP_FAILED(pszFunction, "ParseRequestMsgToJSON", nResult, "QORA_OK != nResult");
    } else {
        HOST_STEP_OK(pszFunction, "ParseRequestMsgToJSON");
        try {
            nResult = Invoke(pResponseJSON, strFuncName.c_str(), pParams.get());
        } catch (const std::bad_alloc&) {
            // Without memory for the command's own answer the fixed text answers for it.
            pResponseJSON.reset();
            nResult = -1;
        }
        if (nResult != 0)
            HOST_STEP_FAILED(pszFunction, "Invoke", nResult, "QORA_OK != nResult");
        else
            HOST_STEP_OK(pszFunction, "Invoke");
    }

    // Every request that was read gets exactly one answer, also when it could not be parsed or named no command.
    ConvertJSONToResponseMsg(strFuncName.c_str(), strRandomId.c_str(), pResponseJSON.get(), &strResponseMsg);
    HOST_STEP_OK(pszFunction, "ConvertJSONToResponseMsg");
    return 0;
}

int MsgHandleProc()
{
    TraceHelper scope(TEXT("MsgHandleProc"));
    const char* pszFunction = "MsgHandleProc";

    for (;;) {
        std::string strRequestMsg, strResponseMsg;
        DWORD dwMsgLen = 0;
        int nResult = ReadFromNativeMessaging(&strRequestMsg, _fileno(stdin), &dwMsgLen);
        if (nResult != 0) {
            HOST_STEP_FAILED(pszFunction, "ReadFromNativeMessaging", nResult, "QORA_OK != nResult");
            return nResult;
        }
        HOST_STEP_OK(pszFunction, "ReadFromNativeMessaging");
        if (0 == dwMsgLen) {
            // The browser closed the pipe, or said that nothing more comes.
            HOST_STEP_OK(pszFunction, "No message");
            return 0;
        }
        TraceNarrowValue(TRACE_FLAG_INFO, TEXT("Request"), strRequestMsg.c_str());

        nResult = ParseAndRespondRequest(strRequestMsg.c_str(), strResponseMsg);
        HOST_STEP_OK(pszFunction, "ParseAndRespondRequest");
        if (strResponseMsg.empty()) {
            // Nothing may be written from an absent text: the loop ends as a failed transfer.
            HOST_STEP_FAILED(pszFunction, "WriteToNativeMessaging", -1, "NULL == pszResponseMsg");
            return -1;
        }
        TraceNarrowValue(TRACE_FLAG_INFO, TEXT("Response"), strResponseMsg.c_str());

        nResult = WriteToNativeMessaging(strResponseMsg.c_str(), _fileno(stdout));
        if (nResult != 0) {
            HOST_STEP_FAILED(pszFunction, "WriteToNativeMessaging", nResult, "QORA_OK != nResult");
            return nResult;
        }
        HOST_STEP_OK(pszFunction, "WriteToNativeMessaging");
    }
}

int wmain(int argc, WCHAR* argv[])
{
    (void)argc;
    (void)argv;
    TraceInitialize();
    int nExitCode = 0;
    {
        TraceHelper scope(TEXT("wmain"));
        const char* pszFunction = "wmain";
        nExitCode = [&]() -> int {
            g_hInstance = GetModuleHandleW(NULL);
            if (NULL == g_hInstance) {
                HOST_STEP_FAILED(pszFunction, "GetModuleHandleW", 0, "NULL == g_hInstance");
                return 0;
            }
            HOST_STEP_OK(pszFunction, "GetModuleHandleW");
            SetResourceModule(g_hInstance);

            g_pobjCryptoAgent = new (std::nothrow) CCryptoAgent();
            if (NULL == g_pobjCryptoAgent) {
                HOST_STEP_FAILED(pszFunction, "new CCryptoAgent", 0, "NULL == g_pobjCryptoAgent");
                return 0;
            }
            HOST_STEP_OK(pszFunction, "new CCryptoAgent");

            int nResult = SetTranslationMode();
            if (nResult != 0) {
                HOST_STEP_FAILED(pszFunction, "SetTranslationMode", nResult, "QORA_OK != nResult");
                return nResult;
            }
            HOST_STEP_OK(pszFunction, "SetTranslationMode");

            nResult = MsgHandleProc();
            if (nResult != 0)
                HOST_STEP_FAILED(pszFunction, "MsgHandleProc", nResult, "QORA_OK != nResult");
            else
                HOST_STEP_OK(pszFunction, "MsgHandleProc");
            return nResult;
        }();
        delete g_pobjCryptoAgent;
        g_pobjCryptoAgent = nullptr;
    }
    TraceUninitialize();
    return nExitCode;
}
