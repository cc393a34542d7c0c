// tools/npbrowser/BrowserSession.cpp — instances, scriptable objects and scripted calls, each step answered as
// one JSON line.
#include "tools/npbrowser/BrowserSession.h"

#include "tools/npbrowser/AllocationCounter.h"
#include "tools/npbrowser/BrowserFuncs.h"

#include <cstring>
#include <vector>

namespace npbrowser {

struct BrowserSession::Embedding {
    NPP_t npp = {};
    NPObject* pObject = nullptr;  // the page's view of the scriptable object
    uint32_t nPageReferences = 0;
};

namespace {

constexpr size_t kMaxScriptLine = 1 << 20;

struct JsonDeleter {
    void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

const char* KindName(NPVariantType eType)
{
    switch (eType) {
    case NPVariantType_Void: return "Void";
    case NPVariantType_Null: return "Null";
    case NPVariantType_Bool: return "Bool";
    case NPVariantType_Int32: return "Int32";
    case NPVariantType_Double: return "Double";
    case NPVariantType_String: return "String";
    case NPVariantType_Object: return "Object";
    }
    return "Unknown";
}

// A script value: an object with one member named for its kind, {"Int32":5}, {"String":"x"}, {"Null":null},
// or {"StringHex":"52534100"} for a String of any bytes.
// Strings point into storage that outlives the call.
bool ReadVariant(const cJSON* pItem, std::vector<std::string>& vecStorage, NPVariant& variant)
{
    variant = {};
    if (!cJSON_IsObject(pItem) || pItem->child == nullptr || pItem->child->next != nullptr) return false;
    const cJSON* pValue = pItem->child;
    const std::string strKind = pValue->string != nullptr ? pValue->string : "";
    if (strKind == "Void") {
        variant.type = NPVariantType_Void;
    } else if (strKind == "Null") {
        variant.type = NPVariantType_Null;
    } else if (strKind == "Bool" && cJSON_IsBool(pValue)) {
        variant.type = NPVariantType_Bool;
        variant.value.boolValue = cJSON_IsTrue(pValue);
    } else if (strKind == "Int32" && cJSON_IsNumber(pValue)) {
        variant.type = NPVariantType_Int32;
        variant.value.intValue = pValue->valueint;
    } else if (strKind == "Double" && cJSON_IsNumber(pValue)) {
        variant.type = NPVariantType_Double;
        variant.value.doubleValue = pValue->valuedouble;
    } else if (strKind == "String" && cJSON_IsString(pValue)) {
        vecStorage.emplace_back(pValue->valuestring);
        variant.type = NPVariantType_String;
        variant.value.stringValue.UTF8Characters = vecStorage.back().c_str();
        variant.value.stringValue.UTF8Length = static_cast<uint32_t>(vecStorage.back().size());
    } else if (strKind == "StringHex" && cJSON_IsString(pValue)) {
        // Bytes a JSON text cannot carry through a C string, U+0000 among them, as hexadecimal pairs.
        std::string strBytes;
        const std::string strHex = pValue->valuestring;
        if (strHex.size() % 2 != 0 || strHex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        for (size_t i = 0; i < strHex.size(); i += 2)
            strBytes.push_back(static_cast<char>(std::stoi(strHex.substr(i, 2), nullptr, 16)));
        vecStorage.push_back(std::move(strBytes));
        variant.type = NPVariantType_String;
        variant.value.stringValue.UTF8Characters = vecStorage.back().data();
        variant.value.stringValue.UTF8Length = static_cast<uint32_t>(vecStorage.back().size());
    } else {
        return false;
    }
    return true;
}

// {"type":kind,"value":...}; a String also says whether it lives in a block from NPN_MemAlloc of exactly its
// length plus the terminating zero.
cJSON* DescribeVariant(const NPVariant& variant)
{
    cJSON* pJSON = cJSON_CreateObject();
    cJSON_AddStringToObject(pJSON, "type", KindName(variant.type));
    switch (variant.type) {
    case NPVariantType_Bool:
        cJSON_AddBoolToObject(pJSON, "value", variant.value.boolValue);
        break;
    case NPVariantType_Int32:
        cJSON_AddNumberToObject(pJSON, "value", variant.value.intValue);
        break;
    case NPVariantType_Double:
        cJSON_AddNumberToObject(pJSON, "value", variant.value.doubleValue);
        break;
    case NPVariantType_String: {
        const NPString& str = variant.value.stringValue;
        size_t cbBlock = 0;
        const bool bBlock = IsLiveBlock(str.UTF8Characters, cbBlock) && cbBlock == str.UTF8Length + size_t{1} &&
                            str.UTF8Characters[str.UTF8Length] == 0;
        cJSON_AddItemToObject(pJSON, "value",
                              cJSON_CreateString(bBlock ? std::string(str.UTF8Characters, str.UTF8Length).c_str() : ""));
        cJSON_AddBoolToObject(pJSON, "memAlloc", bBlock);
        break;
    }
    default:
        break;
    }
    return pJSON;
}

std::string MemberText(const cJSON* pLine, const char* pszName, const char* pszDefault)
{
    const cJSON* pItem = cJSON_GetObjectItemCaseSensitive(pLine, pszName);
    return cJSON_IsString(pItem) ? pItem->valuestring : pszDefault;
}

}  // namespace

void PrintLine(cJSON* pJSON)
{
    JsonPtr pOwner(pJSON);
    char* psz = cJSON_PrintUnformatted(pJSON);
    if (psz == nullptr) return;
    fputs(psz, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    cJSON_free(psz);
}

BrowserSession::BrowserSession(const NPPluginFuncs& stPluginFuncs, std::string strMIMEType)
    : m_stPluginFuncs(stPluginFuncs), m_strMIMEType(std::move(strMIMEType))
{
}

BrowserSession::~BrowserSession() { DestroyAll(); }

BrowserSession::Embedding* BrowserSession::EmbeddingOf(int nInstance, bool bCreate)
{
    auto it = m_mapEmbeddings.find(nInstance);
    if (it != m_mapEmbeddings.end()) return it->second.get();
    if (!bCreate) return nullptr;

    auto pEmbedding = std::make_unique<Embedding>();
    std::vector<char> vecType(m_strMIMEType.begin(), m_strMIMEType.end());
    vecType.push_back(0);
    const NPError errNew = m_stPluginFuncs.newp(vecType.data(), &pEmbedding->npp, NP_EMBED, 0, nullptr, nullptr, nullptr);
    cJSON* pLine = cJSON_CreateObject();
    cJSON_AddStringToObject(pLine, "event", "NPP_New");
    cJSON_AddNumberToObject(pLine, "instance", nInstance);
    cJSON_AddNumberToObject(pLine, "npError", errNew);
    PrintLine(pLine);
    if (errNew != NPERR_NO_ERROR) return nullptr;

    NPObject* pObject = nullptr;
    const NPError errValue = m_stPluginFuncs.getvalue(&pEmbedding->npp, NPPVpluginScriptableNPObject, &pObject);
    pLine = cJSON_CreateObject();
    cJSON_AddStringToObject(pLine, "event", "NPPVpluginScriptableNPObject");
    cJSON_AddNumberToObject(pLine, "instance", nInstance);
    cJSON_AddNumberToObject(pLine, "npError", errValue);
    cJSON_AddNumberToObject(pLine, "references", ReferenceCountOf(pObject));
    PrintLine(pLine);
    if (errValue == NPERR_NO_ERROR && pObject != nullptr) {
        pEmbedding->pObject = pObject;
        pEmbedding->nPageReferences = 1;
    }
    Embedding* pRaw = pEmbedding.get();
    m_mapEmbeddings[nInstance] = std::move(pEmbedding);
    return pRaw;
}

void BrowserSession::Destroy(int nInstance, bool bReport)
{
    auto it = m_mapEmbeddings.find(nInstance);
    if (it == m_mapEmbeddings.end()) return;
    std::unique_ptr<Embedding> pEmbedding = std::move(it->second);
    m_mapEmbeddings.erase(it);

    const NPError errDestroy = m_stPluginFuncs.destroy(&pEmbedding->npp, nullptr);
    // After the plug-in let go of its own reference the page's are the last ones.
    const uint32_t nLeftAfterDestroy = ReferenceCountOf(pEmbedding->pObject);
    for (uint32_t n = 0; n < pEmbedding->nPageReferences; ++n) ReleaseObject(pEmbedding->pObject);
    const bool bFreed = pEmbedding->pObject == nullptr || ReferenceCountOf(pEmbedding->pObject) == 0;
    if (!bReport) return;
    cJSON* pLine = cJSON_CreateObject();
    cJSON_AddStringToObject(pLine, "event", "NPP_Destroy");
    cJSON_AddNumberToObject(pLine, "instance", nInstance);
    cJSON_AddNumberToObject(pLine, "npError", errDestroy);
    cJSON_AddNumberToObject(pLine, "pageReferences", pEmbedding->nPageReferences);
    cJSON_AddNumberToObject(pLine, "referencesAfterDestroy", nLeftAfterDestroy);
    cJSON_AddBoolToObject(pLine, "objectFreed", bFreed);
    PrintLine(pLine);
}

void BrowserSession::DestroyAll()
{
    while (!m_mapEmbeddings.empty()) Destroy(m_mapEmbeddings.begin()->first, true);
}

int BrowserSession::RunScript(FILE* pInput)
{
    int nFailures = 0;
    std::vector<char> vecLine(kMaxScriptLine);
    for (int nLine = 1; fgets(vecLine.data(), static_cast<int>(vecLine.size()), pInput) != nullptr; ++nLine) {
        std::string strLine(vecLine.data());
        while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r')) strLine.pop_back();
        if (strLine.empty() || strLine[0] == '#') continue;

        cJSON* pAnswer = cJSON_CreateObject();
        cJSON_AddNumberToObject(pAnswer, "line", nLine);
        JsonPtr pStep(cJSON_Parse(strLine.c_str()));
        const cJSON* pInstance = cJSON_GetObjectItemCaseSensitive(pStep.get(), "instance");
        if (!cJSON_IsObject(pStep.get()) || (pInstance != nullptr && !cJSON_IsNumber(pInstance))) {
            cJSON_AddStringToObject(pAnswer, "error", "not a script step");
            PrintLine(pAnswer);
            ++nFailures;
            continue;
        }
        const int nInstance = pInstance != nullptr ? pInstance->valueint : 0;
        const std::string strOp = MemberText(pStep.get(), "op", "invoke");
        const std::string strName = MemberText(pStep.get(), "method", "");
        cJSON_AddNumberToObject(pAnswer, "instance", nInstance);
        cJSON_AddStringToObject(pAnswer, "op", strOp.c_str());
        if (!strName.empty()) cJSON_AddStringToObject(pAnswer, "method", strName.c_str());

        if (strOp == "destroy") {
            PrintLine(pAnswer);
            Destroy(nInstance, true);
            continue;
        }
        Embedding* pEmbedding = EmbeddingOf(nInstance, true);
        NPObject* pObject = pEmbedding != nullptr ? pEmbedding->pObject : nullptr;
        if (pObject == nullptr || pObject->_class == nullptr) {
            cJSON_AddStringToObject(pAnswer, "error", "no scriptable object");
            PrintLine(pAnswer);
            ++nFailures;
            continue;
        }

        std::vector<std::string> vecStorage;
        std::vector<NPVariant> vecArgs;
        const cJSON* pArgs = cJSON_GetObjectItemCaseSensitive(pStep.get(), "args");
        bool bArgsRead = pArgs == nullptr || cJSON_IsArray(pArgs);
        vecStorage.reserve(static_cast<size_t>(cJSON_GetArraySize(pArgs)));
        for (const cJSON* pArg = pArgs != nullptr ? pArgs->child : nullptr; bArgsRead && pArg != nullptr;
             pArg = pArg->next) {
            NPVariant variant;
            bArgsRead = ReadVariant(pArg, vecStorage, variant);
            vecArgs.push_back(variant);
        }
        if (!bArgsRead) {
            cJSON_AddStringToObject(pAnswer, "error", "unreadable argument");
            PrintLine(pAnswer);
            ++nFailures;
            continue;
        }

        const NPClass* pClass = pObject->_class;
        const NPIdentifier name = StringIdentifier(strName);
        const uint32_t argCount = static_cast<uint32_t>(vecArgs.size());
        const NPVariant* args = vecArgs.empty() ? nullptr : vecArgs.data();
        NPVariant result = {};
        result.type = NPVariantType_Void;
        bool bReturned = false;
        bool bHasResult = true;
        if (strOp == "invoke" && pClass->invoke != nullptr) {
            bReturned = pClass->invoke(pObject, name, args, argCount, &result);
        } else if (strOp == "invokeDefault" && pClass->invokeDefault != nullptr) {
            bReturned = pClass->invokeDefault(pObject, args, argCount, &result);
        } else if (strOp == "hasMethod" && pClass->hasMethod != nullptr) {
            bReturned = pClass->hasMethod(pObject, name);
            bHasResult = false;
        } else if (strOp == "hasProperty" && pClass->hasProperty != nullptr) {
            bReturned = pClass->hasProperty(pObject, name);
            bHasResult = false;
        } else if (strOp == "getProperty" && pClass->getProperty != nullptr) {
            bReturned = pClass->getProperty(pObject, name, &result);
        } else if (strOp == "setProperty" && pClass->setProperty != nullptr && argCount == 1) {
            bReturned = pClass->setProperty(pObject, name, &vecArgs[0]);
            bHasResult = false;
        } else if (strOp == "scriptable") {
            // The page asks again: the same object with one more reference.
            NPObject* pAgain = nullptr;
            const NPError err = m_stPluginFuncs.getvalue(&pEmbedding->npp, NPPVpluginScriptableNPObject, &pAgain);
            if (err == NPERR_NO_ERROR && pAgain != nullptr) ++pEmbedding->nPageReferences;
            bReturned = err == NPERR_NO_ERROR && pAgain == pObject;
            cJSON_AddNumberToObject(pAnswer, "references", ReferenceCountOf(pObject));
            bHasResult = false;
        } else {
            cJSON_AddStringToObject(pAnswer, "error", "unknown op");
            PrintLine(pAnswer);
            ++nFailures;
            continue;
        }

        cJSON_AddBoolToObject(pAnswer, "returned", bReturned);
        if (bHasResult) cJSON_AddItemToObject(pAnswer, "result", DescribeVariant(result));
        bool bAsExpected = true;
        const cJSON* pExpectReturned = cJSON_GetObjectItemCaseSensitive(pStep.get(), "returns");
        if (cJSON_IsBool(pExpectReturned)) bAsExpected = bAsExpected && cJSON_IsTrue(pExpectReturned) == bReturned;
        const std::string strExpectKind = MemberText(pStep.get(), "expect", "");
        if (!strExpectKind.empty()) bAsExpected = bAsExpected && strExpectKind == KindName(result.type);
        if (cJSON_IsBool(pExpectReturned) || !strExpectKind.empty()) cJSON_AddBoolToObject(pAnswer, "asExpected", bAsExpected);
        if (!bAsExpected) ++nFailures;
        ReleaseVariantValue(result);
        PrintLine(pAnswer);
    }
    return nFailures;
}

bool BrowserSession::RunCycles(int nCycles)
{
    constexpr int kWarmUpCycles = 10;
    int nFailedCycles = 0;
    long long llAfterWarmUp = 0;
    const NPIdentifier nameDesc = StringIdentifier("GetLastErrorDesc");
    const NPIdentifier nameProperty = StringIdentifier("version");
    std::vector<char> vecType(m_strMIMEType.begin(), m_strMIMEType.end());
    vecType.push_back(0);
    for (int nCycle = 0; nCycle < nCycles; ++nCycle) {
        if (nCycle == kWarmUpCycles) llAfterWarmUp = LiveAllocations();
        NPP_t npp = {};
        if (m_stPluginFuncs.newp(vecType.data(), &npp, NP_EMBED, 0, nullptr, nullptr, nullptr) != NPERR_NO_ERROR) {
            ++nFailedCycles;
            continue;
        }
        NPObject* pFirst = nullptr;
        NPObject* pSecond = nullptr;
        m_stPluginFuncs.getvalue(&npp, NPPVpluginScriptableNPObject, &pFirst);
        m_stPluginFuncs.getvalue(&npp, NPPVpluginScriptableNPObject, &pSecond);
        bool bGood = pFirst != nullptr && pFirst == pSecond && ReferenceCountOf(pFirst) == 3;
        if (pFirst != nullptr) {
            NPVariant result = {};
            result.type = NPVariantType_Void;
            bGood = pFirst->_class->invoke(pFirst, nameDesc, nullptr, 0, &result) &&
                    result.type == NPVariantType_String && bGood;
            ReleaseVariantValue(result);
            bGood = !pFirst->_class->hasProperty(pFirst, nameProperty) && bGood;
        }
        bGood = m_stPluginFuncs.destroy(&npp, nullptr) == NPERR_NO_ERROR && bGood;
        bGood = (pFirst == nullptr || ReferenceCountOf(pFirst) == 2) && bGood;
        ReleaseObject(pFirst);
        ReleaseObject(pSecond);
        bGood = (pFirst == nullptr || ReferenceCountOf(pFirst) == 0) && bGood;
        if (!bGood) ++nFailedCycles;
    }
    const long long llAtEnd = LiveAllocations();
    const Accounting& stAccounting = CurrentAccounting();
    cJSON* pLine = cJSON_CreateObject();
    cJSON_AddNumberToObject(pLine, "cycles", nCycles);
    cJSON_AddNumberToObject(pLine, "failedCycles", nFailedCycles);
    cJSON_AddNumberToObject(pLine, "liveBlocks", static_cast<double>(stAccounting.nLiveBlocks));
    cJSON_AddNumberToObject(pLine, "liveObjects", static_cast<double>(stAccounting.nLiveObjects));
    if (nCycles > kWarmUpCycles)
        cJSON_AddNumberToObject(pLine, "heapBlocksGrowth", static_cast<double>(llAtEnd - llAfterWarmUp));
    PrintLine(pLine);
    return nFailedCycles == 0;
}

}  // namespace npbrowser
