// tools/inspector/Arguments.cpp — the command line: which command, with which options.
#include "Arguments.h"

#include "Text.h"

namespace inspector {

const char kUsage[] =
    "usage: inspector <command> [options] [--json]\n"
    "  providers                                  registered providers and their types\n"
    "  containers --csp NAME [--type N]           key containers, their keys and attached certificates\n"
    "  store [--name MY] [--machine]              a system store's certificates and key-provider links\n"
    "  sign --csp NAME --container NAME --spec 1|2 --hash sha1|sha256|sm3 --data HEX [--type N]\n"
    "                                             signs with a container's key; prints the signature\n"
    "                                             (big-endian, DER for SM2) and the public key info\n"
    "  delete --csp NAME --container NAME [--type N]   deletes one key container\n"
    "  add --name NAME [--machine] --file PATH    adds the certificates of a DER certificate or PKCS#7\n"
    "                                             bundle to a system store, and commits\n"
    "  remove --name NAME [--machine] --file PATH deletes the store's copies of those certificates, and commits\n"
    "--type defaults to 24 for the Microsoft Enhanced RSA and AES Cryptographic Provider, else 1.\n"
    "--json prints one JSON object on stdout. Exit codes: 0 done, 1 operation failed, 2 usage.\n";

namespace {

const std::vector<Command>& Commands()
{
    static const std::vector<Command> commands = {
        {TEXT("providers"), {}, {}, RunProviders},
        {TEXT("containers"), {TEXT("--csp")}, {TEXT("--type")}, RunContainers},
        {TEXT("store"), {}, {TEXT("--name"), TEXT("--machine")}, RunStore},
        {TEXT("sign"),
         {TEXT("--csp"), TEXT("--container"), TEXT("--spec"), TEXT("--hash"), TEXT("--data")},
         {TEXT("--type")},
         RunSign},
        {TEXT("delete"), {TEXT("--csp"), TEXT("--container")}, {TEXT("--type")}, RunDelete},
        {TEXT("add"), {TEXT("--name"), TEXT("--file")}, {TEXT("--machine")}, RunAdd},
        {TEXT("remove"), {TEXT("--name"), TEXT("--file")}, {TEXT("--machine")}, RunRemove},
    };
    return commands;
}

const std::vector<const WCHAR*> kValueOptions = {TEXT("--csp"),  TEXT("--type"), TEXT("--name"), TEXT("--container"),
                                                  TEXT("--spec"), TEXT("--hash"), TEXT("--data"), TEXT("--file")};

bool IsOneOf(const WString& wstr, const std::vector<const WCHAR*>& names)
{
    for (const WCHAR* pwsz : names)
        if (wstr == pwsz) return true;
    return false;
}

// The first usage error is the one reported.
ParsedArgs& UsageError(ParsedArgs& parsed, const std::string& error)
{
    if (parsed.outcome != ParseOutcome::Usage) parsed.error = error;
    parsed.outcome = ParseOutcome::Usage;
    return parsed;
}

// Checks the option values of a known command and stores them in the options.
ParsedArgs& ReadValues(ParsedArgs& parsed, const std::vector<std::pair<WString, WString>>& values)
{
    Options& opts = parsed.opts;
    for (const auto& [wstrOption, wstrValue] : values) {
        const std::string option = ToUtf8(wstrOption);
        if (wstrOption == TEXT("--machine")) {
            opts.bMachine = true;
        } else if (wstrOption == TEXT("--csp") || wstrOption == TEXT("--container") || wstrOption == TEXT("--name") ||
                   wstrOption == TEXT("--file")) {
            if (wstrValue.empty()) return UsageError(parsed, option + " needs a non-empty value");
            WString& wstrTarget = wstrOption == TEXT("--csp")         ? opts.wstrCSP
                                  : wstrOption == TEXT("--container") ? opts.wstrContainer
                                  : wstrOption == TEXT("--file")      ? opts.wstrFile
                                                                      : opts.wstrStoreName;
            wstrTarget = wstrValue;
        } else if (wstrOption == TEXT("--type")) {
            if (!ParseDecimal(wstrValue, 0xFFFFFFFF, opts.dwProvType) || opts.dwProvType == 0)
                return UsageError(parsed, "--type takes a positive decimal provider type");
        } else if (wstrOption == TEXT("--spec")) {
            if (!ParseDecimal(wstrValue, 2, opts.dwKeySpec) || opts.dwKeySpec == 0)
                return UsageError(parsed, "--spec takes 1 (AT_KEYEXCHANGE) or 2 (AT_SIGNATURE)");
        } else if (wstrOption == TEXT("--hash")) {
            if (HashOf(wstrValue) == nullptr) return UsageError(parsed, "--hash takes sha1, sha256 or sm3");
            opts.wstrHash = wstrValue;
        } else if (wstrOption == TEXT("--data")) {
            if (!ParseHex(wstrValue, opts.vecData) || opts.vecData.size() > 0x7FFFFFFF)
                return UsageError(parsed, "--data takes an even number of hexadecimal digits");
        }
    }
    return parsed;
}

}  // namespace

ParsedArgs ParseArguments(int argc, WCHAR** argv)
{
    ParsedArgs parsed;
    WString wstrCommand;
    bool bHelp = false;
    std::vector<std::pair<WString, WString>> values;
    for (int i = 1; i < argc; ++i) {
        const WString wstrArg = argv[i];
        if (wstrArg == TEXT("--json")) {
            parsed.opts.bJson = true;
        } else if (wstrArg == TEXT("--help") || wstrArg == TEXT("-h")) {
            bHelp = true;
        } else if (wstrArg == TEXT("--machine")) {
            values.emplace_back(wstrArg, WString());
        } else if (IsOneOf(wstrArg, kValueOptions)) {
            if (i + 1 < argc)
                values.emplace_back(wstrArg, argv[++i]);
            else
                UsageError(parsed, ToUtf8(wstrArg) + " needs a value");
        } else if (wstrArg.size() > 1 && wstrArg[0] == '-') {
            UsageError(parsed, "unknown option " + ToUtf8(wstrArg));
        } else if (wstrCommand.empty()) {
            wstrCommand = wstrArg;
        } else {
            UsageError(parsed, "unexpected argument " + ToUtf8(wstrArg));
        }
    }
    if (bHelp) {
        parsed.outcome = ParseOutcome::Help;
        return parsed;
    }
    if (parsed.outcome == ParseOutcome::Usage) return parsed;
    if (wstrCommand.empty()) return UsageError(parsed, "no command");
    for (const Command& command : Commands())
        if (wstrCommand == command.pwszName) parsed.pCommand = &command;
    if (parsed.pCommand == nullptr) return UsageError(parsed, "unknown command " + ToUtf8(wstrCommand));
    parsed.opts.wstrCommand = wstrCommand;
    const std::string command = ToUtf8(wstrCommand);
    for (size_t i = 0; i < values.size(); ++i) {
        const WString& wstrOption = values[i].first;
        if (!IsOneOf(wstrOption, parsed.pCommand->required) && !IsOneOf(wstrOption, parsed.pCommand->optional))
            return UsageError(parsed, ToUtf8(wstrOption) + " does not apply to " + command);
        for (size_t j = 0; j < i; ++j)
            if (values[j].first == wstrOption) return UsageError(parsed, ToUtf8(wstrOption) + " given twice");
    }
    for (const WCHAR* pwszRequired : parsed.pCommand->required) {
        bool bGiven = false;
        for (const auto& value : values) bGiven = bGiven || value.first == pwszRequired;
        if (!bGiven) return UsageError(parsed, command + " needs " + ToUtf8(pwszRequired));
    }
    return ReadValues(parsed, values);
}

}  // namespace inspector
