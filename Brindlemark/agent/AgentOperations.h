// Brindlemark/agent/AgentOperations.h — the agent's operations as both front ends offer them: per operation its
// name, the arguments it takes by position, whether it answers a flag or a text, and the agent call. The host
// and the plug-in keep only their value conversions and the trace texts and codes each emits; a new operation
// is one row here.
#pragma once
#include "Common.h"
#include "agent/CryptoAgent.h"

#include <array>
#include <span>

// A text argument reaches the agent as a BSTR, a number as a LONG; neither is taken for the other.
enum class OperationArgumentKind { Text, Number };

struct OperationArgument {
    OperationArgumentKind eKind;
    const WCHAR* pwszName;  // the argument's name in the front ends' step labels
};

// The most arguments any operation takes.
constexpr size_t kMaxOperationArguments = 4;

// One call's arguments by position: a text position holds its BSTR, a number position its LONG.
struct OperationArguments {
    std::array<BString, kMaxOperationArguments> abstrText;
    std::array<LONG, kMaxOperationArguments> alNumber = {};

    BSTR Text(size_t nIndex) const { return abstrText[nIndex].get(); }
    LONG Number(size_t nIndex) const { return alNumber[nIndex]; }
};

using FlagCall = HRESULT (*)(CCryptoAgent& agent, const OperationArguments& args, VARIANT_BOOL* pbOutcome);
using TextCall = HRESULT (*)(CCryptoAgent& agent, const OperationArguments& args, BSTR* pbstrOutcome);

struct AgentOperation {
    const char* pszName;    // the name a page calls, exactly
    const WCHAR* pwszName;  // the same, for traces
    std::span<const OperationArgument> arguments;
    bool bHostCommand;      // the host offers it too (the chain check is the plug-in's alone)
    FlagCall pfnFlag;       // exactly one of the two calls is set
    TextCall pfnText;
};

// Every operation, in the order the plug-in tests names.
constexpr size_t kAgentOperationCount = 12;
std::span<const AgentOperation> AgentOperations();
