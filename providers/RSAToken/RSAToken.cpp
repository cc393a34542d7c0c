// providers/RSAToken/RSAToken.cpp — the RSA USB-key stand-in: RSA keys of 512 to 4096 bits.
#include "TokenCommon.h"

const TokenProfile& ThisToken()
{
    static const TokenProfile profile = {TokenKind::RSA, "Software RSA Token CSP v1.0", TEXT("RSAToken")};
    return profile;
}
