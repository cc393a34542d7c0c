#!/usr/bin/env python3
"""Whole enrolments, one per shape, as a bank customer's page makes them: the request through the host, the
demo CA's answer, both imports through the host, then the inspector signs with each key of the container and
OpenSSL verifies each signature with the key of the issued certificate. One line per step, a summary table,
then what a page sees afterwards: the CSP list, the permission probe and the inventory of every CSP with the
enrolled certificates picked out; exits non-zero when a step fails or an enrolled certificate that belongs in
the inventory is missing.

usage: demo_enrol.py <host command> <democa> <CA folder> <inspector command...>
"""
import base64
import os
import subprocess
import sys
import tempfile
import time

from demo_session import HostProcess, Misbehaviour

SUBJECT = "CN=Demo Customer,OU=Retail,O=Brindlemark Demo Bank,C=CN"
SM2_TOKEN = "Software SM2 Token CSP v1.0"
RSA_TOKEN = "Software RSA Token CSP v1.0"

# label, key algorithm, CSP, key length, certificate type, envelope format
SHAPES = [
    ("RSA single, Enhanced", "RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 1, "classic"),
    ("RSA double, Enhanced, classic", "RSA", "Microsoft Enhanced Cryptographic Provider v1.0", 1024, 2, "classic"),
    ("RSA single, AES provider", "RSA", "Microsoft Enhanced RSA and AES Cryptographic Provider", 2048, 1, "classic"),
    ("RSA double, token 1024, classic", "RSA", RSA_TOKEN, 1024, 2, "classic"),
    ("RSA double, token 2048, extended", "RSA", RSA_TOKEN, 2048, 2, "ext-rsa"),
    ("RSA double, token 2048, no session key", "RSA", RSA_TOKEN, 2048, 2, "ext-rsa-nosession"),
    ("SM2 single, token", "SM2", SM2_TOKEN, 0, 1, "ext-sm2"),
    ("SM2 double, token, C1C3C2", "SM2", SM2_TOKEN, 0, 2, "ext-sm2"),
    ("SM2 double, token, C1C2C3", "SM2", SM2_TOKEN, 0, 2, "ext-sm2-c1c2c3"),
]


class Session:
    def __init__(self, host_command):
        self.host = HostProcess(host_command, {})

    def call(self, function, params):
        request = {"function": function, "params": params, "randomId": str(self.host.next_id)}
        self.host.next_id += 1
        _, _, answer = self.host.exchange(request)
        if answer.get("errorcode") != 0:
            desc = self.host.exchange({"function": "GetLastErrorDesc", "params": []})[2].get("result", "")
            raise Misbehaviour(f"{function}: errorcode {answer.get('errorcode')} ({' '.join(desc.split())})")
        return answer.get("result")


def run(command, stdin=b""):
    done = subprocess.run(command, input=stdin, capture_output=True)
    if done.returncode != 0:
        raise Misbehaviour(f"{os.path.basename(command[0])} exited {done.returncode}: "
                           + done.stderr.decode(errors="replace").strip()[-300:])
    return done.stdout.decode(errors="replace")


def prove_key(inspector, shape, container, spec, certificate, work):
    """The inspector signs with the key of that spec; OpenSSL verifies with the certificate's key."""
    import json
    _, algorithm, csp = shape[0], shape[1], shape[2]
    data = os.urandom(48)
    hash_name = "sm3" if algorithm == "SM2" else "sha1"
    out = json.loads(run(inspector + ["sign", "--csp", csp, "--container", container, "--spec", str(spec),
                                      "--hash", hash_name, "--data", data.hex(), "--json"]))
    paths = {name: os.path.join(work, name) for name in ("cert.der", "data.bin", "sig.bin", "pub.pem")}
    with open(paths["cert.der"], "wb") as f:
        f.write(base64.b64decode(certificate))
    with open(paths["data.bin"], "wb") as f:
        f.write(data)
    with open(paths["sig.bin"], "wb") as f:
        f.write(bytes.fromhex(out["signature"]))
    with open(paths["pub.pem"], "w") as f:
        f.write(run(["openssl", "x509", "-inform", "DER", "-in", paths["cert.der"], "-pubkey", "-noout"]))
    verify = ["openssl", "dgst", "-" + hash_name, "-verify", paths["pub.pem"], "-signature", paths["sig.bin"]]
    if algorithm == "SM2":
        verify += ["-sigopt", "distid:1234567812345678"]
    run(verify + [paths["data.bin"]])


def enrol(shape, host_command, democa, ca_dir, inspector, work):
    import json
    label, algorithm, csp, bits, cert_type, fmt = shape
    times = {}
    session = Session(host_command)
    try:
        start = time.monotonic()
        session.call("QORA_SetKeyAlgorithm", [algorithm])
        session.call("QORA_SetCSPInfo", [bits, csp])
        request = session.call("QORA_PKCS10CertRequisition", [SUBJECT, cert_type, 0])
        container = session.call("QORA_GetContainer", [])
        times["request"] = time.monotonic() - start
        print(f"  {label}: request made in {container}")

        start = time.monotonic()
        issued = json.loads(run([democa, "issue", "--ca-dir", ca_dir, "--format", fmt], request.encode()))
        times["CA"] = time.monotonic() - start
        print(f"  {label}: the CA issued serial {issued['serial']}" + (f" and a {fmt} envelope" if cert_type == 2 else ""))

        start = time.monotonic()
        sign_spec = 1 if cert_type == 1 else 2
        session.call("QORA_ImportSignCert", [sign_spec, issued["signCert"], container])
        print(f"  {label}: signing certificate imported")
        if cert_type == 2:
            session.call("QORA_ImportEncryptCert", [issued["encryptedPrivateKey"], issued["encryptCert"], container, 0])
            print(f"  {label}: encryption certificate and its key imported")
        times["imports"] = time.monotonic() - start
        session.host.finish()
    finally:
        session.host.kill()

    start = time.monotonic()
    prove_key(inspector, shape, container, sign_spec, issued["signCert"], work)
    if cert_type == 2:
        prove_key(inspector, shape, container, 1, issued["encryptCert"], work)
    times["proof"] = time.monotonic() - start
    print(f"  {label}: the container signs with the key of each issued certificate (OpenSSL verified)")
    times["serial"] = issued["serial"]
    if cert_type == 2:
        times["encryptSerial"] = serial_of(issued["encryptCert"], work)
    return times


def serial_of(certificate, work):
    """The serial number of a Base64 DER certificate, in hex, as OpenSSL reads it."""
    path = os.path.join(work, "serial.der")
    with open(path, "wb") as f:
        f.write(base64.b64decode(certificate))
    return run(["openssl", "x509", "-inform", "DER", "-in", path, "-serial", "-noout"]).strip().split("=", 1)[1].lower()


def key(serial):
    return serial.lower().lstrip("0")


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    host_command, democa, ca_dir, inspector = [argv[1]], argv[2], argv[3], argv[4:]
    print("== whole enrolments: host -> demo CA -> host imports -> inspector and OpenSSL")
    rows, failed = [], 0
    with tempfile.TemporaryDirectory() as work:
        for shape in SHAPES:
            try:
                rows.append((shape[0], "enrolled", enrol(shape, host_command, democa, ca_dir, inspector, work)))
            except Misbehaviour as error:
                failed += 1
                print(f"  {shape[0]}: FAILED: {error}")
                rows.append((shape[0], "FAILED", {}))
    print("\n  shape                                      outcome    request     CA  imports  proof (s)")
    for label, outcome, t in rows:
        cells = "".join(f"{t[k]:>9.2f}" if k in t else f"{'-':>9}" for k in ("request", "CA", "imports", "proof"))
        print(f"  {label:<42} {outcome:<9}{cells}")

    # What the page sees afterwards: the CSPs offered, the permission probe, then the certificates of every
    # CSP, store ones and container-only ones.
    session = Session(host_command)
    try:
        csp_list = session.call("QORA_GetCSPInfo", [])
        permitted = session.call("QORA_HavePermissiontoGenerateKeyPair", [])
        info = session.call("QORA_GetAllCertInfo", [csp_list])
        session.host.finish()
    except Misbehaviour as error:
        print(f"  the closing inventory: FAILED: {error}")
        return 1
    finally:
        session.host.kill()
    print("\n== QORA_GetCSPInfo: the CSPs this computer offers")
    for name in csp_list.split("||"):
        print(f"  {name}")
    print(f"\n== QORA_HavePermissiontoGenerateKeyPair: {'permitted' if permitted is True else permitted}")

    records = [r for r in info.split("||") if r]
    by_serial = {key(r.split(";")[1]): r for r in records if r.count(";") == 4}
    # Certificates in MY (Microsoft providers) and SM2 certificates in token containers are listed; an RSA
    # certificate kept only inside a token is not: the containers are searched for SM2-family ones only.
    enrolled = []
    for shape in SHAPES:
        t = next((t for label, _, t in rows if label == shape[0]), {})
        for kind in ("serial", "encryptSerial"):
            if kind in t:
                enrolled.append((shape, "signing" if kind == "serial" else "encryption", t[kind]))
    print(f"\n== QORA_GetAllCertInfo over that list: {len(records)} certificates; the ones enrolled now:")
    missing = 0
    for shape, kind, serial in enrolled:
        label, algorithm, csp = shape[0], shape[1], shape[2]
        listable = "Microsoft" in csp or algorithm == "SM2"
        record = by_serial.get(key(serial))
        if record:
            print(f"  {label}, {kind}: {record}")
        elif listable:
            missing += 1
            print(f"  {label}, {kind}: serial {serial} NOT LISTED")
        else:
            print(f"  {label}, {kind}: serial {serial} kept inside {csp} only (RSA, so not sought there)")
    if missing:
        print(f"  {missing} enrolled certificates that belong in the list are not listed")
    return 1 if failed or missing or permitted is not True else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
