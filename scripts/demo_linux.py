#!/usr/bin/env python3
"""BrindlemarkHost for Linux: the chains installed into a fresh NSS database, whole RSA enrolments through the
host and the demo CA into it, then what NSS holds (a key named by each container, the certificates linked to
their keys) and the certificate list a page gets. Exits non-zero when a step fails or an enrolled certificate
is missing from the list or from the database.

usage: demo_linux.py <host command> <democa> <CA folder> <NSS database folder> <BrindlemarkInstall>
"""
import os
import subprocess
import sys
import tempfile
import time

from demo_enrol import SUBJECT, Session, key, run, serial_of
from demo_session import Misbehaviour

# label, CSP, key length, certificate type
SHAPES = [
    ("RSA single, Enhanced 2048", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, 1),
    ("RSA double, Enhanced 2048, classic", "Microsoft Enhanced Cryptographic Provider v1.0", 2048, 2),
    ("RSA double, AES provider 2048, classic", "Microsoft Enhanced RSA and AES Cryptographic Provider", 2048, 2),
]


def enrol(shape, host_command, democa, ca_dir, work):
    import json
    label, csp, bits, cert_type = shape
    start = time.monotonic()
    session = Session(host_command)
    try:
        session.call("QORA_SetKeyAlgorithm", ["RSA"])
        session.call("QORA_SetCSPInfo", [bits, csp])
        request = session.call("QORA_PKCS10CertRequisition", [SUBJECT, cert_type, 0])
        container = session.call("QORA_GetContainer", [])
        issued = json.loads(run([democa, "issue", "--ca-dir", ca_dir, "--format", "classic"], request.encode()))
        session.call("QORA_ImportSignCert", [1 if cert_type == 1 else 2, issued["signCert"], container])
        if cert_type == 2:
            session.call("QORA_ImportEncryptCert", [issued["encryptedPrivateKey"], issued["encryptCert"], container, 0])
        session.host.finish()
    finally:
        session.host.kill()
    serials = [issued["serial"]] + ([serial_of(issued["encryptCert"], work)] if cert_type == 2 else [])
    print(f"  {label}: {container}, serial {', '.join(serials)}, {time.monotonic() - start:.2f} s")
    return container, serials


def main(argv):
    if len(argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    host_command, democa, ca_dir, db, installer = [argv[1]], argv[2], argv[3], argv[4], argv[5]
    os.environ["BM_NSSDB"] = "sql:" + db
    print(f"== the host on Linux: keys and certificates in the NSS database {db}")
    run([installer])
    trust = [line.rsplit(None, 1)[-1] for line in run(["certutil", "-L", "-d", "sql:" + db]).splitlines()
             if line.startswith("Brindlemark Demo")]
    print(f"  BrindlemarkInstall: {trust.count('C,,')} roots trusted C,, and {trust.count(',,')} intermediates ,,")

    enrolled, failed = [], 0
    with tempfile.TemporaryDirectory() as work:
        for shape in SHAPES:
            try:
                enrolled.append((shape[0],) + enrol(shape, host_command, democa, ca_dir, work))
            except Misbehaviour as error:
                failed += 1
                print(f"  {shape[0]}: FAILED: {error}")

    keys = run(["certutil", "-K", "-d", "sql:" + db])
    users = [line for line in run(["certutil", "-L", "-d", "sql:" + db]).splitlines() if line.rstrip().endswith("u,u,u")]
    print(f"\n== NSS: {len(users)} certificates with their keys (u,u,u); the keys named by the containers:")
    session = Session(host_command)
    try:
        csp_list = session.call("QORA_GetCSPInfo", [])
        info = session.call("QORA_GetAllCertInfo", [csp_list])
        session.host.finish()
    finally:
        session.host.kill()
    by_serial = {key(r.split(";")[1]): r for r in info.split("||") if r.count(";") == 4}
    missing = 0
    for label, container, serials in enrolled:
        named = container in keys
        print(f"  {label}: key {container} {'in the database' if named else 'NOT IN THE DATABASE'}")
        missing += 0 if named else 1
        for serial in serials:
            record = by_serial.get(key(serial))
            print(f"    {record if record else 'serial ' + serial + ' NOT LISTED'}")
            missing += 0 if record else 1
    print(f"\n== QORA_GetCSPInfo on Linux: {csp_list.replace('||', ', ')}")
    return 1 if failed or missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
