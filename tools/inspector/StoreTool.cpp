// tools/inspector/StoreTool.cpp — what CryptoAPI holds, seen from outside the agent: the registered
// providers, a provider's key containers with their keys and attached certificates, a system store's
// certificates with their key-provider links; signing with a container's key proves that it holds the
// key of an issued certificate. Three explicit commands change state: one deletes a container, two add
// certificates to a system store or take them out (tests and the demo prepare stores with them); everything
// else only reads.
#include "Arguments.h"
#include "Text.h"

#include <cstdio>
#include <string>

using namespace inspector;

namespace {

void WriteOut(FILE* pStream, const std::string& text)
{
    fwrite(text.data(), 1, text.size(), pStream);
    fflush(pStream);
}

}  // namespace

int wmain(int argc, WCHAR** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    ParsedArgs parsed = ParseArguments(argc, argv);
    if (parsed.outcome == ParseOutcome::Help) {
        WriteOut(stdout, kUsage);
        return 0;
    }
    if (parsed.outcome == ParseOutcome::Usage) {
        WriteOut(stderr, "inspector: " + parsed.error + "\n" + kUsage);
        return 2;
    }
    const Options& opts = parsed.opts;
    Node report = Node::Map();
    report.Add("command", Node::Text(ToUtf8(opts.wstrCommand)));
    Failure failure;
    const bool bDone = parsed.pCommand->pfnRun(opts, report, failure);
    if (!bDone) {
        if (opts.bJson) {
            Node error = Node::Map();
            error.Add("command", Node::Text(ToUtf8(opts.wstrCommand)));
            error.Add("error", ErrorNode(failure));
            report = std::move(error);
        } else {
            WriteOut(stderr, "inspector " + ToUtf8(opts.wstrCommand) + ": " + failure.step + " failed: " +
                                 HexDword(failure.dwCode, 8) + " " + ErrorText(failure.dwCode) + "\n");
            return 1;
        }
    }
    std::string out;
    if (opts.bJson) {
        AppendJson(report, out);
        out += "\n";
    } else {
        AppendTextMap(report, 0, out);
    }
    WriteOut(stdout, out);
    return bDone ? 0 : 1;
}
