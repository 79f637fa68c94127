#!/usr/bin/python3
"""Key submission against a running ostrakd, beside gpg --import of the same
keys in the same run.

Makes N gpg keys once (RSA with an RSA encryption subkey, one user ID each,
SHA-1 self-signatures; bench/make_lookup_keys.py's generator, kept in the
build's bench-data folder), starts ostrakd on a fresh directory (created
with "ostrakd -n", ForceSyncOnWrite off, anyone may add) and submits every
key as "qoxkey" to the virtual entry with python3-ldap3 (LDAP version 2),
from C client processes at once, each on its own bound connection. Then imports the
same armored keys with one "gpg --import" into a fresh home. Prints keys/s
of both, their ratio (the target is twice gpg's rate), the daemon's CPU time
per key, and the results other than 0. Never run by CI.

Usage: bench/ldap_submit_bench.py <build dir> [--keys N] [--clients C] [--rsa BITS]"""
import argparse
import concurrent.futures
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import ldap3

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_lookup_keys as mk  # noqa: E402

VIRTUAL = "qoxCertID=virtual,OU=ACTIVE,O=QOX KEYSPACE,C=US"

CONFIG = """Port %d
RandSeedFile %s
SecureMode Disabled
Directory ../data
IndexMethod Substring
AccessLogFile ../logs/access.log
LogLevel warning
CycleLogDay Never
ForceSyncOnWrite no
TimeLimit 300
LookupHostname no
DefaultAccess add
Allow ip 127.0.0.* all
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def make_keys(count, rsa, jobs=4):
    """The keys as armored blocks, one per key."""
    per = (count + jobs - 1) // jobs
    work = [(j, min(per, count - j * per), j * per, rsa) for j in range(jobs) if count > j * per]
    blocks = []
    with concurrent.futures.ProcessPoolExecutor(len(work)) as pool:
        for _, exported in pool.map(mk.make_home, work):
            blocks += [mk.armor(k) for k in mk.split_keys(exported)]
    return blocks


def submit(port, blocks):
    server = ldap3.Server("127.0.0.1", port=port, get_info=ldap3.NONE)
    c = ldap3.Connection(server, version=2, raise_exceptions=False, receive_timeout=60, check_names=False,
                         auto_bind=True)
    codes = {}
    for b in blocks:
        c.add(VIRTUAL, object_class="qoxcertificate", attributes={"qoxkey": b.encode()})
        code = c.result["result"]
        codes[code] = codes.get(code, 0) + 1
    c.unbind()
    return codes


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--keys", type=int, default=1000)
    p.add_argument("--clients", type=int, default=4)
    p.add_argument("--rsa", type=int, default=2048)
    a = p.parse_args()
    build = os.path.abspath(a.build)
    daemon = os.path.join(build, "server", "main", "ostrakd")
    cache = os.path.join(build, "bench-data", "submit-keys-%d-rsa%d.asc" % (a.keys, a.rsa))
    if os.path.exists(cache):
        with open(cache) as f:
            blocks = f.read().split("\x00")
    else:
        started = time.time()
        blocks = make_keys(a.keys, a.rsa)
        os.makedirs(os.path.dirname(cache), exist_ok=True)
        with open(cache, "w") as f:
            f.write("\x00".join(blocks))
        print("made %d keys in %.0f s" % (len(blocks), time.time() - started), file=sys.stderr)

    root = tempfile.mkdtemp(prefix="ostrak-submit-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    for d in ("bin", "etc", "data", "logs"):
        os.mkdir(os.path.join(root, d))
    os.symlink(daemon, os.path.join(root, "bin", "ostrakd"))
    port = free_port()
    with open(os.path.join(root, "etc", "ostrakd.conf"), "w") as f:
        f.write(CONFIG % (port, os.path.join(root, "etc", "randseed.bin")))
    with open(os.path.join(root, "etc", "randseed.bin"), "wb") as f:
        f.write(os.urandom(512))
    subprocess.run(["./ostrakd", "-n"], cwd=os.path.join(root, "bin"), check=True, capture_output=True)
    env = dict(os.environ, QOXPATH=os.path.join(root, "etc"))
    proc = subprocess.Popen(["./ostrakd", "-d", "0"], cwd=os.path.join(root, "bin"), env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if proc.poll() is not None or time.time() > deadline:
                    raise SystemExit("ostrakd does not listen")
                time.sleep(0.1)
        shares = [blocks[i::a.clients] for i in range(a.clients)]
        cpu = cpu_seconds(proc.pid)
        started = time.time()
        codes = {}
        # Each client is a process of its own: threads of one interpreter
        # would take turns on its lock and measure the client, not the server.
        with concurrent.futures.ProcessPoolExecutor(a.clients) as pool:
            for part in pool.map(submit, [port] * a.clients, shares):
                for k, v in part.items():
                    codes[k] = codes.get(k, 0) + v
        ours = time.time() - started
        cpu = cpu_seconds(proc.pid) - cpu
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(root, ignore_errors=True)

    home = tempfile.mkdtemp(prefix="submit-gpg-")
    os.chmod(home, 0o700)
    try:
        started = time.time()
        subprocess.run(["gpg", "--homedir", home, "--batch", "--quiet", "--import"], input="".join(blocks).encode(),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        theirs = time.time() - started
        subprocess.run(["gpgconf", "--homedir", home, "--kill", "gpg-agent"], stderr=subprocess.DEVNULL)
    finally:
        shutil.rmtree(home, ignore_errors=True)

    n = len(blocks)
    print("| keys | clients | ostrakd keys/s | daemon CPU/key (ms) | gpg --import keys/s | ratio | results |")
    print("|---:|---:|---:|---:|---:|---:|---|")
    print("| %d | %d | %.0f | %.2f | %.0f | %.2f | %s |" % (n, a.clients, n / ours, 1000 * cpu / n, n / theirs,
                                                          theirs / ours, codes))


if __name__ == "__main__":
    main()
