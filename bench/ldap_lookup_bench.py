#!/usr/bin/python3
"""Key lookups against a running ostrakd, as a key client makes them.

Makes the keys once with gpg (bench/make_lookup_keys.py, kept in the build's
bench-data folder), and for each directory size: lays out a run root (in
/dev/shm when it exists), creates the databases with "ostrakd -n", stores the
first N keys through tests/integration's ldbm_test_loader (one certificate
entry with the armored key block and one user-ID entry per user ID), starts
ostrakd on a free port with the sample configuration's settings and drives
it with bench/ldap_lookup_driver:

  search      1 client, one bound connection, (qoxkeyid=...) for qoxkey
  substring   1 client, one bound connection, (qoxuserid=Lookup User n *)
  lookup      1, 8 and 64 clients, each lookup a new connection: connect,
              bind, search (qoxkeyid=...) for qoxkey, unbind

and prints lookups/s, p50 and p99 (microseconds), the daemon's CPU time per
lookup (user and system, from /proc), the daemon's peak RSS
(VmHWM) and the directory's disk bytes per key (allocated blocks of every
file). Never run by CI.

Usage: bench/ldap_lookup_bench.py <build dir> [--sizes 10000,100000]
           [--seconds S] [--daemon-cpus LIST] [--client-cpus LIST] [--keys DIR]"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

CONFIG = """Port %d
SecureMode Disabled
Directory ../data
IndexMethod Substring
AccessLogFile ../logs/access.log
AccessLogFormat standard
AccessLogDetails bind add modify search delete
LogLevel warning
CycleLogDay Never
SizeLimit 500
TimeLimit 300
LookupHostname no
DefaultAccess add
Allow ip 127.0.0.* all
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def first_keys(entries, count, out):
    """Writes the entries of the first count keys (a key starts at its
    certificate entry) and returns how many were written."""
    keys = 0
    with open(entries) as src, open(out, "w") as dst:
        block = []
        for line in src:
            if line.startswith("dn: QOXCERTID="):
                if keys == count:
                    break
                keys += 1
            dst.write(line)
    return keys


def disk_bytes(path):
    total = 0
    for d, _, files in os.walk(path):
        for f in files:
            total += os.stat(os.path.join(d, f)).st_blocks * 512
    return total


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pinned(cmd, cpus):
    return (["taskset", "-c", cpus] + cmd) if cpus else cmd


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--sizes", default="10000,100000")
    p.add_argument("--seconds", type=float, default=5)
    p.add_argument("--daemon-cpus", default="")
    p.add_argument("--client-cpus", default="")
    p.add_argument("--keys", help="a folder made by make_lookup_keys.py (default: made in the build)")
    p.add_argument("--keep", action="store_true", help="leave the run roots")
    a = p.parse_args()
    build = os.path.abspath(a.build)
    daemon = os.path.join(build, "server", "main", "ostrakd")
    loader = os.path.join(build, "tests", "integration", "ldbm_test_loader")
    driver = os.path.join(build, "bench", "ldap_lookup_driver")
    sizes = [int(s) for s in a.sizes.split(",")]
    keys_dir = a.keys or os.path.join(build, "bench-data", "lookup-keys-%d" % max(sizes))
    if not os.path.exists(os.path.join(keys_dir, "entries.txt")):
        subprocess.run([sys.executable, os.path.join(HERE, "make_lookup_keys.py"), keys_dir, str(max(sizes))],
                       check=True)

    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    rows = []
    for size in sizes:
        root = tempfile.mkdtemp(prefix="ostrak-lookup-", dir=base)
        for d in ("bin", "etc", "data", "logs"):
            os.mkdir(os.path.join(root, d))
        os.symlink(daemon, os.path.join(root, "bin", "ostrakd"))
        port = free_port()
        with open(os.path.join(root, "etc", "ostrakd.conf"), "w") as f:
            f.write(CONFIG % port)
        subprocess.run(["./ostrakd", "-n"], cwd=os.path.join(root, "bin"), check=True, capture_output=True)
        subset = os.path.join(root, "entries.txt")
        loaded = first_keys(os.path.join(keys_dir, "entries.txt"), size, subset)
        with open(os.path.join(keys_dir, "keyids.txt")) as f:
            ids = [line for line in f][:loaded]
        ids_file = os.path.join(root, "keyids.txt")
        with open(ids_file, "w") as f:
            f.writelines(ids)
        started = time.time()
        with open(subset) as src:
            subprocess.run([loader, os.path.join(root, "data")], stdin=src, stdout=subprocess.DEVNULL, check=True)
        print("loaded %d keys in %.0f s" % (loaded, time.time() - started), file=sys.stderr)
        os.remove(subset)
        per_key = disk_bytes(os.path.join(root, "data")) / loaded

        proc = subprocess.Popen(pinned(["./ostrakd", "-d", "0"], a.daemon_cpus), cwd=os.path.join(root, "bin"),
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
            runs = [("search", 1), ("substring", 1), ("lookup", 1), ("lookup", 8), ("lookup", 64)]
            for mode, clients in runs:
                # A short warm-up run first, so every run sees a warm cache.
                subprocess.run(pinned([driver, str(port), ids_file, mode, str(clients), "1"], a.client_cpus),
                               check=True, capture_output=True)
                cpu = cpu_seconds(proc.pid)
                out = subprocess.run(pinned([driver, str(port), ids_file, mode, str(clients), str(a.seconds)],
                                            a.client_cpus), check=True, capture_output=True, text=True).stdout
                cpu = cpu_seconds(proc.pid) - cpu
                f = out.split()
                done = max(int(f[2]), 1)
                rows.append((size, mode, clients, float(f[4]), float(f[5]), float(f[6]), 1e6 * cpu / done,
                             int(f[7]), peak_rss_kb(proc.pid), per_key))
                print("%7d %-9s %3d %9.0f/s p50 %8.1f us p99 %8.1f us cpu %6.1f us errors %d rss %6d kB "
                      "%6.0f B/key" % rows[-1], file=sys.stderr)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                proc.kill()
            if not a.keep:
                shutil.rmtree(root, ignore_errors=True)

    print("| keys | run | clients | lookups/s | p50 (us) | p99 (us) | daemon CPU/lookup (us) | errors "
          "| peak RSS (kB) | disk bytes/key |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        print("| %d | %s | %d | %.0f | %.1f | %.1f | %.1f | %d | %d | %.0f |" % r)
    by = {(r[0], r[1], r[2]): r for r in rows}
    if len(sizes) >= 2:
        lo, hi = sizes[0], sizes[-1]
        for mode in ("search", "substring"):
            if (lo, mode, 1) in by and (hi, mode, 1) in by:
                slow = by[(lo, mode, 1)][3] / by[(hi, mode, 1)][3] - 1
                print("%s slowdown %d -> %d keys (1 client): %+.1f %%" % (mode, lo, hi, 100 * slow))


if __name__ == "__main__":
    main()
