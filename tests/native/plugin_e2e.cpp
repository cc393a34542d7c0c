// The plug-in as a browser uses it: npbrowser.exe loads npKestrovan.dll under Wine and drives its scriptable
// objects from a script; its JSON lines are checked here. Whole enrolments run through one embedding with the demo
// CA's answers. Then one kept session runs through both front ends, the host over its pipes and the plug-in
// through npbrowser, and the outcomes are compared row by row.
#include "support/HostSession.h"
#include "support/Json.h"
#include "support/KeyContainers.h"
#include "support/Tools.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>

namespace bm {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitPlugin = 4;

std::string ScriptOf(const std::vector<Json>& steps)
{
    std::string script;
    for (const Json& step : steps) script += step.dump() + "\n";
    return script;
}

Json Invoke(int instance, const std::string& method, Json args = Json::array())
{
    return {{"instance", instance}, {"method", method}, {"args", std::move(args)}};
}

Json Op(int instance, const std::string& op, const std::string& name = {}, Json args = Json::array())
{
    Json step = {{"instance", instance}, {"op", op}, {"args", std::move(args)}};
    if (!name.empty()) step["method"] = name;
    return step;
}

Json Str(const std::string& text) { return {{"String", text}}; }
Json Int(int value) { return {{"Int32", value}}; }
Json Dbl(double value) { return {{"Double", value}}; }

// The answer to step n (counting from 1) of a script.
const Json* AnswerTo(const std::vector<Json>& lines, int step)
{
    for (const Json& line : lines)
        if (line.is_object() && line.contains("line") && line["line"] == step) return &line;
    return nullptr;
}

const Json* EventOf(const std::vector<Json>& lines, const std::string& event, int instance)
{
    for (const Json& line : lines)
        if (line.is_object() && line.value("event", "") == event && line.value("instance", -1) == instance) return &line;
    return nullptr;
}

const Json* SummaryOf(const std::vector<Json>& lines)
{
    for (const Json& line : lines)
        if (line.is_object() && line.contains("summary")) return &line["summary"];
    return nullptr;
}

void ExpectNothingLeftOver(const std::vector<Json>& lines)
{
    const Json* summary = SummaryOf(lines);
    ASSERT_NE(summary, nullptr) << "no summary line";
    EXPECT_EQ((*summary)["liveBlocks"], 0);
    EXPECT_EQ((*summary)["liveObjects"], 0);
    EXPECT_EQ((*summary)["misuses"], 0);
    EXPECT_EQ((*summary)["unexpectedCalls"], Json::array());
}

const char kBase[] = "Microsoft Base Cryptographic Provider v1.0";
const char kEnhanced[] = "Microsoft Enhanced Cryptographic Provider v1.0";
const char kKeyLengthText[] = "Key length is not supported.\n(0xa0072400)";
const char kKeyAlgorithmText[] = "Invalid key algorithm.\n(0xa0072401)";
const char kSuccessSuffix[] = "\n(0x00000000)";

// What a step must answer: the flag returned, the kind of result, and the text of a String (whole, or its end).
struct MethodCase {
    Json step;
    bool returns;
    std::string kind;
    std::optional<std::string> text = std::nullopt;
    bool textIsSuffix = false;
};

TEST(Plugin, MethodTableAnswersAsItsRulesSay)
{
    const std::vector<MethodCase> cases = {
        // An agent refusal, and the text it leaves for the page.
        {Invoke(0, "QORA_SetCSPInfo", {Int(2048), Str(kBase)}), false, "Bool"},
        {Invoke(0, "GetLastErrorDesc"), true, "String", kKeyLengthText},
        // Argument refusals never reach the agent: its last result stays the refusal above.
        {Invoke(0, "QORA_GetContainer", {Int(1)}), false, "Null"},
        {Invoke(0, "QORA_SetKeyAlgorithm"), false, "Bool"},
        {Invoke(0, "QORA_SetCSPInfo", {Str("2048"), Str(kEnhanced)}), false, "Bool"},
        {Invoke(0, "QORA_GetCSPInfo", {Str("extra")}), false, "Null"},
        // A String holding U+0000 would reach the agent cut short ("RSA"): it is refused like a wrong type.
        {Invoke(0, "QORA_SetKeyAlgorithm", {Json{{"StringHex", "52534100534d32"}}}), false, "Bool"},
        {Invoke(0, "GetLastErrorDesc", {Int(0)}), false, "Null"},
        {Invoke(0, "GetLastErrorDesc"), true, "String", kKeyLengthText},
        // 2048.9 reaches the agent as 2048; rounded to 2049 the Microsoft provider's rule would refuse it.
        {Invoke(0, "QORA_SetCSPInfo", {Dbl(2048.9), Str(kEnhanced)}), true, "Bool"},
        {Invoke(0, "QORA_SetCSPInfo", {Dbl(1024.99), Str(kBase)}), true, "Bool"},
        // Names are exact; the host's extra commands are not methods here.
        {Op(0, "hasMethod", "QORA_SetCSPInfo"), true, "Void"},
        {Op(0, "hasMethod", "qora_setcspinfo"), false, "Void"},
        {Op(0, "hasMethod", "QORA_GetVersion"), false, "Void"},
        {Op(0, "hasMethod", "checkHost"), false, "Void"},
        {Invoke(0, "getlasterrordesc"), false, "Void"},
        {Op(0, "invokeDefault", "", {Int(5)}), true, "String", "default method return val"},
        {Op(0, "hasProperty", "QORA_GetCSPInfo"), false, "Void"},
        {Op(0, "getProperty", "version"), false, "Void"},
        {Op(0, "setProperty", "version", {Int(1)}), false, "Void"},
        {Invoke(0, "QORA_GetContainer"), true, "String", ""},
        {Invoke(0, "GetLastErrorDesc"), true, "String", kSuccessSuffix, true},
        // Two embeddings, two agents: the second one's RSA does not replace the first one's SM2, and each keeps
        // its own last result.
        {Invoke(0, "QORA_SetKeyAlgorithm", {Str("SM2")}), true, "Bool"},
        {Invoke(1, "QORA_SetKeyAlgorithm", {Str("RSA")}), true, "Bool"},
        {Invoke(0, "QORA_PKCS10CertRequisitionwithMD5", {Str("CN=a"), Int(1), Int(0)}), false, "Null"},
        {Invoke(0, "GetLastErrorDesc"), true, "String", kKeyAlgorithmText},
        {Invoke(1, "GetLastErrorDesc"), true, "String", kSuccessSuffix, true},
    };
    std::vector<Json> steps;
    for (const MethodCase& c : cases) steps.push_back(c.step);
    ToolRun run;
    ASSERT_TRUE(RunNpbrowser({}, ScriptOf(steps), run));
    EXPECT_EQ(run.code, kExitDone) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);

    for (size_t i = 0; i < cases.size(); ++i) {
        const MethodCase& c = cases[i];
        SCOPED_TRACE(c.step.dump());
        const Json* answer = AnswerTo(lines, static_cast<int>(i + 1));
        ASSERT_NE(answer, nullptr) << run.out;
        EXPECT_EQ((*answer)["returned"], c.returns);
        const Json result = answer->value("result", Json{{"type", "Void"}});
        EXPECT_EQ(result["type"], c.kind);
        if (c.kind == "String") {
            EXPECT_EQ(result["memAlloc"], true) << "a text result must live in NPN_MemAlloc memory";
        }
        if (c.text && c.textIsSuffix) {
            const std::string value = result.value("value", "");
            EXPECT_TRUE(value.size() >= c.text->size() && value.ends_with(*c.text)) << value;
        } else if (c.text) {
            EXPECT_EQ(result.value("value", ""), *c.text);
        }
    }
    ExpectNothingLeftOver(lines);
}

TEST(Plugin, ScriptableObjectIsMadeOnceAndFreedWithItsInstance)
{
    ToolRun run;
    ASSERT_TRUE(RunNpbrowser({}, ScriptOf({Op(0, "scriptable"), Op(0, "scriptable"), Op(0, "destroy"),
                                           Invoke(1, "GetLastErrorDesc")}),
                             run));
    EXPECT_EQ(run.code, kExitDone) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);

    // First query: the plug-in's own reference and the page's.
    const Json* created = EventOf(lines, "NPPVpluginScriptableNPObject", 0);
    ASSERT_NE(created, nullptr) << run.out;
    EXPECT_EQ((*created)["npError"], 0);
    EXPECT_EQ((*created)["references"], 2);
    for (int step : {1, 2}) {
        const Json* again = AnswerTo(lines, step);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ((*again)["returned"], true) << "the same object again";
        EXPECT_EQ((*again)["references"], 2 + step);
    }
    // NPP_Destroy drops the plug-in's reference; the page's three free the object.
    const Json* destroyed = EventOf(lines, "NPP_Destroy", 0);
    ASSERT_NE(destroyed, nullptr) << run.out;
    EXPECT_EQ((*destroyed)["npError"], 0);
    EXPECT_EQ((*destroyed)["referencesAfterDestroy"], 3);
    EXPECT_EQ((*destroyed)["objectFreed"], true);
    const Json* summary = SummaryOf(lines);
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ((*summary)["objectsCreated"], 2);
    EXPECT_EQ((*summary)["objectsDeallocated"], 2);
    ExpectNothingLeftOver(lines);
}

TEST(Plugin, ThousandLifecyclesLeaveNothingBehind)
{
    // With tracing on, every property query also takes an identifier's name from the browser and gives it back.
    char tracePath[] = "/tmp/bm-plugin-trace-XXXXXX";
    const int fd = mkstemp(tracePath);
    ASSERT_GE(fd, 0);
    close(fd);
    ToolRun run;
    ASSERT_TRUE(RunNpbrowser({"--cycles", "1000"}, "", run,
                             {{"BRINDLEMARK_TRACE_FILE", std::string("Z:") + tracePath}, {"BRINDLEMARK_TRACE_FLAGS", "0x4"}}));
    unlink(tracePath);
    EXPECT_EQ(run.code, kExitDone) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);
    const Json* cycles = nullptr;
    for (const Json& line : lines)
        if (line.is_object() && line.contains("cycles")) cycles = &line;
    ASSERT_NE(cycles, nullptr) << run.out;
    EXPECT_EQ((*cycles)["failedCycles"], 0);
    EXPECT_EQ((*cycles)["liveBlocks"], 0);
    EXPECT_EQ((*cycles)["liveObjects"], 0);
    // Heap blocks the plug-in took and kept after the first ten cycles: one per cycle for any leak.
    EXPECT_EQ((*cycles)["heapBlocksGrowth"], 0) << cycles->dump();
    const Json* summary = SummaryOf(lines);
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ((*summary)["objectsCreated"], 1000);
    EXPECT_EQ((*summary)["objectsDeallocated"], 1000);
    EXPECT_GE((*summary)["pluginMemFree"].get<int>(), 1000);
    ExpectNothingLeftOver(lines);
}

// The smallest tables the plug-in takes: 60 and 196 bytes on 32-bit Windows, the same fields at pointer width on
// 64-bit.
struct TableCase {
    std::string option;
    int value;
    std::string entry;
    int npError;
};

TEST(Plugin, EntryPointsCheckTheTablesTheyAreGiven)
{
    const bool is32 = WinBuildDir().find("/i686/") != std::string::npos;
    const int pluginTable = is32 ? 60 : 120;
    const int browserTable = is32 ? 196 : 392;
    for (const TableCase& c : std::vector<TableCase>{
             {"--plugin-table-size", pluginTable - 1, "NP_GetEntryPoints", 3},
             {"--plugin-table-size", pluginTable, "NP_GetEntryPoints", 0},
             {"--browser-table-size", browserTable - 1, "NP_Initialize", 3},
             {"--browser-table-size", browserTable, "NP_Initialize", 0},
             {"--browser-version", 0x0100, "NP_Initialize", 8},
         }) {
        SCOPED_TRACE(c.option + " " + std::to_string(c.value));
        ToolRun run;
        ASSERT_TRUE(RunNpbrowser({c.option, std::to_string(c.value)}, "", run));
        EXPECT_EQ(run.code, c.npError == 0 ? kExitDone : kExitPlugin) << run.err;
        const std::vector<Json> lines = JsonLines(run.out);
        const Json* entry = EventOf(lines, c.entry, -1);
        ASSERT_NE(entry, nullptr) << run.out;
        EXPECT_EQ((*entry)["npError"], c.npError);
        if (c.entry == "NP_GetEntryPoints" && c.npError == 0) {
            EXPECT_EQ((*entry)["version"], 22);
        }
    }
}

TEST(Plugin, RegistersByItsVersionResource)
{
    ToolRun run;
    ASSERT_TRUE(RunNpbrowser({}, "", run));
    EXPECT_EQ(run.code, kExitDone) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], (Json{{"registration",
                               {{"MIMEType", "application/npKestrovan.Brindlemark.MORVE.x86"},
                                {"FileExtents", "*"},
                                {"FileOpenName", "QORA Kestrovan MORVE 3.2"},
                                {"ProductName", "QORA Kestrovan MORVE 3.2"},
                                {"FileVersion", "3.2.0.4"},
                                {"ProductVersion", "3.2.0.4"}}}}));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], (Json{{"mimeDescription", "application/npKestrovan:*:npKestrovan certificate utilities"}}));
}

// ---- whole enrolments through one embedding ----

struct EnrolShape {
    const char* label;
    const char* algorithm;
    const char* csp;
    int bits;
    const char* format;  // the envelope democa writes for the encryption key
};

std::string TextOf(const Json& value) { return value.is_string() ? value.get<std::string>() : std::string(); }

// Request, the CA's answer and both imports through one scriptable object, as a bank's page enrols; then the
// inspector signs with each key of the container and OpenSSL verifies with the issued certificates' keys.
TEST(Plugin, EnrolsADoublePairThroughOneObject)
{
    const std::string caDir = CopyOfDemoCa();
    ASSERT_FALSE(caDir.empty());
    for (const EnrolShape& s : {
             EnrolShape{"RSA double, Enhanced", "RSA", kEnhanced, 1024, "classic"},
             EnrolShape{"SM2 double, token", "SM2", "Software SM2 Token CSP v1.0", 0, "ext-sm2"},
         }) {
        SCOPED_TRACE(s.label);
        ContainerSweep sweep(s.csp);
        NpbrowserPage page;
        ASSERT_TRUE(page.Open());
        Json value;
        ASSERT_TRUE(page.Value("QORA_GetCSPInfo", {}, value));
        if (("||" + TextOf(value) + "||").find("||" + std::string(s.csp) + "||") == std::string::npos) {
            GTEST_SKIP() << s.csp << " is not registered (scripts/install-providers)";
        }
        ASSERT_TRUE(page.Value("QORA_SetKeyAlgorithm", {Str(s.algorithm)}, value));
        EXPECT_EQ(value, true);
        ASSERT_TRUE(page.Value("QORA_SetCSPInfo", {Int(s.bits), Str(s.csp)}, value));
        EXPECT_EQ(value, true);
        Json request;
        ASSERT_TRUE(page.Value("QORA_PKCS10CertRequisition", {Str("CN=Plug-in Enrol,O=Brindlemark Demo Bank,C=CN"),
                                                              Int(2), Int(0)},
                               request));
        ASSERT_TRUE(page.Value("QORA_GetContainer", {}, value));
        const std::string container = TextOf(value);
        ASSERT_TRUE(IsGuidName(container)) << container;
        sweep.Add(container);

        ToolRun issued;
        ASSERT_TRUE(RunDemoca({"issue", "--ca-dir", caDir, "--format", s.format}, TextOf(request), issued));
        ASSERT_EQ(issued.code, 0) << issued.err;
        const std::string signCert = issued.json.value("signCert", "");
        const std::string encryptCert = issued.json.value("encryptCert", "");
        ASSERT_TRUE(page.Value("QORA_ImportSignCert", {Int(2), Str(signCert), Str(container)}, value));
        EXPECT_EQ(value, true);
        ASSERT_TRUE(page.Value("QORA_ImportEncryptCert",
                               {Str(issued.json.value("encryptedPrivateKey", "")), Str(encryptCert), Str(container),
                                Int(0)},
                               value));
        EXPECT_EQ(value, true);
        // Ending the page proves the whole enrolment left no objects or memory in the plug-in.
        int code = -1;
        ASSERT_TRUE(page.Close(code));
        EXPECT_EQ(code, kExitDone) << "2: the plug-in left objects or memory behind; 3: a step failed";

        const bool sm2 = std::string(s.algorithm) == "SM2";
        EXPECT_TRUE(KeyMatchesCertificate(s.csp, sm2, container, 2, signCert));
        EXPECT_TRUE(KeyMatchesCertificate(s.csp, sm2, container, 1, encryptCert))
            << "the delivered key replaced the temporary exchange key";
    }
}

// ---- one session through both front ends ----

// An outcome in the terms both front ends share: did the operation succeed, and with what. A failure's shape
// (a non-zero errorcode, a false return with Bool false or Null) and an agent's false boolean are all "failed".
struct Outcome {
    bool ok = false;
    Json value;
};

Json HostParam(const Json& variant)
{
    for (const auto& item : variant.items()) return item.key() == "Null" ? Json(nullptr) : item.value();
    return nullptr;
}

Outcome HostOutcome(const HostReply& reply)
{
    if (reply.errorcode != 0 || (reply.result.is_boolean() && !reply.result.get<bool>())) return {};
    return {true, reply.result};
}

Outcome PluginOutcome(const Json& answer)
{
    if (!answer.value("returned", false)) return {};
    return {true, answer["result"].value("value", Json())};
}

std::string KindOf(const Json& value) { return value.type_name(); }

TEST(PluginAndHost, OneSessionAnswersAlikeThroughBothFrontEnds)
{
    std::ifstream in(std::string(BM_SOURCE_DIR) + "/tests/native/sessions/plugin_and_host.jsonl");
    ASSERT_TRUE(in.good());
    std::vector<Json> rows;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) rows.push_back(Json::parse(line));

    // The host, one request per row it has.
    HostSession host;
    ASSERT_TRUE(host.Start());
    std::map<size_t, Outcome> hostOutcomes;
    int token = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Json& row = rows[i];
        if (row.value("only", "") == "plugin") continue;
        std::vector<std::string> params;
        for (const Json& arg : row.value("args", Json::array())) params.push_back(HostParam(arg).dump());
        // The host finds commands whatever their letter case and answers under the command's own name.
        const std::string sent = row.value("hostName", row["method"].get<std::string>());
        std::string body, error;
        ASSERT_TRUE(host.Process().Exchange(HostRequest(sent, params, std::to_string(++token)), body, kKeyGeneration,
                                            error))
            << sent << ": " << error;
        HostReply reply;
        ASSERT_TRUE(ParseHostReply(body, reply, error)) << body;
        const std::string canonical = row["method"] == "checkHost" ? "CheckHost" : row["method"].get<std::string>();
        EXPECT_EQ(reply.function, canonical);
        hostOutcomes[i] = HostOutcome(reply);
    }

    // The plug-in, one method call per row it has, on one embedding.
    std::vector<Json> steps;
    std::vector<size_t> stepRows;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].value("only", "") == "host") continue;
        steps.push_back(Invoke(0, rows[i]["method"], rows[i].value("args", Json::array())));
        stepRows.push_back(i);
    }
    ToolRun run;
    ASSERT_TRUE(RunNpbrowser({}, ScriptOf(steps), run));
    EXPECT_EQ(run.code, kExitDone) << run.err;
    const std::vector<Json> lines = JsonLines(run.out);
    ExpectNothingLeftOver(lines);

    std::map<std::string, ContainerSweep> sweeps;
    for (size_t s = 0; s < stepRows.size(); ++s) {
        const size_t i = stepRows[s];
        const Json& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i + 1) + ": " + row.dump());
        const Json* answer = AnswerTo(lines, static_cast<int>(s + 1));
        ASSERT_NE(answer, nullptr) << run.out;
        const Outcome plugin = PluginOutcome(*answer);
        if (row.contains("container")) {
            const std::string csp = row["container"];
            auto& sweep = sweeps.try_emplace(csp, csp).first->second;
            if (plugin.ok && plugin.value.is_string()) sweep.Add(plugin.value.get<std::string>());
            if (hostOutcomes.count(i) && hostOutcomes[i].ok && hostOutcomes[i].value.is_string())
                sweep.Add(hostOutcomes[i].value.get<std::string>());
        }
        if (row.value("only", "") == "plugin") continue;
        const Outcome& hostSide = hostOutcomes[i];
        EXPECT_EQ(plugin.ok, hostSide.ok) << "host " << hostSide.value.dump() << ", plug-in " << answer->dump();
        if (!plugin.ok || !hostSide.ok) continue;
        if (row["compare"] == "kind")
            EXPECT_EQ(KindOf(plugin.value), KindOf(hostSide.value));
        else
            EXPECT_EQ(plugin.value, hostSide.value);
    }
}

}  // namespace
}  // namespace bm
