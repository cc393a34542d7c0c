// Brindlemark/agent/AgentOperations.cpp — the one table of the agent's operations.
#include "agent/AgentOperations.h"

namespace {

constexpr OperationArgumentKind kText = OperationArgumentKind::Text;
constexpr OperationArgumentKind kNumber = OperationArgumentKind::Number;

constexpr std::span<const OperationArgument> kNone;
constexpr OperationArgument kCSPNameList[] = {{kText, TEXT("CSPName")}};
constexpr OperationArgument kSetCSPInfo[] = {{kNumber, TEXT("nKeyLength")}, {kText, TEXT("CSPName")}};
constexpr OperationArgument kSetKeyAlgorithm[] = {{kText, TEXT("KeyAlgorithm")}};
constexpr OperationArgument kImportSignCert[] = {
    {kNumber, TEXT("nCertType")}, {kText, TEXT("SignCert")}, {kText, TEXT("ContainerName")}};
constexpr OperationArgument kRequest[] = {
    {kText, TEXT("SubjectDN")}, {kNumber, TEXT("nCertType")}, {kNumber, TEXT("nSignPrivateKeyGenerateFlags")}};
constexpr OperationArgument kImportEncryptCert[] = {
    {kText, TEXT("EncryptedPrivateKey")}, {kText, TEXT("EncryptPublicCert")}, {kText, TEXT("ContainerName")},
    {kNumber, TEXT("nEncryptCertPrivateKeyFlags")}};

using A = const OperationArguments&;

constexpr AgentOperation kOperations[] = {
    {"QORA_CheckCertificateChain", TEXT("QORA_CheckCertificateChain"), kNone, false,
     [](CCryptoAgent& agent, A, VARIANT_BOOL* pb) { return agent.QORA_CheckCertificateChain(pb); }, nullptr},
    {"QORA_GetCSPInfo", TEXT("QORA_GetCSPInfo"), kNone, true, nullptr,
     [](CCryptoAgent& agent, A, BSTR* pbstr) { return agent.QORA_GetCSPInfo(pbstr); }},
    {"QORA_GetAllCertInfo", TEXT("QORA_GetAllCertInfo"), kCSPNameList, true, nullptr,
     [](CCryptoAgent& agent, A a, BSTR* pbstr) { return agent.QORA_GetAllCertInfo(a.Text(0), pbstr); }},
    {"QORA_SetCSPInfo", TEXT("QORA_SetCSPInfo"), kSetCSPInfo, true,
     [](CCryptoAgent& agent, A a, VARIANT_BOOL* pb) { return agent.QORA_SetCSPInfo(a.Number(0), a.Text(1), pb); },
     nullptr},
    {"QORA_SetKeyAlgorithm", TEXT("QORA_SetKeyAlgorithm"), kSetKeyAlgorithm, true,
     [](CCryptoAgent& agent, A a, VARIANT_BOOL* pb) { return agent.QORA_SetKeyAlgorithm(a.Text(0), pb); }, nullptr},
    {"QORA_GetContainer", TEXT("QORA_GetContainer"), kNone, true, nullptr,
     [](CCryptoAgent& agent, A, BSTR* pbstr) { return agent.QORA_GetContainer(pbstr); }},
    {"QORA_ImportSignCert", TEXT("QORA_ImportSignCert"), kImportSignCert, true,
     [](CCryptoAgent& agent, A a, VARIANT_BOOL* pb) {
         return agent.QORA_ImportSignCert(a.Number(0), a.Text(1), a.Text(2), pb);
     },
     nullptr},
    {"QORA_PKCS10CertRequisition", TEXT("QORA_PKCS10CertRequisition"), kRequest, true, nullptr,
     [](CCryptoAgent& agent, A a, BSTR* pbstr) {
         return agent.QORA_PKCS10CertRequisition(a.Text(0), a.Number(1), a.Number(2), pbstr);
     }},
    {"QORA_HavePermissiontoGenerateKeyPair", TEXT("QORA_HavePermissiontoGenerateKeyPair"), kNone, true,
     [](CCryptoAgent& agent, A, VARIANT_BOOL* pb) { return agent.QORA_HavePermissiontoGenerateKeyPair(pb); },
     nullptr},
    {"QORA_ImportEncryptCert", TEXT("QORA_ImportEncryptCert"), kImportEncryptCert, true,
     [](CCryptoAgent& agent, A a, VARIANT_BOOL* pb) {
         return agent.QORA_ImportEncryptCert(a.Text(0), a.Text(1), a.Text(2), a.Number(3), pb);
     },
     nullptr},
    {"GetLastErrorDesc", TEXT("GetLastErrorDesc"), kNone, true, nullptr,
     [](CCryptoAgent& agent, A, BSTR* pbstr) { return agent.GetLastErrorDesc(pbstr); }},
    {"QORA_PKCS10CertRequisitionwithMD5", TEXT("QORA_PKCS10CertRequisitionwithMD5"), kRequest, true, nullptr,
     [](CCryptoAgent& agent, A a, BSTR* pbstr) {
         return agent.QORA_PKCS10CertRequisitionwithMD5(a.Text(0), a.Number(1), a.Number(2), pbstr);
     }},
};

constexpr bool EveryRowFitsOperationArguments()
{
    for (const AgentOperation& stOperation : kOperations)
        if (stOperation.arguments.size() > kMaxOperationArguments) return false;
    return true;
}
static_assert(EveryRowFitsOperationArguments(), "a row names more arguments than OperationArguments holds");
static_assert(std::size(kOperations) == kAgentOperationCount, "kAgentOperationCount counts the rows");

}  // namespace

std::span<const AgentOperation> AgentOperations() { return kOperations; }
