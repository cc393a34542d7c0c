// tools/inspector/Text.h — text conversions, hexadecimal and decimal options, byte order.
#pragma once
#include "Brindlemark/Common.h"

#include <string>

namespace inspector {

std::string ToUtf8(const WCHAR* pwsz, size_t cch);
std::string ToUtf8(const WString& wstr);
std::string ToUtf8(const WCHAR* pwsz);
// Container names come back as narrow text: UTF-8 when they are valid UTF-8, the ANSI code page otherwise.
WString FromNarrow(const char* psz, size_t cb);
bool EqualsIgnoringCase(const WString& wstr, const WCHAR* pwsz);
bool Contains(const WString& wstr, const WCHAR* pwszPart);
std::string Hex(const BYTE* pb, size_t cb);
std::string Hex(const ByteBuffer& vec);
std::string HexDword(DWORD dw, int cDigits);
bool ParseHex(const WString& wstr, ByteBuffer& vec);
bool ParseDecimal(const WString& wstr, DWORD dwMax, DWORD& dwValue);
ByteBuffer Reversed(const BYTE* pb, size_t cb);

}  // namespace inspector
