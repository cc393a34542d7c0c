// platform/linux/src/system/NssDatabase.h — the one NSS database of the native build, where the providers
// keep their keys and crypt32 its certificates: BM_NSSDB (for tests) or sql:$HOME/.pki/nssdb, the database
// Chromium reads client certificates from. An empty one is made where none exists.
#pragma once
#include <string>

struct PK11SlotInfoStr;

// Opens the database once per process (read-write) and returns whether it is open. Every caller that
// touches keys or certificates asks first; a failure leaves the last error at NTE_FAIL.
bool NssDatabaseOpen();

// The database's key slot (the internal key token), with a reference the caller frees (PK11_FreeSlot);
// nullptr when the database is not open.
PK11SlotInfoStr* NssDatabaseSlot();

// The folder of the database (without "sql:"), for state that travels with it, such as the registry.
const std::string& NssDatabaseDirectory();
