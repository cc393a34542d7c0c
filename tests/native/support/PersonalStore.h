// The personal certificate store (MY) of a prefix, through bench/win/PersonalStore.exe under Wine:
// emptied for a test's clean start, filled for a benchmark. The prefix's Wine must be running already.
#pragma once
#include <string>

#include "support/HostProcess.h"

namespace bm {

// Removes every certificate from MY, of the user and of the machine.
bool ClearPersonalStore(const Env& env, std::string& error);
// Adds the certificates of a list file (lines "<container or -> <Base64 DER>") to the user's MY, those with
// a container linked to it in the provider named.
bool FillPersonalStore(const Env& env, const std::string& listPath, const std::string& provider, std::string& error);
// The platform's steps of an inventory of MY for that provider, timed inside Wine: one line of JSON.
bool TimePersonalStorePhases(const Env& env, const std::string& provider, std::string& json, std::string& error);

}  // namespace bm
