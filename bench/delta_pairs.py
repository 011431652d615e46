"""Helpers of delta-benchmark.sh.

  delta_pairs.py debian PAIRS_DIR   unpacks each Debian package cached in two
                                    versions into PAIRS_DIR/debian-old and -new
  delta_pairs.py ways OUT_DIR       beside OUT_DIR's update.ini and version folder
                                    v2, makes OUT_DIR/<way>/ for plain, zst and
                                    patch: a descriptor and a v2 that holds the
                                    version folder's files and that way's index
  delta_pairs.py same NEW APP        exits 1 unless every file of NEW is in APP
  delta_pairs.py sent               sums the body bytes of nginx log lines on stdin
  delta_pairs.py measure OUT CMD... runs CMD; its wall time and peak memory to OUT
  delta_pairs.py report RESULTS     prints the table of the results file
"""
import collections
import functools
import glob
import hashlib
import os
import resource
import subprocess
import sys
import time


def debian(pairs):
    def version(deb):
        return subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True,
                              text=True).stdout.strip()

    def order(a, b):
        lower = subprocess.run(["dpkg", "--compare-versions", version(a), "lt", version(b)])
        return -1 if lower.returncode == 0 else 1

    debs = collections.defaultdict(list)
    for deb in glob.glob("/var/cache/apt/archives/*.deb"):
        debs[os.path.basename(deb).split("_")[0]].append(deb)
    for _, pair in sorted(debs.items()):
        if len(pair) == 2:
            pair.sort(key=functools.cmp_to_key(order))
            for side, deb in zip(("old", "new"), pair):
                subprocess.run(["dpkg-deb", "-x", deb, os.path.join(pairs, "debian-" + side)],
                               check=True)
    # A release holds files: the packages' symbolic links are not published.
    for side in ("old", "new"):
        for folder, dirs, files in os.walk(os.path.join(pairs, "debian-" + side)):
            for name in dirs + files:
                if os.path.islink(os.path.join(folder, name)):
                    os.remove(os.path.join(folder, name))


def ways(out):
    ini = open(os.path.join(out, "update.ini"), "rb").read().split(b"\n")
    index_path = os.path.join(out, "v2", "index.txt")
    index = open(index_path, "rb").read() if os.path.exists(index_path) else b""
    indexes = {"plain": None, "patch": index,
               "zst": b"".join(line + b"\n" for line in index.split(b"\n")
                               if line.startswith(b"zst\t"))}
    for way, body in indexes.items():
        folder = os.path.join(out, way, "v2")
        os.makedirs(folder)
        for entry in os.listdir(os.path.join(out, "v2")):
            if entry != "index.txt":
                os.symlink(os.path.join(out, "v2", entry), os.path.join(folder, entry))
        lines = [line for line in ini if not line.startswith(b"Index=")]
        if body:
            open(os.path.join(folder, "index.txt"), "wb").write(body)
            lines.insert(lines.index(b"[Version]") + 1,
                         b"Index=" + hashlib.sha256(body).hexdigest().encode())
        open(os.path.join(out, way, "update.ini"), "wb").write(b"\n".join(lines))


def same(new, app):
    # Every file of NEW, with its bytes, in the installation (which keeps files that
    # NEW no longer has: the updater deletes nothing).
    unpublished = ("update/", "bin/update/", "system.cfg", "bin/system.cfg", "update_md5.info",
                   "update_sequence.info")
    for folder, _, files in os.walk(new):
        for name in files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, new)
            if relative.startswith(unpublished) or relative.endswith(".old"):
                continue  # never published, so never installed
            other = os.path.join(app, relative)
            if not os.path.isfile(other) or open(path, "rb").read() != open(other, "rb").read():
                print("differs: " + os.path.relpath(path, new))
                sys.exit(1)


def sent():
    # combined format: ... "GET /x HTTP/1.1" 200 1234 "-" "agent"
    total = 0
    for line in sys.stdin:
        fields = line.split('"')
        if len(fields) > 2:
            status_bytes = fields[2].split()
            if len(status_bytes) >= 2 and status_bytes[1].isdigit():
                total += int(status_bytes[1])
    print(total)


def measure(out, command):
    """Runs command; writes its wall time (s), peak RSS (KiB, file mappings included)
    and peak anonymous memory (KiB, sampled every 5 ms from /proc) to out. Exits with
    the command's status."""
    start = time.monotonic()
    child = subprocess.Popen(command)
    anon = 0
    while child.poll() is None:
        try:
            with open("/proc/%d/status" % child.pid) as status:
                for line in status:
                    if line.startswith("RssAnon:"):
                        anon = max(anon, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.005)
    wall = time.monotonic() - start
    rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    with open(out, "w") as f:
        f.write("%.3f %d %d\n" % (wall, rss, anon))
    sys.exit(child.returncode)


def report(path):
    rows = collections.OrderedDict()
    for line in open(path):
        name, way, wall, rss, anon, bytes_sent = line.split()
        rows.setdefault(name, {})[way] = (float(wall), int(rss), int(anon), int(bytes_sent))
    print()
    print("%-10s %-8s %13s %8s %9s %9s %9s" % ("pair", "way", "bytes sent", "% plain", "wall (s)",
                                               "peak MiB", "anon MiB"))
    for name, ways_ in rows.items():
        plain = ways_["plain"][3] or 1
        for way in ("plain", "zst", "patch", "publish"):
            wall, rss, anon, bytes_sent = ways_[way]
            if way == "publish":
                print("%-10s %-8s %13s %8s %9.2f %9.1f %9.1f" % (name, "publish", "-", "", wall, rss / 1024,
                                                               anon / 1024))
            else:
                print("%-10s %-8s %13d %8.1f %9.2f %9.1f %9.1f"
                      % (name, way, bytes_sent, 100.0 * bytes_sent / plain, wall, rss / 1024, anon / 1024))


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "debian":
        debian(sys.argv[2])
    elif command == "ways":
        ways(sys.argv[2])
    elif command == "same":
        same(sys.argv[2], sys.argv[3])
    elif command == "sent":
        sent()
    elif command == "measure":
        measure(sys.argv[2], sys.argv[3:])
    elif command == "report":
        report(sys.argv[2])
