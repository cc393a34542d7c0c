// tools/npbrowser/BrowserFuncs.cpp — memory, identifiers and objects of the test browser, all counted so that a
// run can prove the plug-in leaves nothing behind.
#include "tools/npbrowser/BrowserFuncs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <type_traits>

namespace npbrowser {

namespace {

struct IdentifierRecord {
    std::string strName;
};

std::map<const void*, size_t> g_mapBlocks;
std::map<std::string, std::unique_ptr<IdentifierRecord>> g_mapIdentifiers;
std::set<const NPObject*> g_setObjects;
Accounting g_stAccounting;

void Misuse(const char* pszWhat)
{
    fprintf(stderr, "npbrowser: %s\n", pszWhat);
    ++g_stAccounting.nMisuses;
}

void* AllocateBlock(uint32_t cb)
{
    void* pv = malloc(cb != 0 ? cb : 1);
    if (pv != nullptr) g_mapBlocks[pv] = cb;
    return pv;
}

bool FreeBlock(void* pv)
{
    auto it = g_mapBlocks.find(pv);
    if (it == g_mapBlocks.end()) return false;
    g_mapBlocks.erase(it);
    free(pv);
    return true;
}

// ---- the functions the plug-in uses ----

void* MemAlloc(uint32_t size) { return AllocateBlock(size); }

void MemFree(void* ptr)
{
    if (ptr == nullptr) return;
    if (!FreeBlock(ptr)) {
        Misuse("NPN_MemFree of a block NPN_MemAlloc did not hand out");
        return;
    }
    ++g_stAccounting.nPluginMemFree;
}

NPIdentifier GetStringIdentifier(const NPUTF8* name)
{
    if (name == nullptr) return nullptr;
    return StringIdentifier(name);
}

// The copy belongs to the caller, who frees it with NPN_MemFree.
NPUTF8* UTF8FromIdentifier(NPIdentifier identifier)
{
    if (identifier == nullptr) return nullptr;
    const std::string& strName = static_cast<IdentifierRecord*>(identifier)->strName;
    auto* psz = static_cast<NPUTF8*>(AllocateBlock(static_cast<uint32_t>(strName.size() + 1)));
    if (psz != nullptr) memcpy(psz, strName.c_str(), strName.size() + 1);
    return psz;
}

NPObject* CreateObject(NPP npp, NPClass* aClass)
{
    if (aClass == nullptr) return nullptr;
    NPObject* pObject = aClass->allocate != nullptr ? aClass->allocate(npp, aClass)
                                                    : static_cast<NPObject*>(malloc(sizeof(NPObject)));
    if (pObject == nullptr) return nullptr;
    pObject->_class = aClass;
    pObject->referenceCount = 1;
    g_setObjects.insert(pObject);
    ++g_stAccounting.nObjectsCreated;
    return pObject;
}

NPObject* RetainObject(NPObject* obj)
{
    if (obj == nullptr) return nullptr;
    if (g_setObjects.count(obj) == 0) {
        Misuse("NPN_RetainObject of an object that is not alive");
        return obj;
    }
    ++obj->referenceCount;
    return obj;
}

void ReleaseObjectEntry(NPObject* obj) { ReleaseObject(obj); }

NPError GetValue(NPP, NPNVariable variable, void* value)
{
    fprintf(stderr, "npbrowser: NPN_GetValue(%d)\n", static_cast<int>(variable));
    if (value == nullptr) return NPERR_GENERIC_ERROR;
    switch (variable) {
    case NPNVjavascriptEnabledBool:
    case NPNVSupportsWindowless:
        *static_cast<NPBool*>(value) = 1;
        return NPERR_NO_ERROR;
    case NPNVisOfflineBool:
    case NPNVprivateModeBool:
        *static_cast<NPBool*>(value) = 0;
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}

// ---- everything else: logged, and answered with the entry's error value ----

template <typename R>
R ErrorAnswer()
{
    if constexpr (std::is_same_v<R, NPError>)
        return NPERR_GENERIC_ERROR;
    else if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else if constexpr (std::is_same_v<R, bool>)
        return false;
    else if constexpr (std::is_signed_v<R>)
        return -1;
    else
        return R{};
}

template <size_t N>
struct EntryName {
    constexpr EntryName(const char (&psz)[N])
    {
        for (size_t i = 0; i < N; ++i) sz[i] = psz[i];
    }
    char sz[N];
};

template <typename Fn, EntryName Name>
struct Unexpected;

template <typename R, typename... A, EntryName Name>
struct Unexpected<R (*)(A...), Name> {
    static R Call(A...)
    {
        fprintf(stderr, "npbrowser: the plug-in called %s\n", Name.sz);
        g_stAccounting.vecUnexpected.push_back(Name.sz);
        if constexpr (!std::is_void_v<R>) return ErrorAnswer<R>();
    }
};

#define UNEXPECTED(field) stFuncs.field = &Unexpected<decltype(stFuncs.field), "NPN_" #field>::Call

}  // namespace

void FillBrowserFuncs(NPNetscapeFuncs& stFuncs)
{
    stFuncs = {};
    stFuncs.size = sizeof(NPNetscapeFuncs);
    stFuncs.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    UNEXPECTED(geturl);
    UNEXPECTED(posturl);
    UNEXPECTED(requestread);
    UNEXPECTED(newstream);
    UNEXPECTED(write);
    UNEXPECTED(destroystream);
    UNEXPECTED(status);
    UNEXPECTED(uagent);
    stFuncs.memalloc = MemAlloc;
    stFuncs.memfree = MemFree;
    UNEXPECTED(memflush);
    UNEXPECTED(reloadplugins);
    UNEXPECTED(getJavaEnv);
    UNEXPECTED(getJavaPeer);
    UNEXPECTED(geturlnotify);
    UNEXPECTED(posturlnotify);
    stFuncs.getvalue = GetValue;
    UNEXPECTED(setvalue);
    UNEXPECTED(invalidaterect);
    UNEXPECTED(invalidateregion);
    UNEXPECTED(forceredraw);
    stFuncs.getstringidentifier = GetStringIdentifier;
    UNEXPECTED(getstringidentifiers);
    UNEXPECTED(getintidentifier);
    UNEXPECTED(identifierisstring);
    stFuncs.utf8fromidentifier = UTF8FromIdentifier;
    UNEXPECTED(intfromidentifier);
    stFuncs.createobject = CreateObject;
    stFuncs.retainobject = RetainObject;
    stFuncs.releaseobject = ReleaseObjectEntry;
    UNEXPECTED(invoke);
    UNEXPECTED(invokeDefault);
    UNEXPECTED(evaluate);
    UNEXPECTED(getproperty);
    UNEXPECTED(setproperty);
    UNEXPECTED(removeproperty);
    UNEXPECTED(hasproperty);
    UNEXPECTED(hasmethod);
    UNEXPECTED(releasevariantvalue);
    UNEXPECTED(setexception);
    UNEXPECTED(pushpopupsenabledstate);
    UNEXPECTED(poppopupsenabledstate);
    UNEXPECTED(enumerate);
    UNEXPECTED(pluginthreadasynccall);
    UNEXPECTED(construct);
    UNEXPECTED(getvalueforurl);
    UNEXPECTED(setvalueforurl);
    UNEXPECTED(getauthenticationinfo);
}

bool IsLiveBlock(const void* pv, size_t& cbBlock)
{
    auto it = g_mapBlocks.find(pv);
    if (it == g_mapBlocks.end()) return false;
    cbBlock = it->second;
    return true;
}

void ReleaseVariantValue(NPVariant& variant)
{
    if (variant.type == NPVariantType_String) {
        void* pv = const_cast<NPUTF8*>(variant.value.stringValue.UTF8Characters);
        if (pv != nullptr && !FreeBlock(pv)) Misuse("a String value in memory NPN_MemAlloc did not hand out");
    } else if (variant.type == NPVariantType_Object) {
        ReleaseObject(variant.value.objectValue);
    }
    variant = {};
    variant.type = NPVariantType_Void;
}

uint32_t ReferenceCountOf(const NPObject* pObject)
{
    return g_setObjects.count(pObject) != 0 ? pObject->referenceCount : 0;
}

void ReleaseObject(NPObject* pObject)
{
    if (pObject == nullptr) return;
    if (g_setObjects.count(pObject) == 0) {
        Misuse("NPN_ReleaseObject of an object that is not alive");
        return;
    }
    if (--pObject->referenceCount != 0) return;
    g_setObjects.erase(pObject);
    ++g_stAccounting.nObjectsDeallocated;
    if (pObject->_class != nullptr && pObject->_class->deallocate != nullptr)
        pObject->_class->deallocate(pObject);
    else
        free(pObject);
}

NPIdentifier StringIdentifier(const std::string& strName)
{
    std::unique_ptr<IdentifierRecord>& pRecord = g_mapIdentifiers[strName];
    if (!pRecord) pRecord.reset(new IdentifierRecord{strName});
    return pRecord.get();
}

const Accounting& CurrentAccounting()
{
    g_stAccounting.nLiveBlocks = g_mapBlocks.size();
    g_stAccounting.nLiveObjects = g_setObjects.size();
    return g_stAccounting;
}

}  // namespace npbrowser
