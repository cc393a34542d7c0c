#!/usr/bin/env python3
"""A scripted session with BrindlemarkHost, as a browser would hold it: length-prefixed JSON frames over the
host's standard input and output. Prints a readable transcript and exits non-zero if the host misbehaves
(no answer, a bad frame, an answer that is not the expected one).

usage: demo_session.py <command that starts the host, e.g. scripts/host>

Later steps are added to SESSION below: a Step is one request, a Host is a further host process (with its
own environment) that runs its own steps.
"""
import base64
import json
import os
import select
import struct
import subprocess
import sys
import time

ANSWER_TIMEOUT = 60.0      # seconds for one answer
EXIT_TIMEOUT = 30.0        # seconds for the host to end after its input closed
E_INVALIDARG = -2147024809
UNKNOWN_FUNCTION = -2146893779


class Misbehaviour(Exception):
    pass


class Step:
    """One request. `errorcode`: the code the answer must carry (None: any). `result`: the value it must carry."""

    _ANY = object()

    def __init__(self, function, params, errorcode=0, result=_ANY, note=""):
        self.function, self.params, self.errorcode, self.result, self.note = function, params, errorcode, result, note

    def check(self, answer, random_id):
        if not isinstance(answer, dict):
            raise Misbehaviour("answer is not a JSON object")
        if answer.get("randomId") != random_id:
            raise Misbehaviour(f"randomId {answer.get('randomId')!r} instead of {random_id!r}")
        if self.errorcode is not None and answer.get("errorcode") != self.errorcode:
            raise Misbehaviour(f"errorcode {answer.get('errorcode')} instead of {self.errorcode}")
        if self.result is not Step._ANY and answer.get("result") != self.result:
            raise Misbehaviour(f"result {answer.get('result')!r} instead of {self.result!r}")


class RequestStep(Step):
    """A certificate request: the answer must be Base64 in 64-character lines. Single requests are also
    checked with the system's OpenSSL (double requests carry attributes without their SET, which its
    request parser refuses; the end-to-end tests walk those themselves)."""

    def __init__(self, function, params, note, algorithm, single):
        super().__init__(function, params, note=note)
        self.algorithm, self.single = algorithm, single

    def check(self, answer, random_id):
        super().check(answer, random_id)
        text = answer.get("result")
        if not isinstance(text, str) or not text:
            raise Misbehaviour("no request text")
        lines = text.split("\r\n")
        if any(len(line) != 64 for line in lines[:-1]) or not 0 < len(lines[-1]) <= 64:
            raise Misbehaviour("request lines are not 64 characters joined by CR LF")
        if not self.single:
            return
        der = base64.b64decode("".join(lines))
        command = ["openssl", "req", "-inform", "DER", "-noout", "-verify"]
        if self.algorithm == "SM2":
            command += ["-vfyopt", "distid:1234567812345678"]
        checked = subprocess.run(command, input=der, capture_output=True)
        verdict = (checked.stdout + checked.stderr).decode(errors="replace").strip().splitlines()
        if checked.returncode != 0:
            raise Misbehaviour("OpenSSL does not verify the request: " + " / ".join(verdict))
        print(f"      openssl req -verify: {verdict[-1] if verdict else 'OK'}")


class Host:
    """A host process of its own, with extra environment, running its own steps."""

    def __init__(self, title, env, steps):
        self.title, self.env, self.steps = title, env, steps


class HostProcess:
    def __init__(self, command, extra_env):
        env = dict(os.environ)
        env.update(extra_env)
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.next_id = 1

    def _read_exactly(self, count):
        data = b""
        deadline = time.monotonic() + ANSWER_TIMEOUT
        fd = self.proc.stdout.fileno()
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Misbehaviour(f"no answer within {ANSWER_TIMEOUT:.0f} s")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, count - len(data))
            if not chunk:
                raise Misbehaviour(f"output ended after {len(data)} of {count} bytes")
            data += chunk
        return data

    def exchange(self, request):
        body = json.dumps(request, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        try:
            self.proc.stdin.write(struct.pack("<I", len(body)) + body)
            self.proc.stdin.flush()
        except BrokenPipeError:
            raise Misbehaviour("the host closed its input")
        (length,) = struct.unpack("<I", self._read_exactly(4))
        if length == 0xFFFFFFFF or length > 1048576:
            raise Misbehaviour(f"bad frame length 0x{length:08x}")
        raw = self._read_exactly(length)
        try:
            return body.decode("utf-8"), raw.decode("utf-8"), json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise Misbehaviour(f"answer is not UTF-8 JSON ({error}): {raw[:200]!r}")

    def finish(self):
        self.proc.stdin.close()
        try:
            code = self.proc.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Misbehaviour("the host did not end after its input closed")
        rest = self.proc.stdout.read()
        if rest:
            raise Misbehaviour(f"{len(rest)} unexpected bytes after the last answer")
        if code != 0:
            raise Misbehaviour(f"exit code {code} after its input closed")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def show_result(answer):
    result = answer.get("result")
    if isinstance(result, str) and ("\n" in result or not result.isascii()):
        for line in result.replace("\r", "").split("\n"):
            print(f"      | {line}")


def run_steps(command, title, env, items):
    """Runs the items on a host of its own; a nested Host runs as a further process between two steps."""
    print(f"== {title}")
    host = HostProcess(command, env)
    try:
        for item in items:
            if isinstance(item, Host):
                run_steps(command, item.title, {**env, **item.env}, item.steps)
                print(f"== back to: {title}")
                continue
            random_id = str(host.next_id)
            host.next_id += 1
            request = {"function": item.function, "params": item.params, "randomId": random_id}
            sent, received, answer = host.exchange(request)
            print(f"  -> {sent}" + (f"    ({item.note})" if item.note else ""))
            print(f"  <- {received if len(received) <= 240 else received[:200] + ' ...'}")
            show_result(answer)
            item.check(answer, random_id)
        host.finish()
        print("  (input closed; the host ended with exit code 0)")
    finally:
        host.kill()


REFUSED_SETTING = Step("QORA_SetCSPInfo", [2048, "Microsoft Base Cryptographic Provider v1.0"],
                       errorcode=-1610144768, result=False, note="a base provider takes 512 or 1024 bits only")

# Wine takes its interface language from LC_ALL when the Unix side lacks the locale, so both are set.
CHINESE = {"LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8"}

SESSION = [
    Step("QORA_GetVersion", [], result="3.2.0.4"),
    Step("checkHost", [], result=0, note="is the host installed and reachable?"),
    Step("QORA_SetKeyAlgorithm", ["RSA"], result=True),
    Step("QORA_SetCSPInfo", [1024, "Microsoft Enhanced Cryptographic Provider v1.0"], result=True),
    REFUSED_SETTING,
    Step("GetLastErrorDesc", [], note="the text of the refusal"),
    Host("a second host with a Chinese user interface", CHINESE, [
        REFUSED_SETTING,
        Step("GetLastErrorDesc", [], note="the same refusal, in Chinese"),
    ]),
    Step("QORA_GetContainer", [], result="", note="no request made yet"),
    Step("QORA_GetCSPInfo", [], note="the CSPs this computer offers, joined by ||"),
    Step("QORA_HavePermissiontoGenerateKeyPair", [], result=True, note="may key pairs be made here?"),
    Step("QORA_NoSuchFunction", [], errorcode=UNKNOWN_FUNCTION, result=False, note="an unknown function"),
]

SUBJECT = "CN=Demo Customer,OU=Retail,O=Brindlemark Demo Bank,C=CN"


def enrolment(algorithm, key_length, csp, shapes):
    """Settings, then one request per shape (function, certificate type, note), each followed by its container."""
    steps = [Step("QORA_SetKeyAlgorithm", [algorithm], result=True),
             Step("QORA_SetCSPInfo", [key_length, csp], result=True)]
    for function, cert_type, note in shapes:
        steps.append(RequestStep(function, [SUBJECT, cert_type, 0], note=note, algorithm=algorithm,
                                 single=cert_type == 1))
        steps.append(Step("QORA_GetContainer", [], note="the key container of that request"))
    return steps


SESSION += enrolment("RSA", 1024, "Microsoft Base Cryptographic Provider v1.0", [
    ("QORA_PKCS10CertRequisition", 1, "RSA single certificate, SHA-1"),
    ("QORA_PKCS10CertRequisitionwithMD5", 1, "RSA single certificate, MD5"),
])
SESSION += enrolment("RSA", 2048, "Microsoft Enhanced Cryptographic Provider v1.0", [
    ("QORA_PKCS10CertRequisition", 2, "RSA double certificate: signing key plus a temporary 1024-bit exchange key"),
])
SESSION += enrolment("RSA", 2048, "Microsoft Enhanced RSA and AES Cryptographic Provider", [
    ("QORA_PKCS10CertRequisition", 1, "RSA single certificate in the AES provider"),
])
SESSION += enrolment("SM2", 256, "Software SM2 Token CSP v1.0", [
    ("QORA_PKCS10CertRequisition", 1, "SM2 single certificate"),
    ("QORA_PKCS10CertRequisition", 2, "SM2 double certificate: signing key plus a temporary SM2 exchange key"),
])
SESSION += enrolment("RSA", 3072, "Software RSA Token CSP v1.0", [
    ("QORA_PKCS10CertRequisition", 1, "RSA 3072 in the RSA token"),
])


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8")
    try:
        run_steps([argv[1]], "BrindlemarkHost session", {}, SESSION)
    except Misbehaviour as error:
        print(f"!! the host misbehaved: {error}", file=sys.stderr)
        return 1
    print("== session complete")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
