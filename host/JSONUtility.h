// host/JSONUtility.h — the request and response envelope: taking a request apart, reading its arguments,
// building and printing the response, and the fixed error texts used when no response object exists.
#pragma once
#include <windows.h>

#include <cJSON.h>

#include <memory>
#include <string>
#include <string_view>

struct JsonDeleter {
    void operator()(cJSON* pJson) const { cJSON_Delete(pJson); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Value kinds of ConstructResponseJSON.
constexpr int JSON_VALUE_FALSE = 0;   // boolean: the value is one byte, non-zero is true
constexpr int JSON_VALUE_TRUE = 1;    // boolean, as above
constexpr int JSON_VALUE_DOUBLE = 3;  // double
constexpr int JSON_VALUE_TEXT = 4;    // zero-terminated UTF-8 text
constexpr int JSON_VALUE_INT = 7;     // signed 32-bit integer

// The code every fixed error text carries (0x8009002D).
constexpr int JSON_FIXED_ERRORCODE = static_cast<int>(0x8009002D);

// Request text -> function name, detached copy of "params", "randomId" (empty when absent). Every
// out-parameter may be absent; none is written unless the whole request could be taken apart.
// 0; 87 for absent or empty text; -1 when it is not JSON or a required member is missing or mistyped.
int ParseRequestMsgToJSON(const char* pszRequestMsg, std::string* pstrFuncName, JsonPtr* ppParams,
                          std::string* pstrRandomId);

// Argument nIndex (from 0) as text or as integer: the child itself or its member "param".
// 0; 87 for absent arguments or an index outside them; 0xA0073204 for the wrong JSON type.
int ConverJSONArrayItemtoNULLEndString(const cJSON* pJSONArgs, int nIndex, std::string& strValue);
int ConverJSONArrayItemtoint(const cJSON* pJSONArgs, int nIndex, int& nValue);

// Response object {"function", "errorcode", "result"}; "result" is false whenever nErrorCode is not 0,
// absent when pValue is. 0; 87 for an absent or empty name; 0xA0073202 if the object cannot be made;
// -1 for an unknown value kind.
int ConstructResponseJSON(JsonPtr& pResponseJSON, const char* pszFuncName, int nErrorCode, int nValueKind,
                          const void* pValue);

// The response text: the object with "randomId" added last when a token was given, or without an object
// the fixed error text. Always 0. The text is empty only if no memory could be had for any of it.
int ConvertJSONToResponseMsg(const char* pszFuncName, const char* pszRandomId, cJSON* pResponseJSON,
                             std::string* pstrResponseMsg);

// The text with each ill-formed UTF-8 sequence replaced by U+FFFD (EF BF BD), one for each maximal subpart
// (overlongs, encoded surrogates, code points above U+10FFFF, cut sequences); well-formed text is unchanged.
// Every text an answer echoes passes through it, so the browser never meets an answer that is not UTF-8.
std::string ScrubUtf8(std::string_view svText);
