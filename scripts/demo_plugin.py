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


class Page:
    """One embedding of the plug-in in an npbrowser kept open: one script line written, its answer read, so that a
    single agent serves the whole enrolment, as on a bank's page."""

    def __init__(self, wine, npbrowser, dll):
        self.process = subprocess.Popen([wine, npbrowser, "--plugin", wine_path(dll), "--script", "-"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.line = 0

    def call(self, method, args=()):
        self.line += 1
        self.process.stdin.write((json.dumps({"instance": 0, "method": method, "args": list(args)}) + "\n").encode())
        self.process.stdin.flush()
        for raw in self.process.stdout:
            text = raw.decode(errors="replace").strip()
            item = json.loads(text) if text.startswith("{") else None
            if isinstance(item, dict) and item.get("line") == self.line:
                return item
        raise Failed(f"npbrowser ended before answering {method}")

    def value(self, method, args=()):
        answer = self.call(method, args)
        if not answer.get("returned"):
            desc = self.call("GetLastErrorDesc").get("result", {}).get("value", "")
            raise Failed(f"{method} returned false ({' '.join(str(desc).split())})")
        return answer.get("result", {}).get("value")

    def close(self):
        self.process.stdin.close()
        code = self.process.wait(timeout=60)
        if code != 0:
            raise Failed(f"npbrowser exited {code}: the plug-in left objects or memory behind")


def chain_check(wine, npbrowser, dll):
    page = Page(wine, npbrowser, dll)
    good = bool(page.call("QORA_CheckCertificateChain").get("returned"))
    page.close()
    return good


def install(wine, npbrowser, dll):
    return json.loads(run([wine, npbrowser, "--plugin", wine_path(dll), "--install"]).strip().splitlines()[-1])


def s(text):
    return {"String": text}


def i(number):
    return {"Int32": number}


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
    print("== the plug-in: chain check, NP_Install, one enrolment through npKestrovan")
    page = None
    try:
        with tempfile.TemporaryDirectory() as work:
            removed = take_out_intermediates(wine, inspector, chains, work)
        print(f"  machine CA store: {removed} intermediate CAs of the chain documents taken out (an earlier run's)")
        if chain_check(wine, npbrowser, dll):
            raise Failed("QORA_CheckCertificateChain is true before the install")
        print("  QORA_CheckCertificateChain through the plug-in: false")
        done = install(wine, npbrowser, dll)
        print(f"  npbrowser --install: NP_Install called (machine Root store {done.get('machineRootStore')}, "
              f"CoInitialize {done.get('coInitialize')})")

        page = Page(wine, npbrowser, dll)
        page.value("QORA_SetKeyAlgorithm", [s("RSA")])
        page.value("QORA_SetCSPInfo", [i(1024), s(CSP)])
        request = page.value("QORA_PKCS10CertRequisition", [s(SUBJECT), i(2), i(0)])
        container = page.value("QORA_GetContainer")
        print(f"  RSA double, Enhanced: request made through the plug-in in {container}")
        issued = json.loads(run([democa, "issue", "--ca-dir", ca_dir, "--format", "classic"], request.encode()))
        print(f"  the demo CA issued serial {issued['serial']} and a classic envelope")
        page.value("QORA_ImportSignCert", [i(2), s(issued["signCert"]), s(container)])
        print("  QORA_ImportSignCert through the plug-in: signing certificate imported")
        page.value("QORA_ImportEncryptCert",
                   [s(issued["encryptedPrivateKey"]), s(issued["encryptCert"]), s(container), i(0)])
        print("  QORA_ImportEncryptCert through the plug-in: encryption certificate and its key imported")
        page.close()
        page = None

        if not chain_check(wine, npbrowser, dll):
            raise Failed("QORA_CheckCertificateChain is false after the install")
        print("  QORA_CheckCertificateChain through the plug-in: true")
    except (Failed, ValueError, KeyError) as error:
        print(f"  FAILED: {error}")
        return 1
    finally:
        if page is not None:
            page.process.kill()
            page.process.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
