// The project's own command-line tools as the end-to-end tests run them: the inspector under Wine and the
// demo CA natively, each with its output collected from files (a pipe could be inherited by Wine's services).
#pragma once
#include "support/Json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bm {

struct ToolRun {
    int code = -1;
    std::string out, err;  // out without CR
    Json json;             // out parsed, discarded when it is not JSON
};

// inspector.exe of the Windows build under test.
::testing::AssertionResult RunInspector(const std::vector<std::string>& args, ToolRun& run);
// democa of this native build, with stdinText as its standard input.
::testing::AssertionResult RunDemoca(const std::vector<std::string>& args, const std::string& stdinText, ToolRun& run);

}  // namespace bm
