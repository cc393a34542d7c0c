// tools/chaindocs/Discarded.cpp — the withdrawn generation: its certificates for tests that install them, and
// the two removal lists the program compiles in. Each row is checked the way the removal's filter will read
// it, so a row that would miss its certificate, or hit a current one, stops the generator.
#include "Documents.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace chaindocs {

namespace fs = std::filesystem;
using namespace democa;

namespace {

struct Row {
    DiscardedKind kind;
    std::string serial, subject, issuer, thumbprint;
};

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part)
{
    return Lower(text).find(Lower(part)) != std::string::npos;
}

std::string UpperSerial(X509* cert)
{
    std::string text = SerialHex(cert);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// What the removal's filter keeps: subject in encoded order and issuer reversed containing the texts, and
// the same serial number.
bool FilterKeeps(const Row& row, X509* cert)
{
    return ContainsIgnoringCase(NameInEncodedOrder(X509_get_subject_name(cert)), row.subject) &&
           ContainsIgnoringCase(NameReversed(X509_get_issuer_name(cert)), row.issuer) && UpperSerial(cert) == row.serial;
}

Status MakeRow(const DiscardedEntrySpec& entry, const CaMaterial& material, Row& row)
{
    const CaCertSpec* spec = FindSpec(entry.cert);
    X509* cert = material.Cert(entry.cert);
    if (!spec || !cert || spec->root != (entry.kind == DiscardedKind::Root))
        return Status::Internal("the withdrawn certificate " + entry.cert + " is not planned as that kind");
    row.kind = entry.kind;
    row.serial = UpperSerial(cert);
    row.subject = ListDn(*spec);
    if (entry.kind == DiscardedKind::Root) {
        row.issuer = row.subject;
        row.thumbprint = Thumbprint(cert);
        // the root's DN is what its intermediates' rows name as issuer, read from the root's reversed subject
        if (!ContainsIgnoringCase(NameReversed(X509_get_subject_name(cert)), row.subject))
            return Status::Internal("root row " + row.subject + " does not match " + entry.cert);
        return Status::Success();
    }
    const CaCertSpec* issuer = FindSpec(spec->issuer);
    if (!issuer) return Status::Internal("no issuer planned for " + entry.cert);
    row.issuer = ListDn(*issuer);
    if (!FilterKeeps(row, cert))
        return Status::Internal("row " + row.subject + " / " + row.issuer + " / " + row.serial + " does not match " +
                                entry.cert + " (subject \"" + NameInEncodedOrder(X509_get_subject_name(cert)) +
                                "\", issuer reversed \"" + NameReversed(X509_get_issuer_name(cert)) + "\")");
    return Status::Success();
}

std::string IncludeRow(const Row& row)
{
    const auto text = [](const std::string& s) { return "TEXT(\"" + s + "\")"; };
    return std::string("    {") + (row.kind == DiscardedKind::Root ? "DISCARDED_ROOT" : "DISCARDED_INTERMEDIATE") +
           ", " + text(row.serial) + ", " + text(row.subject) + ", " + text(row.issuer) + ", " + text(row.thumbprint) +
           "}";
}

}  // namespace

Status WriteDiscardedCertificates(const CaMaterial& material, const fs::path& caDir, const fs::path& outDir)
{
    std::set<X509*> current, withdrawn;
    for (const ChainDocumentSpec& doc : ChainDocuments()) {
        for (const std::string& file : doc.roots) current.insert(material.Cert(file));
        for (const std::string& file : doc.intermediates) current.insert(material.Cert(file));
    }
    for (const DiscardedListSpec& list : DiscardedLists())
        for (const DiscardedEntrySpec& entry : list.entries) withdrawn.insert(material.Cert(entry.cert));

    const fs::path discardedDir = caDir / "discarded";
    std::error_code ec;
    fs::create_directories(discardedDir, ec);
    if (ec) return Status::Internal("cannot create " + discardedDir.string() + ": " + ec.message());
    const fs::perms readable =
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

    std::string include =
        "// Certificates the demo CA has withdrawn: the RSA and the SM2 removal list as initializer rows\n"
        "// {kind, serial number, subject DN, issuer DN, thumbprint}, in the order they are removed. Written by\n"
        "// chaindocs; regenerate it rather than edit it. The includer defines the kinds DISCARDED_INTERMEDIATE and\n"
        "// DISCARDED_ROOT. Serial numbers are hexadecimal, most significant byte first; a root's subject is also\n"
        "// its issuer; an intermediate has no thumbprint.\n";
    for (const DiscardedListSpec& list : DiscardedLists()) {
        include += "\n#define DISCARDED_" + list.name + "_CERTIFICATES";
        int number = 0;
        for (const DiscardedEntrySpec& entry : list.entries) {
            ++number;
            Row row;
            if (Status s = MakeRow(entry, material, row); !s.Ok()) return s;
            if (row.kind == DiscardedKind::Root) {
                for (X509* cert : current)
                    if (Thumbprint(cert) == row.thumbprint || FilterKeeps(row, cert))
                        return Status::Internal("root row " + row.subject + " would remove a current certificate");
            } else {
                // exactly its own certificate among everything the demo CA has made
                for (const std::set<X509*>* group : {&current, &withdrawn})
                    for (X509* cert : *group)
                        if (cert != material.Cert(entry.cert) && FilterKeeps(row, cert))
                            return Status::Internal("row " + row.subject + " / " + row.serial +
                                                    " also matches another certificate");
            }
            include += " \\\n" + IncludeRow(row) + (number < static_cast<int>(list.entries.size()) ? "," : "");

            char name[64];
            std::snprintf(name, sizeof(name), "%s-%02d-%s.der", Lower(list.name).c_str(), number,
                          row.kind == DiscardedKind::Root ? "root" : "intermediate");
            const Bytes der = DerOf<X509>(material.Cert(entry.cert), i2d_X509);
            if (Status s = WriteFileAtomically(discardedDir / name, std::string(der.begin(), der.end()), readable);
                !s.Ok())
                return s;
        }
        include += "\n";
    }
    return WriteFileAtomically(outDir / "DiscardedCertificates.inc", include, readable);
}

}  // namespace chaindocs
