// tools/inspector/Arguments.h — the command line: which command, with which options.
#pragma once
#include "Commands.h"

#include <string>
#include <vector>

namespace inspector {

extern const char kUsage[];

struct Command {
    const WCHAR* pwszName;
    std::vector<const WCHAR*> required;
    std::vector<const WCHAR*> optional;
    bool (*pfnRun)(const Options&, Node&, Failure&);
};

enum class ParseOutcome { Run, Help, Usage };

struct ParsedArgs {
    ParseOutcome outcome = ParseOutcome::Run;
    std::string error;
    const Command* pCommand = nullptr;
    Options opts;
};

// --help anywhere wins over every usage error; otherwise the first usage error ends the parse.
ParsedArgs ParseArguments(int argc, WCHAR** argv);

}  // namespace inspector
