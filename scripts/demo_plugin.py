#!/usr/bin/env python3
"""The plug-in act: the page's chain check through npKestrovan, the installer's NP_Install (npbrowser --install),
one whole enrolment through the plug-in with the demo CA, and the chain check again. One line per step; exits
non-zero when a step does not go as shown.

The demo runs again and again in one prefix, and an earlier run has installed the chains. So that the first check
is false every time, the act first takes the chain documents' intermediate CAs out of the machine's CA store with
the inspector (the install entry puts them back).

usage: demo_plugin.py <wine> <npbrowser.exe> <npKestrovan.dll> <inspector.exe> <democa> <CA folder> <chains folder>
"""
import base64
import json
import os
import re
import subprocess
import sys
import tempfile

SUBJECT = "CN=Demo Plug-in Customer,OU=Retail,O=Brindlemark Demo Bank,C=CN"
CSP = "Microsoft Enhanced Cryptographic Provider v1.0"
DOCUMENTS = ["RsaCertificateChain.xml", "TestRsaCertificateChain.xml", "Sm2CertificateChain.xml",
             "TestSm2CertificateChain.xml"]


class Failed(Exception):
    pass


def run(command, stdin=b""):
    done = subprocess.run(command, input=stdin, capture_output=True)
    if done.returncode != 0:
        raise Failed(f"{os.path.basename(command[1] if len(command) > 1 else command[0])} exited {done.returncode}: "
                     + (done.stderr or done.stdout).decode(errors="replace").strip()[-300:])
    return done.stdout.decode(errors="replace").replace("\r", "")


def wine_path(path):
    return "Z:" + os.path.abspath(path)


class Plugin:
    def __init__(self, wine, npbrowser, dll):
        self.base = [wine, npbrowser, "--plugin", wine_path(dll)]

    def script(self, calls):
        """Method calls on one embedding; the answers in order, each {"returned", "result"}."""
        lines = "".join(json.dumps({"instance": 0, "method": m, "args": a}) + "\n" for m, a in calls)
        answers = {}
        for line in run(self.base + ["--script", "-"], lines.encode()).splitlines():
            item = json.loads(line) if line.startswith("{") else None
            if isinstance(item, dict) and "line" in item:
                answers[item["line"]] = item
        return [answers.get(n + 1, {}) for n in range(len(calls))]

    def call(self, method, args=()):
        return self.script([(method, list(args))])[0]

    def install(self):
        return json.loads(run(self.base + ["--install"]).strip().splitlines()[-1])


def s(text):
    return {"String": text}


def i(number):
    return {"Int32": number}


def value(answer, method):
    if not answer.get("returned"):
        raise Failed(f"{method} returned false")
    return answer.get("result", {}).get("value")


def chain_check(plugin):
    return bool(plugin.call("QORA_CheckCertificateChain").get("returned"))


def take_out_intermediates(wine, inspector, chains, work):
    removed = 0
    for name in DOCUMENTS:
        with open(os.path.join(chains, name), encoding="utf-8") as f:
            found = re.search(r"<P7bContent>(.*?)</P7bContent>", f.read(), re.S)
        if found is None:
            raise Failed(f"{name} has no P7bContent")
        bundle = os.path.join(work, name + ".p7b")
        with open(bundle, "wb") as f:
            f.write(base64.b64decode("".join(found.group(1).split())))
        out = json.loads(run([wine, inspector, "remove", "--name", "CA", "--machine", "--file", wine_path(bundle),
                              "--json"]))
        removed += len(out.get("removed", []))
    return removed


def main(argv):
    if len(argv) != 8:
        print(__doc__, file=sys.stderr)
        return 2
    wine, npbrowser, dll, inspector, democa, ca_dir, chains = argv[1:]
    plugin = Plugin(wine, npbrowser, dll)
    print("== the plug-in: chain check, NP_Install, one enrolment through npKestrovan")
    try:
        with tempfile.TemporaryDirectory() as work:
            removed = take_out_intermediates(wine, inspector, chains, work)
        print(f"  machine CA store: {removed} intermediate CAs of the chain documents taken out (an earlier run's)")
        if chain_check(plugin):
            raise Failed("QORA_CheckCertificateChain is true before the install")
        print("  QORA_CheckCertificateChain through the plug-in: false")
        done = plugin.install()
        print(f"  npbrowser --install: NP_Install called (machine Root store {done.get('machineRootStore')}, "
              f"CoInitialize {done.get('coInitialize')})")

        answers = plugin.script([("QORA_SetKeyAlgorithm", [s("RSA")]), ("QORA_SetCSPInfo", [i(1024), s(CSP)]),
                                 ("QORA_PKCS10CertRequisition", [s(SUBJECT), i(2), i(0)]),
                                 ("QORA_GetContainer", [])])
        for (method, answer) in zip(["QORA_SetKeyAlgorithm", "QORA_SetCSPInfo"], answers[:2]):
            value(answer, method)
        request = value(answers[2], "QORA_PKCS10CertRequisition")
        container = value(answers[3], "QORA_GetContainer")
        print(f"  RSA double, Enhanced: request made through the plug-in in {container}")

        issued = json.loads(run([democa, "issue", "--ca-dir", ca_dir, "--format", "classic"], request.encode()))
        print(f"  the demo CA issued serial {issued['serial']} and a classic envelope")

        answers = plugin.script([
            ("QORA_ImportSignCert", [i(2), s(issued["signCert"]), s(container)]),
            ("QORA_ImportEncryptCert", [s(issued["encryptedPrivateKey"]), s(issued["encryptCert"]), s(container), i(0)]),
        ])
        value(answers[0], "QORA_ImportSignCert")
        print("  QORA_ImportSignCert through the plug-in: signing certificate imported")
        value(answers[1], "QORA_ImportEncryptCert")
        print("  QORA_ImportEncryptCert through the plug-in: encryption certificate and its key imported")

        if not chain_check(plugin):
            raise Failed("QORA_CheckCertificateChain is false after the install")
        print("  QORA_CheckCertificateChain through the plug-in: true")
    except (Failed, ValueError, KeyError) as error:
        print(f"  FAILED: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
