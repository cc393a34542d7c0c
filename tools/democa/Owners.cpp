// tools/democa/Owners.cpp
#include "Owners.h"

#include <openssl/err.h>

namespace democa {

std::string OpenSslErrors()
{
    std::string text;
    while (unsigned long error = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(error, line, sizeof(line));
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text.empty() ? "no OpenSSL error recorded" : text;
}

Status OpenSslFailure(const std::string& what) { return Status::Internal(what + " failed: " + OpenSslErrors()); }

}  // namespace democa
