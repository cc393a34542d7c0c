// providers/SM2Token/SM2Token.cpp — the SM2 USB-key stand-in: SM2 keys of 256 bits, SM3 hashing.
#include "TokenCommon.h"

const TokenProfile& ThisToken()
{
    static const TokenProfile profile = {TokenKind::SM2, "Software SM2 Token CSP v1.0", TEXT("SM2Token")};
    return profile;
}
