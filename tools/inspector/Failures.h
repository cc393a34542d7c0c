// tools/inspector/Failures.h — the failed step of a command and its code, with the code's text.
#pragma once
#include "Report.h"

#include <string>

namespace inspector {

struct Failure {
    std::string step;
    DWORD dwCode = 0;
};

// Records the step and its code (E_FAIL for none); false, so a command can return it.
bool Fail(Failure& failure, const char* pszStep, DWORD dwCode);
std::string ErrorText(DWORD dwCode);
Node ErrorNode(const Failure& failure);
Node ErrorNode(const char* pszStep, DWORD dwCode);

}  // namespace inspector
