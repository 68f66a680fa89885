#!/usr/bin/env python3
"""Packs five mail folders with the program (headless) and with Info-ZIP side by side, and prints
wall time, CPU time, peak memory and archive size of both with their ratios, and the program's
wall time against its floor.

    bench/compare_zip.py [--runs N] [--only mail|mixed|last|huge|small] [--small-files N] [--program PATH]
    bench/compare_zip.py --scaling [N,N,...] [--runs N] [--program PATH]

The folders are generated under build/bench (never committed) from a fixed seed, once; later runs
reuse them. The two programs run in alternation, each N times (3 by default); the median of each
figure is printed. The program's release build (build/release/mailbale) is brought up to date first.
MAILBALE_THREADS passes through to the program.

--scaling runs the program alone on folders of small mails of each size given (25,000, 50,000 and
100,000 by default) and prints time and peak memory per file for each, so that one sees whether the
cost of a file stays the same as the folder grows. The smaller folders are hard links to the first
files of the largest one, which are the files a folder of that size would be generated with.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

TIME = "/usr/bin/time"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "bench")
CORPUS_VERSION = "2"
CORES = os.cpu_count() or 1

WORDS = ("the order invoice payment delivery please find attached regards thank you for your "
         "message meeting tomorrow office account balance statement customer service request "
         "shipment tracking number reference confirm received kind dear team schedule report "
         "quarter update contract signed copy review questions call back monday friday week "
         "price quote discount total amount due date overdue reminder support ticket closed").split()
NAMES = "anna ben clara david emma frank grace henry iris jack karen leo mia noah olga paul".split()
DOMAINS = "example.com vandrel.net mail.example.org shop.example.de".split()


def mail_headers(rng, n, extra=""):
    who = rng.choice(NAMES)
    return (f"Return-Path: <{who}@{rng.choice(DOMAINS)}>\r\n"
            f"Received: from mx{rng.randrange(1, 9)}.{rng.choice(DOMAINS)} by mail.vandrel.net; "
            f"Mon, {rng.randrange(1, 28)} Dec 2026 {rng.randrange(24):02d}:{rng.randrange(60):02d}:00 +0100\r\n"
            f"From: {who.title()} <{who}@{rng.choice(DOMAINS)}>\r\n"
            f"To: office@vandrel.net\r\nSubject: {' '.join(rng.choices(WORDS, k=5))} #{n}\r\n"
            f"Message-ID: <{rng.getrandbits(64):016x}@{rng.choice(DOMAINS)}>\r\n"
            f"MIME-Version: 1.0\r\n{extra}\r\n")


def text_body(rng, size):
    lines = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(WORDS, k=rng.randrange(6, 14)))
        if rng.random() < 0.2:
            line += f" {rng.randrange(100000)} EUR"
        lines.append(line)
        total += len(line) + 2
    return "\r\n".join(lines) + "\r\n"


def base64_body(rng, size):
    import base64
    raw = rng.randbytes(size * 3 // 4)
    text = base64.b64encode(raw).decode()
    return "\r\n".join(text[i:i + 76] for i in range(0, len(text), 76)) + "\r\n"


def write(path, text):
    with open(path, "wb") as f:
        f.write(text.encode("latin-1"))


def make_mail_corpus(folder):
    """About 40 MB: 2,000 mails of 1-100 KB, most of them small (text, some with attachments), and
    four messages of 3-4 MB carrying base64 attachments."""
    rng = random.Random(1301)
    os.makedirs(folder)
    n = 0
    for n in range(1, 2001):
        size = int(1024 * 100 ** (rng.random() ** 2))  # 1 KB to 100 KB, most of them small
        head = mail_headers(rng, n)
        if rng.random() < 0.15 and size > 8192:
            boundary = f"b{rng.getrandbits(32):08x}"
            head = mail_headers(rng, n, f'Content-Type: multipart/mixed; boundary="{boundary}"\r\n')
            body = (f"--{boundary}\r\nContent-Type: text/plain\r\n\r\n" + text_body(rng, size // 3) +
                    f"--{boundary}\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                    base64_body(rng, size * 2 // 3) + f"--{boundary}--\r\n")
        else:
            body = text_body(rng, size)
        write(os.path.join(folder, f"{n:05d}.eml"), head + body)
    for k, megabytes in enumerate((4, 4, 3, 3)):
        boundary = f"big{k}"
        head = mail_headers(rng, n + k, f'Content-Type: multipart/mixed; boundary="{boundary}"\r\n')
        body = (f"--{boundary}\r\nContent-Type: text/plain\r\n\r\n" + text_body(rng, 4000) +
                f"--{boundary}\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                base64_body(rng, megabytes << 20) + f"--{boundary}--\r\n")
        write(os.path.join(folder, f"attach{k}.eml"), head + body)


def make_mixed_corpus(folder):
    """About 30 MB, a few large mails among many small ones: 1,662 mails of 1-100 KB around two of
    4.3 and 3.2 MB of base64 attachments, placed early in the folder's order, where a worker
    compressing one of them must not keep the others from going on with the small ones behind it."""
    rng = random.Random(1303)
    os.makedirs(folder)
    large = {40: 4.3, 300: 3.2}
    for n in range(1, 1665):
        if n in large:
            boundary = f"big{n}"
            head = mail_headers(rng, n, f'Content-Type: multipart/mixed; boundary="{boundary}"\r\n')
            body = (f"--{boundary}\r\nContent-Type: text/plain\r\n\r\n" + text_body(rng, 3000) +
                    f"--{boundary}\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                    base64_body(rng, int(large[n] * 1e6)) + f"--{boundary}--\r\n")
        else:
            size = int(1024 * 100 ** (rng.random() ** 2))  # 1 KB to 100 KB, most of them small
            head, body = mail_headers(rng, n), text_body(rng, size)
        write(os.path.join(folder, f"{n:05d}.eml"), head + body)


def large_mail(rng, n, megabytes, kind="application/pdf"):
    boundary = f"big{n}"
    head = mail_headers(rng, n, f'Content-Type: multipart/mixed; boundary="{boundary}"\r\n')
    return head + (f"--{boundary}\r\nContent-Type: text/plain\r\n\r\n" + text_body(rng, 3000) +
                   f"--{boundary}\r\nContent-Type: {kind}\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                   base64_body(rng, int(megabytes * 1e6 * 76 / 78)) + f"--{boundary}--\r\n")


def make_last_corpus(folder):
    """About 40 MB whose largest mail (4.3 MB of base64 attachment) sorts last: 2,000 mails of
    1-100 KB with three of 3.0-3.5 MB early and in the middle, then the largest. Compressed one item
    to a worker in the folder's order, it would run on one core while the others wait."""
    rng = random.Random(1304)
    os.makedirs(folder)
    large = {300: 3.0, 900: 3.5, 1500: 3.2}
    for n in range(1, 2001):
        if n in large:
            text = large_mail(rng, n, large[n])
        else:
            size = int(1024 * 100 ** (rng.random() ** 2))  # 1 KB to 100 KB, most of them small
            text = mail_headers(rng, n) + text_body(rng, size)
        write(os.path.join(folder, f"{n:05d}.eml"), text)
    write(os.path.join(folder, "zz-largest.eml"), large_mail(rng, 2001, 4.3))


def make_huge_corpus(folder):
    """One mail of 24 MB (a base64 attachment, as mail servers pass) among 300 mails of 1-100 KB:
    one item much larger than all the others together."""
    rng = random.Random(1305)
    os.makedirs(folder)
    for n in range(1, 302):
        if n == 120:
            text = large_mail(rng, n, 24.0, "application/zip")
        else:
            size = int(1024 * 100 ** (rng.random() ** 2))
            text = mail_headers(rng, n) + text_body(rng, size)
        write(os.path.join(folder, f"{n:05d}.eml"), text)


def make_small_corpus(folder, count):
    """count mails of 0.1-2.4 KB."""
    rng = random.Random(1302)
    os.makedirs(folder)
    for n in range(1, count + 1):
        size = rng.randrange(100, 2458)
        text = (mail_headers(rng, n) + text_body(rng, size))[:size]
        write(os.path.join(folder, f"m{n:06d}.eml"), text)


def corpus(name, make):
    folder = os.path.join(WORK, "corpus-" + name)
    stamp = os.path.join(WORK, "corpus-" + name + ".done")
    if not (os.path.exists(stamp) and open(stamp).read() == CORPUS_VERSION):
        shutil.rmtree(folder, ignore_errors=True)
        print(f"generating {folder} ...", flush=True)
        make(folder)
        with open(stamp, "w") as f:
            f.write(CORPUS_VERSION)
    return folder


def run(argv, cwd, env, log):
    """Runs argv; returns wall seconds, CPU seconds (user + system) and peak RSS in KB of that
    process alone. GNU time starts it: a child forked from this (large) Python process would carry
    Python's memory in its peak figure."""
    figures = os.path.join(WORK, "time.out")
    with open(log, "wb") as out:
        start = time.perf_counter()
        status = subprocess.run([TIME, "-o", figures, "-f", "%U %S %M"] + argv, cwd=cwd, env=env, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{argv[0]} failed with status {status}; see {log}")
    user, system, rss = open(figures).read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def small_corpus(n, whole=None):
    """The folder of n small mails: hard links to the first n files of the folder whole (generated
    for a larger count) when it is given, generated otherwise."""
    if whole is None:
        return corpus(f"small{n}", lambda f: make_small_corpus(f, n))

    def link(folder):
        os.makedirs(folder)
        for k in range(1, n + 1):
            name = f"m{k:06d}.eml"
            os.link(os.path.join(whole, name), os.path.join(folder, name))
    return corpus(f"small{n}", link)


def folder_size(folder, names=None):
    total = 0
    for entry in os.scandir(folder):
        if entry.is_file() and (names is None or names(entry.name)):
            total += entry.stat().st_size
    return total


def run_program(program, source):
    """The job on a machine folder whose LOG_EML is a link to source."""
    machine = os.path.join(WORK, "machine")
    server = os.path.join(machine, "drive_c", "Vandrel")
    shutil.rmtree(machine, ignore_errors=True)
    os.makedirs(server)
    os.symlink(source, os.path.join(server, "LOG_EML"))
    with open(os.path.join(machine, "registry.reg"), "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Data Access Corporation\\Visual DataFlex\\7\\"
                "Workspaces\\Vandrel]\n\"Srvr_Path\"=\"C:\\\\Vandrel\"\n")
    tmp = os.path.join(WORK, "tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    env = dict(os.environ, MAILBALE_MACHINE=machine, MAILBALE_UI="headless", TMPDIR=tmp)
    figures = run([program], machine, env, os.path.join(WORK, "program.log"))
    if not os.path.exists(os.path.join(server, "Kelmail.zip")):
        sys.exit("the program wrote no Kelmail.zip; see " + os.path.join(WORK, "program.log"))
    if os.listdir(tmp):
        sys.exit("the program left temporary files in " + tmp)
    size = folder_size(server, lambda name: name.lower().startswith("kelmail."))
    return figures + (size,)


def run_infozip(source):
    out = os.path.join(WORK, "infozip")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    figures = run(["zip", "-q", "-9", "-j", "-r", "-s", "2m", os.path.join(out, "Kelmail.zip"), source], out,
                  dict(os.environ), os.path.join(WORK, "infozip.log"))
    return figures + (folder_size(out),)


def report(title, files, ours, theirs, wall_goal, floor_goal):
    print(f"\n{title}: {files} files, {folder_size_cache[title] / 1e6:.1f} MB")
    print(f"{'':24}{'Info-ZIP':>14}{'mailbale':>14}{'ratio':>10}")
    labels = ("wall time (s)", "CPU time (s)", "peak RSS (MB)", "archive (bytes)")
    for k, label in enumerate(labels):
        a = statistics.median(r[k] for r in theirs)
        b = statistics.median(r[k] for r in ours)
        if k == 2:
            a, b = a / 1024, b / 1024
        fmt = "{:>14.0f}" if k == 3 else "{:>14.2f}"
        print(f"{label:24}" + fmt.format(a) + fmt.format(b) + f"{b / a:>9.2f}x")
    wall = statistics.median(r[0] for r in ours) / statistics.median(r[0] for r in theirs)
    rss_mb = statistics.median(r[2] for r in ours) / 1024
    rss_goal = 24 + 0.3 * files / 1024
    size = statistics.median(r[3] for r in ours) / statistics.median(r[3] for r in theirs)
    verdict = lambda ok: "met" if ok else "NOT met"
    # The program's floor: the first timer tick (0.1 s) before the job begins, then its CPU time
    # spread over every core.
    ours_wall = statistics.median(r[0] for r in ours)
    floor = 0.1 + statistics.median(r[1] for r in ours) / CORES
    print(f"{'floor (s)':24}{'':>14}{floor:>14.2f}{ours_wall / floor:>9.2f}x   (0.1 s + CPU time / {CORES} cores)")
    wall_verdict = "" if wall_goal is None else f"wall <= {wall_goal:.2f}x Info-ZIP's: {verdict(wall <= wall_goal)}; "
    print(f"goals: {wall_verdict}wall <= {floor_goal:.2f}x the floor: "
          f"{verdict(ours_wall <= floor_goal * floor)}; archive <= Info-ZIP's: "
          f"{verdict(size <= 1)}; peak RSS <= {rss_goal:.1f} MB: {verdict(rss_mb <= rss_goal)}")


folder_size_cache = {}


def scaling(program, sizes, runs):
    """Time and peak memory per file for folders of each size; flat figures mean linear cost."""
    sizes = sorted(sizes)
    whole = small_corpus(sizes[-1])
    folders = [(n, whole if n == sizes[-1] else small_corpus(n, whole)) for n in sizes]
    threads = os.environ.get("MAILBALE_THREADS", "default")
    print(f"{os.cpu_count()} hardware threads, MAILBALE_THREADS={threads}, {runs} runs each, medians")
    print(f"\n{'files':>8}{'wall (s)':>10}{'CPU (s)':>10}{'wall/file':>11}{'CPU/file':>10}"
          f"{'peak RSS':>10}{'allowed':>9}{'+RSS/file':>10}")
    rows = []
    for n, source in folders:
        results = [run_program(program, source) for _ in range(runs)]
        wall = statistics.median(r[0] for r in results)
        cpu = statistics.median(r[1] for r in results)
        rss_mb = statistics.median(r[2] for r in results) / 1024
        allowed = 24 + 0.3 * n / 1024
        # Memory a file adds: the growth of the peak from the previous size over the files added.
        per_file = "" if not rows else f"{(rss_mb - rows[-1][3]) * 1024 * 1024 / (n - rows[-1][0]):.0f} B"
        rows.append((n, wall, cpu, rss_mb))
        verdict = "" if rss_mb <= allowed else " NOT met"
        print(f"{n:>8}{wall:>10.2f}{cpu:>10.2f}{wall / n * 1e6:>8.0f} us{cpu / n * 1e6:>7.0f} us"
              f"{rss_mb:>7.1f} MB{allowed:>6.1f} MB{per_file:>10}{verdict}", flush=True)
    first, last = rows[0], rows[-1]
    print(f"\nper-file cost at {last[0]} files against {first[0]}: wall {last[1] / last[0] / (first[1] / first[0]):.2f}x, "
          f"CPU {last[2] / last[0] / (first[2] / first[0]):.2f}x (1.00x is linear)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", choices=("mail", "mixed", "last", "huge", "small"))
    parser.add_argument("--small-files", type=int, default=20000)
    parser.add_argument("--program", help="a program to run instead of the release build, which is then not built")
    parser.add_argument("--scaling", nargs="?", const="25000,50000,100000", metavar="N,N,...",
                        help="time and memory per file of the program alone on folders of these sizes")
    args = parser.parse_args()
    if shutil.which("zip") is None or not os.path.exists(TIME):
        sys.exit("Info-ZIP's zip and GNU time are needed (apt-get install zip time)")
    if args.program is None:
        build = os.path.join(ROOT, "build", "release")
        args.program = os.path.join(build, "mailbale")
        if not os.path.exists(os.path.join(build, "build.ninja")):
            subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                            "-DMAILBALE_TESTS=OFF", "-DMAILBALE_BENCH=OFF"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "mailbale"], check=True, stdout=subprocess.DEVNULL)
    # The program runs in the machine folder: a path given relative to here must still find it.
    args.program = os.path.abspath(args.program)
    os.makedirs(WORK, exist_ok=True)
    if args.scaling is not None:
        scaling(args.program, [int(n) for n in args.scaling.split(",")], args.runs)
        return
    sets = []
    # (title, folder, goal of wall time against Info-ZIP's, goal against the floor)
    if args.only in (None, "mail"):
        sets.append(("40 MB mail corpus", corpus("mail", make_mail_corpus), 0.5, 1.10))
    if args.only in (None, "mixed"):
        sets.append(("two large mails among small ones", corpus("mixed", make_mixed_corpus), 0.5, 1.10))
    if args.only in (None, "last"):
        sets.append(("40 MB, the largest mail last", corpus("last", make_last_corpus), 0.56, 1.10))
    if args.only in (None, "huge"):
        sets.append(("one 24 MB mail among 300 small ones", corpus("huge", make_huge_corpus), None, 1.15))
    if args.only in (None, "small"):
        n = args.small_files
        sets.append((f"{n} small mails", small_corpus(n), 1.0, 1.10))
    threads = os.environ.get("MAILBALE_THREADS", "default")
    print(f"{os.cpu_count()} hardware threads, MAILBALE_THREADS={threads}, {args.runs} runs each, medians")
    for title, source, wall_goal, floor_goal in sets:
        folder_size_cache[title] = folder_size(source)
        ours, theirs = [], []
        for _ in range(args.runs):
            theirs.append(run_infozip(source))
            ours.append(run_program(args.program, source))
        report(title, len(os.listdir(source)), ours, theirs, wall_goal, floor_goal)


if __name__ == "__main__":
    main()
