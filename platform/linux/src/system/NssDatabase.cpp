// platform/linux/src/system/NssDatabase.cpp — opening (or making) the NSS database once per process.
#include "NssDatabase.h"

#include <windows.h>
#include <wincrypt.h>

#include <nss.h>
#include <pk11pub.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

std::once_flag g_once;
bool g_bOpen = false;
std::string g_strDirectory;

std::string DirectoryFromEnvironment()
{
    const char* pszDb = getenv("BM_NSSDB");
    if (pszDb != nullptr && *pszDb != 0) {
        std::string str(pszDb);
        if (str.rfind("sql:", 0) == 0) str.erase(0, 4);
        return str;
    }
    const char* pszHome = getenv("HOME");
    return std::string(pszHome != nullptr && *pszHome != 0 ? pszHome : ".") + "/.pki/nssdb";
}

// mkdir -p, owner-only for the folders made here.
bool MakeFolders(const std::string& strPath)
{
    for (size_t pos = 1; pos <= strPath.size(); ++pos) {
        if (pos != strPath.size() && strPath[pos] != '/') continue;
        const std::string strPart = strPath.substr(0, pos);
        if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

void Open()
{
    g_strDirectory = DirectoryFromEnvironment();
    if (!MakeFolders(g_strDirectory)) return;
    const std::string strConfig = "sql:" + g_strDirectory;
    // Read-write, no root certificates module: the database is the user's own.
    if (NSS_Initialize(strConfig.c_str(), "", "", SECMOD_DB, NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE) !=
        SECSuccess)
        return;
    PK11SlotInfo* pSlot = PK11_GetInternalKeySlot();
    if (pSlot == nullptr) return;
    // A new database has no password yet: give it the empty one, as certutil -N --empty-password does.
    if (PK11_NeedUserInit(pSlot)) PK11_InitPin(pSlot, "", "");
    bool bReady = !PK11_NeedLogin(pSlot) || PK11_Authenticate(pSlot, PR_TRUE, nullptr) == SECSuccess;
    PK11_FreeSlot(pSlot);
    g_bOpen = bReady;
}

}  // namespace

bool NssDatabaseOpen()
{
    std::call_once(g_once, Open);
    if (!g_bOpen) SetLastError(static_cast<DWORD>(NTE_FAIL));
    return g_bOpen;
}

PK11SlotInfoStr* NssDatabaseSlot() { return NssDatabaseOpen() ? PK11_GetInternalKeySlot() : nullptr; }

const std::string& NssDatabaseDirectory()
{
    NssDatabaseOpen();
    return g_strDirectory;
}
