#!/usr/bin/python3
"""Runs every benchmark of b64filter and writes notes/benchmarks.md and
notes/benchmarks.svg. Called by tests/bench/run, which builds the programs first.

The machine is shared, so every comparison is made pair by pair: the two
programs of a comparison run back to back, in alternate order from pair to
pair, the ratio is taken within the pair, and the tables give the median
(with the quartiles for the whole-process ratios), min and max over the pairs.
Latency (tests/bench/latency.py) is measured last, piece by piece. The image's
instruction and stack counts on the emulated CPU (image_counts) are counts,
not times: the same on every run.
"""
import argparse
import base64
import collections
import contextlib
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

import latency

CHUNK = 57
# A line of the filter's text: 76 characters and CR LF.
TEXT_LINE = 78
# The decoders' key among the micro results.
DECODE = "decode"
# Peak memory and heap allocations hardly vary from run to run: five runs each.
COUNT_RUNS = 5


def log(message):
    print(message, file=sys.stderr, flush=True)


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return ""


def spread(values):
    """(median, min, max) of a list of numbers."""
    return statistics.median(values), min(values), max(values)


# ---------------------------------------------------------------- micro

def run_micro(encode_bench, runs):
    """Each run of encode_bench times every pair (EncodeChunk, EVP_EncodeBlock)
    for n = 57 .. 1, the two of a pair one right after the other, and then
    (DecodeChunk, EVP_DecodeBlock) on 78-byte lines of text. Returns
    {n: {"ours": [ns...], "evp": [ns...], "ratio": [...]}} with one entry per
    run, the decoders' under DECODE."""
    results = {n: {"ours": [], "evp": [], "ratio": []} for n in list(range(1, CHUNK + 1)) + [DECODE]}
    for run in range(runs):
        log(f"micro: run {run + 1} of {runs}")
        with on_cpus(PROGRAM_CPUS):
            out = subprocess.run([encode_bench, "--benchmark_format=json", "--benchmark_min_time=0.05"],
                                 capture_output=True, text=True, check=True).stdout
        times = {}
        for b in json.loads(out)["benchmarks"]:
            name, n = b["name"].split("/")
            # CPU time: the time the thread ran, which another process on the
            # machine disturbs less than wall time.
            times[(name, int(n))] = b["cpu_time"]
        pairs = [(n, ("EncodeChunk", n), ("EVP_EncodeBlock", n)) for n in range(1, CHUNK + 1)]
        pairs.append((DECODE, ("DecodeChunk", TEXT_LINE), ("EVP_DecodeBlock", TEXT_LINE)))
        for key, a, b in pairs:
            ours, evp = times[a], times[b]
            results[key]["ours"].append(ours)
            results[key]["evp"].append(evp)
            results[key]["ratio"].append(ours / evp)
    return results


# ---------------------------------------------------------------- whole process

SCENARIOS = [
    ("file", "file"),
    ("file", "pipe"),
    ("pipe", "file"),
    ("pipe", "pipe"),
]


# The decoder is compared end to end on the filter's own text in these.
DECODE_SCENARIOS = [
    ("file", "file"),
    ("pipe", "pipe"),
]


def cpu_placement():
    """(program's CPUs, helpers' CPUs). With two CPUs or more, the program runs
    on one and the cat processes that feed and drain it on the others, so that
    the scheduler does not move them about from round to round: pipe runs
    vary far less that way. With one CPU, everything shares it."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return set(cpus), set(cpus)
    return {cpus[-1]}, set(cpus[:-1])


PROGRAM_CPUS, HELPER_CPUS = cpu_placement()


@contextlib.contextmanager
def on_cpus(cpus):
    """Children started inside the block stay on cpus (and their children with
    them): they inherit it from this process, pinned there meanwhile. Not a
    preexec_fn: that runs Python in the forked child before exec, some 9 ms of
    CPU time that wait4 counts as the program's own."""
    saved = os.sched_getaffinity(0)
    os.sched_setaffinity(0, cpus)
    try:
        yield
    finally:
        os.sched_setaffinity(0, saved)


def run_pipeline(argv, input_path, input_kind, output_path, output_kind):
    """Runs argv with standard input from a file or through a pipe (fed by
    cat), standard output to a file or into a pipe (drained by cat into
    /dev/null). Returns the wall time from the first start to the last exit."""
    procs = []
    start = time.perf_counter()
    if input_kind == "file":
        stdin = open(input_path, "rb")
    else:
        with on_cpus(HELPER_CPUS):
            feeder = subprocess.Popen(["cat", input_path], stdout=subprocess.PIPE)
        procs.append(feeder)
        stdin = feeder.stdout
    if output_kind == "file":
        stdout = open(output_path, "wb")
    else:
        stdout = subprocess.PIPE
    with on_cpus(PROGRAM_CPUS):
        filt = subprocess.Popen(argv, stdin=stdin, stdout=stdout)
    procs.append(filt)
    stdin.close()
    if output_kind == "file":
        stdout.close()
    else:
        with on_cpus(HELPER_CPUS):
            drain = subprocess.Popen(["cat"], stdin=filt.stdout, stdout=subprocess.DEVNULL)
        procs.append(drain)
        filt.stdout.close()
    # The filter's own CPU time (user + system) comes with its exit status.
    _, status, usage = os.wait4(filt.pid, 0)
    filt.returncode = os.waitstatus_to_exitcode(status)
    codes = [p.wait() for p in procs]
    elapsed = time.perf_counter() - start
    if any(codes):
        raise RuntimeError(f"{argv[0]} ({input_kind} -> {output_kind}) exited with {codes}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_utime


# One run of a program: wall seconds of the pipeline, CPU seconds (user +
# system) and user seconds of the program's own process.
Timed = collections.namedtuple("Timed", "wall cpu user")
# One pair of a comparison: the first program's run and the second's, back to back.
Pair = collections.namedtuple("Pair", "first second")


def run_pairs(programs, comparisons, scenarios, input_path, work_dir, rounds, what):
    """Times each comparison (first key, second key) pair by pair: for each
    scenario (input kind, output kind), round after round, each comparison's
    two programs run back to back, first then second in even rounds and
    second then first in odd ones, so that drift of the machine's load falls
    on both sides alike and a ratio is only ever taken within one pair. programs:
    {key: argv}. Returns {scenario: {(first, second): [Pair...]}}, one Pair a
    round."""
    output_path = os.path.join(work_dir, "out")
    pairs = {scenario: {c: [] for c in comparisons} for scenario in scenarios}
    for scenario in scenarios:
        for run in range(rounds):
            log(f"{what}: {scenario[0]} -> {scenario[1]}, round {run + 1} of {rounds}")
            for comparison in comparisons:
                order = comparison if run % 2 == 0 else comparison[::-1]
                timed = {key: Timed(*run_pipeline(programs[key], input_path, scenario[0], output_path,
                                                  scenario[1]))
                         for key in order}
                pairs[scenario][comparison].append(Pair(*(timed[key] for key in comparison)))
    if os.path.exists(output_path):
        os.remove(output_path)
    return pairs


def runs_of(pairs, key, field="wall"):
    """Every run of one program in one scenario's pairs, in whatever pair it was timed."""
    return [getattr(p[i], field) for comparison, ps in pairs.items() for p in ps
            for i in (0, 1) if comparison[i] == key]


def ratios(pairs, field="wall"):
    """first ÷ second of each pair."""
    return [getattr(p.first, field) / getattr(p.second, field) for p in pairs]


def check_decoders(programs, text_path, data_path, work_dir):
    """Before timing: every decoder gives back exactly the bytes the text was made from."""
    with open(data_path, "rb") as f:
        data = f.read()
    out = os.path.join(work_dir, "check.decoded")
    for key, argv in programs:
        run_pipeline(argv, text_path, "file", out, "file")
        with open(out, "rb") as f:
            if f.read() != data:
                raise RuntimeError(f"{LABELS[key]} did not give back the bytes of {text_path}")
    os.remove(out)


def startup_seconds(argv, work_dir, runs):
    """The program's CPU time on an empty input, file to file (median of runs):
    what every run of it spends to start and end, whatever its input."""
    empty = os.path.join(work_dir, "empty")
    open(empty, "wb").close()
    out = os.path.join(work_dir, "out")
    seconds = statistics.median(run_pipeline(argv, empty, "file", out, "file")[1] for _ in range(runs))
    os.remove(empty)
    os.remove(out)
    return seconds


def check_null_decoder(decoder, null, text_path, work_dir):
    """Before timing: the decoder's null filter writes the decoder's byte count."""
    sizes = {}
    for key, argv in (decoder, null):
        out = os.path.join(work_dir, f"check.{key}")
        run_pipeline(argv, text_path, "file", out, "file")
        sizes[key] = os.path.getsize(out)
        os.remove(out)
    if sizes[decoder[0]] != sizes[null[0]]:
        raise RuntimeError(f"the decoder's null filter wrote {sizes[null[0]]} bytes, the decoder {sizes[decoder[0]]}")


def check_outputs(programs, input_path, work_dir):
    """Before timing: every program's output, file to file, is the same Base64
    text (line ends and line length aside). A benchmark of a broken program
    would mean nothing."""
    texts = {}
    for key, argv in programs:
        out = os.path.join(work_dir, f"check.{key}")
        run_pipeline(argv, input_path, "file", out, "file")
        with open(out, "rb") as f:
            data = f.read()
        os.remove(out)
        texts[key] = data
    reference = texts["ours"].replace(b"\r\n", b"")
    for key in ("base64", "openssl", "wine"):
        if key in texts and re.sub(rb"\s", b"", texts[key]) != reference:
            raise RuntimeError(f"{key} and the host build disagree on {input_path}")
    if "wine" in texts and texts["wine"] != texts["ours"]:
        raise RuntimeError("the Windows image and the host build wrote different bytes")
    if len(texts["null"]) != len(texts["ours"]):
        raise RuntimeError("the null filter did not write the filter's byte count")


def peak_memory(programs, input_path, work_dir, runs):
    """Peak resident set size in KiB (/usr/bin/time -v), file to file."""
    out = os.path.join(work_dir, "out")
    results = {}
    for key, argv in programs:
        log(f"peak memory: {key}")
        values = []
        for _ in range(runs):
            with open(input_path, "rb") as stdin, open(out, "wb") as stdout:
                report = subprocess.run(["/usr/bin/time", "-v"] + argv, stdin=stdin, stdout=stdout,
                                        stderr=subprocess.PIPE, text=True, check=True).stderr
            values.append(int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1)))
        results[key] = values
    os.remove(out)
    return results


def heap_allocations(argv, input_path, runs):
    """Heap allocations of one whole run, as valgrind's memcheck counts them."""
    counts = []
    for run in range(runs):
        log(f"heap allocations: run {run + 1} of {runs}")
        with open(input_path, "rb") as stdin:
            report = subprocess.run(["valgrind", "--error-exitcode=99"] + argv, stdin=stdin,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
        m = re.search(r"total heap usage: ([\d,]+) allocs", report)
        if not m:
            raise RuntimeError("valgrind gave no heap summary:\n" + report)
        counts.append(int(m.group(1).replace(",", "")))
    return counts


# ---------------------------------------------------------------- latency

LATENCY_SIZES = (1, 10, 57, 100)
# Pieces of text for the decoders: a character, part of a line, a whole line, more than one.
DECODE_LATENCY_SIZES = (1, 10, 78, 100)
# The first piece waits for the program to start; Wine's start-up of a process
# takes far longer than a native one's (and longer again where 32-bit code is
# emulated), so the Windows image gets more time for it.
STARTUP = {"wine": 120.0, "decoder_wine": 120.0}


def run_latency(programs, pieces, sizes=LATENCY_SIZES, decodes=False):
    """programs: list of (key, argv). Returns {key: {size: latency.Run}}; cat
    copies instead of encoding, and measures the pipes' own round trip. With
    decodes, the programs decode pieces of the filter's text."""
    results = {}
    for key, argv in programs:
        results[key] = {}
        for size in sizes:
            log(f"latency: {key}, pieces of {size} {'characters' if decodes else 'bytes'}")
            results[key][size] = latency.measure(
                argv, size, pieces, copies=key == "cat", decodes=decodes,
                startup=STARTUP.get(key, latency.STARTUP), program_cpus=PROGRAM_CPUS, helper_cpus=HELPER_CPUS,
                seed=size)
    return results


def latency_figures(run):
    """(p50, p99, max) in microseconds."""
    return tuple(latency.percentile(run.latencies, p) * 1e6 for p in (50, 99, 100))


# ---------------------------------------------------------------- Wine

# Seconds the wineserver stays after its last client: longer than any gap
# between two Wine runs in a benchmark, so no timed run pays for its start.
WINESERVER_LINGER = 600


def prepare_wine(source, exe):
    """(argv, None) that runs the Windows image under Wine, in the prefix of
    tools/wine-run, or (None, why not) when it cannot run here."""
    wine_run = os.path.join(source, "tools", "wine-run")
    if not os.path.exists(exe):
        return None, f"there is no Windows image at {exe}"
    prepared = subprocess.run([wine_run, "--prepare"], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, check=False)
    if prepared.returncode:
        why = (prepared.stderr.strip().splitlines() or ["no message"])[-1].replace(source + os.sep, "")
        return None, f"Wine did not start (`tools/wine-run --prepare`: {why})"
    # A server that tools/wine-run starts from here on stays for the whole
    # run (one that runs already stays as the run that started it asked).
    os.environ["B64FILTER_WINE_LINGER"] = str(WINESERVER_LINGER)
    argv = [wine_run, exe]
    sample = b"b64filter"
    try:
        probe = subprocess.run(argv, input=sample, capture_output=True, check=False, timeout=600)
    except subprocess.TimeoutExpired:
        return None, "the image did not finish a 9-byte input under Wine within 600 s"
    if probe.returncode or probe.stdout != base64.b64encode(sample) + b"\r\n":
        return None, (f"the image did not run under Wine (exit status {probe.returncode}, "
                      f"output {probe.stdout[:80]!r})")
    return argv, None


def emulated_32bit():
    """The interpreter that runs 32-bit x86 Linux programs (Wine's loader for a
    32-bit image among them) when the kernel does not run them itself."""
    root = "/proc/sys/fs/binfmt_misc"
    try:
        names = os.listdir(root)
    except OSError:
        return None
    for name in names:
        try:
            entry = open(os.path.join(root, name)).read()
        except OSError:
            continue
        # ELF, 32-bit, little-endian; e_machine 3 is i386.
        magic = re.search(r"^magic (\w+)", entry, re.M)
        if ("enabled" in entry.splitlines()[0] and magic
                and magic.group(1).startswith("7f454c4601") and magic.group(1)[36:40] == "0300"):
            interpreter = re.search(r"^interpreter (\S+)", entry, re.M)
            return interpreter.group(1) if interpreter else name
    return None


# ---------------------------------------------------------------- report

LABELS = {
    "ours": "host build",
    "null": "null filter",
    "base64": "base64 -w 76",
    "openssl": "openssl base64",
    "wine": "Windows image, Wine",
    "cat": "cat (copies, no encoding)",
    "decoder": "host decoder",
    "null_d": "decoder's null filter",
    "base64_d": "base64 -d -i",
    "decoder_wine": "decoder image, Wine",
}
# Each whole-process ratio: the program's row shows first ÷ second.
VERSUS = {
    "null": ("ours", "null"),
    "base64": ("ours", "base64"),
    "openssl": ("ours", "openssl"),
    "wine": ("wine", "ours"),
    "base64_d": ("decoder", "base64_d"),
    "null_d": ("decoder", "null_d"),
}
# The targets hold what the filter decides. Wall-clock ones are relative to
# a program of the same run (cat; GNU base64 for the decoder), pair by pair,
# so the machine's load falls on both sides; counts of instructions are the
# same on every run. The ratio to the null filter is reported, not bounded.
# Instruction budgets for a 57-byte line: the counts when these targets were
# set, plus a tenth, so a change that makes a line dearer misses.
# The host build's encoding (its instructions per line less the null filter's, callgrind).
HOST_ENCODE_BUDGET = 530
# The image's own code for the whole line (read, encode, write) on the emulated CPU (image_counts).
IMAGE_LINE_BUDGET = 625
# The decoders' budgets for a 78-byte line of the filter's text: the host decoder's whole process
# per line (callgrind), and the decoder image's own code for a line read alone. Twice what the
# decoder took when it looked each byte up in a table (505 and 594): classifying by arithmetic, in
# constant time, may cost that much and no more.
HOST_DECODE_BUDGET = 1010
IMAGE_DECODE_BUDGET = 1188

# What one run found; the sections of the report are written from it. A part
# that was not run is None.
Results = collections.namedtuple(
    "Results", "args machine load_before load_after micro whole memory heap latency wine_missing counts "
               "instructions decode_whole decode_latency startup")


def machine_description():
    cpu = re.search(r"Model name:\s*(.*)", command_output(["lscpu"]))
    mem = re.search(r"MemTotal:\s*(\d+)", open("/proc/meminfo").read())
    debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else "?"
    return {
        "cpu": cpu.group(1) if cpu else platform.processor(),
        "cores": os.cpu_count(),
        "memory_gib": round(int(mem.group(1)) / 1024 / 1024) if mem else "?",
        "kernel": platform.release(),
        "debian": debian,
        "gcc": command_output(["c++", "--version"]).splitlines()[0],
        "openssl": command_output(["openssl", "version"]),
        "coreutils": command_output(["base64", "--version"]).splitlines()[0],
        "wine": command_output(["wine", "--version"]) or "no working Wine",
        "emulator": emulated_32bit(),
    }


def row(*cells):
    """One row of a Markdown table."""
    return "| " + " | ".join(str(c) for c in cells) + " |"


def fmt_spread(values, digits, unit=""):
    med, lo, hi = spread(values)
    return f"{med:.{digits}f}{unit} ({lo:.{digits}f}–{hi:.{digits}f})"


def fmt_ratio(values):
    """A paired ratio with its spread: median, the middle half of the pairs
    (quartiles), and the smallest and largest."""
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    med, lo, hi = spread(values)
    return f"{med:.3f} (middle half {q1:.3f}–{q3:.3f}; {lo:.3f}–{hi:.3f})"


def cpus(cpu_set):
    return ",".join(map(str, sorted(cpu_set)))


def report_intro(r):
    return [
        "# Benchmarks",
        "",
        "Written by `tests/bench/run` (tests/bench/README.md); every figure below comes from the run that wrote this",
        "file. A figure is the median of the runs, with the smallest and largest in brackets. The machine is",
        "shared, so each ratio is taken pair by pair: the two programs of a comparison run back to back",
        "(micro: in one process), in alternate order from one pair to the next, the ratio is computed within",
        "the pair, and its median, quartiles (the middle half) and min and max are over the pairs. Times are",
        "not comparable across sections, ratios are the point.",
        "",
    ]


def report_machine(r):
    m, size_mib = r.machine, r.args.size
    out = [
        "## Machine and input",
        "",
        f"- {m['cpu']}, {m['cores']} cores, {m['memory_gib']} GiB; Debian {m['debian']}, Linux {m['kernel']}; "
        f"a virtual machine shared with other work (load average {r.load_before} before the run, "
        f"{r.load_after} after).",
        f"- {m['gcc']}, Release build (-O3); {m['openssl']}; {m['coreutils']}; {m['wine']}.",
    ]
    if m["emulator"]:
        out.append(f"- This kernel does not run 32-bit x86 programs itself: `{m['emulator']}` emulates them, "
                   "Wine's loader for the 32-bit image included. Every Wine figure below is the image under "
                   "that emulation, not what it does on Windows or under a native Wine.")
    if r.wine_missing:
        out.append(f"- The Windows image was not measured: {r.wine_missing}.")
    out += [
        f"- Input: {size_mib} MiB of pseudo-random bytes (Python's `random`, seed 57), a file in the page "
        f"cache; {lines_per_run(r)} reads of at most 57 bytes, so as many lines. Micro: 1024 random lines, "
        "cycled.",
        f"- {r.args.runs} pairs of every whole-process comparison and as many micro runs. "
        f"Whole-process runs keep the program on CPU "
        f"{cpus(PROGRAM_CPUS)} and the `cat` processes that feed and drain pipes on CPU {cpus(HELPER_CPUS)}; "
        "the latency runs keep the program on the first and their writer and reader on the second.",
        "",
    ]
    return out


def lines_per_run(r):
    return -(-r.args.size * 1024 * 1024 // CHUNK)


def met(ok):
    return "yes" if ok else "no"


def image_line_instructions(counts, start="| one 57-byte line"):
    """The most instructions image_counts found for a line (by default the
    encoder's 57-byte line)."""
    line = next(text for text in counts if text.startswith(start))
    return int(re.findall(r"\d+", line.split("|")[2])[-1])


DECODER_IMAGE_LINE = "| `b64unfilter.exe`: one 78-byte line"
DECODER_IMAGE_UTF16_LINE = "| `b64unfilter.exe`: the same line as UTF-16LE"


def latency_targets(r, key):
    """The rows for one program's latency: held bytes, the target, judged by
    state (what the output holds once a piece is in); and beside it p99 against
    cat's, reported: a time on a loaded scheduler, which one run of the same
    bytes put at 0.40 and another at 1.93 times cat's."""
    runs, sizes = r.latency[key], ", ".join(map(str, r.latency[key]))
    held = {size: run.held_bytes for size, run in runs.items() if run.held_bytes or run.held}
    rows = [row(f"{LABELS[key]}: held bytes = 0, pieces of {sizes} bytes",
                "; ".join(f"{b} held at {size}" for size, b in held.items()) or "0 at every size", met(not held))]
    if held:
        return rows + [row(f"{LABELS[key]}: p99 latency ÷ cat's p99, same piece size", "held pieces", "reported")]
    ratios = {size: latency_figures(run)[1] / latency_figures(r.latency["cat"][size])[1]
              for size, run in runs.items()}
    worst = max(ratios, key=ratios.get)
    rows.append(row(f"{LABELS[key]}: p99 latency ÷ cat's p99, same piece size",
                    f"{min(ratios.values()):.2f}–{ratios[worst]:.2f} × (worst at {worst} bytes: "
                    f"{latency_figures(runs[worst])[1]:.0f} µs, "
                    f"cat {latency_figures(r.latency['cat'][worst])[1]:.0f} µs)",
                    "reported"))
    return rows


def report_targets(r):
    out = [
        "## Targets",
        "",
        "What the filter decides, stated so that the machine cannot blur it: counts of instructions "
        "(the same on every run), held bytes, and times only relative to a program of the same run "
        "(`cat`, GNU `base64 -d -i` for the decoder, OpenSSL's functions in the same process), pair by "
        "pair, so that the load falls on both sides. A missed "
        "target is the filter's. The whole-process ratios to the null filters and the p99 latencies are "
        "reported, pair by pair with their spread, not held to a bound (below the table).",
        "",
        "| target | measured | met |",
        "|---|---|---|",
    ]
    host, null = r.instructions["ours"], r.instructions["null"]
    out.append(row(f"host build: encoding a 57-byte line ≤ {HOST_ENCODE_BUDGET} instructions (callgrind: "
                   "host build less null filter, per line)",
                   f"{host - null:.0f} ({host:.0f} less {null:.0f})", met(host - null <= HOST_ENCODE_BUDGET)))
    image_line = image_line_instructions(r.counts)
    out.append(row(f"image: one 57-byte line ≤ {IMAGE_LINE_BUDGET} instructions of its own code (emulated CPU)",
                   image_line, met(image_line <= IMAGE_LINE_BUDGET)))
    for key in ("ours", "wine"):
        if key in r.latency:
            out += latency_targets(r, key)
    for scenario, pairs in r.whole.items():
        null_pairs = pairs[("ours", "null")]
        out.append(row(f"host build ÷ null filter, {scenario[0]} → {scenario[1]}: paired ratio of wall time "
                       f"and of CPU time, {len(null_pairs)} pairs", f"wall {fmt_ratio(ratios(null_pairs))}; "
                       f"CPU {fmt_ratio(ratios(null_pairs, 'cpu'))}", "reported"))
    med, lo, hi = spread(r.micro[CHUNK]["ratio"])
    out.append(f"| `EncodeChunk` ≤ 1.00 × `EVP_EncodeBlock`, 57-byte line (median, min–max) | "
               f"{med:.3f} ({lo:.3f}–{hi:.3f}) | {met(med <= 1.0)} |")
    out += decoder_targets(r)
    out += [
        "",
        "Ratios are our time over the other program's time: below 1 is faster than it. The wall-clock ratio "
        "to the null filter is reported with its spread, not held to a bound: by design the filter makes one "
        "read and one write per 57 bytes and encodes a group with four table look-ups, so the encoding is a "
        "few per cent of a pipe-bound run and the ratio is that share plus the machine's noise. What the "
        "filter controls is the work it adds to the null filter's, which the instruction budget holds. Each "
        "ratio is taken within one pair, the two programs run back to back (in alternate order from pair to "
        "pair); the middle half is the pairs between the quartiles.",
        "",
        "What the encoding costs inside the process, per line: the host build's user time minus the null "
        "filter's in the same pair, over the number of lines (both make the same system calls, "
        "so their system time is the same work and its noise):",
        "",
        "| input → output | ns per line |",
        "|---|---|",
    ]
    for scenario, pairs in r.whole.items():
        per_line = [(p.first.user - p.second.user) * 1e9 / lines_per_run(r) for p in pairs[("ours", "null")]]
        out.append(row(f"{scenario[0]} → {scenario[1]}", fmt_spread(per_line, 1)))
    out.append("")
    return out


def decoder_targets(r):
    """The decoder's rows of the targets: its instructions for a line, host
    and image; DecodeChunk against EVP_DecodeBlock; end to end against GNU
    base64 -d -i; and held bytes."""
    host = r.instructions["decoder"]
    image_line = image_line_instructions(r.counts, DECODER_IMAGE_LINE)
    image_utf16 = image_line_instructions(r.counts, DECODER_IMAGE_UTF16_LINE)
    med, lo, hi = spread(r.micro[DECODE]["ratio"])
    out = [
        row(f"host decoder: a 78-byte line of the filter's text ≤ {HOST_DECODE_BUDGET} instructions (callgrind, "
            "whole process, per line)", f"{host:.0f} (its null filter: {r.instructions['null_d']:.0f})",
            met(host <= HOST_DECODE_BUDGET)),
        row(f"decoder image: one 78-byte line read alone ≤ {IMAGE_DECODE_BUDGET} instructions of its own code "
            "(emulated CPU)", image_line, met(image_line <= IMAGE_DECODE_BUDGET)),
        row("host decoder: the same line saved as UTF-16LE (mark, 156 bytes), per character (callgrind, "
            "whole process)", f"{r.instructions['decoder_utf16'] / TEXT_LINE:.1f} "
            f"({r.instructions['decoder_utf16']:.0f} a line; {host / TEXT_LINE:.1f} a character of the line above)",
            "reported"),
        row("decoder image: one line of UTF-16LE read alone, per character (emulated CPU)",
            f"{image_utf16 / TEXT_LINE:.1f} ({image_utf16} a line; {image_line / TEXT_LINE:.1f} a character of "
            "the line above)", "reported"),
        row("`DecodeChunk` ÷ `EVP_DecodeBlock` (a table look-up a character), 78-byte line (median, min–max)",
            f"{med:.3f} ({lo:.3f}–{hi:.3f})", "reported"),
    ]
    for scenario, pairs in r.decode_whole.items():
        null_pairs = pairs[VERSUS["null_d"]]
        out.append(row(f"host decoder ÷ decoder's null filter, {scenario[0]} → {scenario[1]}: paired ratio of "
                       f"wall time and of CPU time, {len(null_pairs)} pairs", f"wall {fmt_ratio(ratios(null_pairs))}; "
                       f"CPU {fmt_ratio(ratios(null_pairs, 'cpu'))}", "reported"))
    for scenario, pairs in r.decode_whole.items():
        ps = pairs[VERSUS["base64_d"]]
        wall = ratios(ps)
        out.append(row(f"host decoder ≤ 1.00 × `base64 -d -i`, wall time, {scenario[0]} → {scenario[1]} "
                       f"(median of {len(ps)} pairs; middle half; min–max)", fmt_ratio(wall),
                       met(statistics.median(wall) <= 1.0)))
    for key in ("decoder", "decoder_wine"):
        if key in r.decode_latency:
            runs = r.decode_latency[key]
            held = {size: run.held_bytes for size, run in runs.items() if run.held_bytes or run.held}
            out.append(row(f"{LABELS[key]}: held bytes = 0, pieces of {', '.join(map(str, runs))} characters",
                           "; ".join(f"{b} held at {size}" for size, b in held.items()) or "0 at every size",
                           met(not held)))
    return out


def report_decoder(r):
    m = r.machine
    out = [
        "## Decoder",
        "",
        f"`b64unfilter` (host build), its null filter (the same `UnfilterMain` and POSIX layer with a "
        "`DecodeChunk` that only counts the bytes it would write, tests/bench/null_decode_chunk.cpp: the "
        "same calls, no decoding) and, for context, GNU `base64 -d -i` "
        f"({m['coreutils']}), end to end on "
        f"the same {r.args.decode_size} MiB of the filter's own text (its output for random bytes read from "
        "a file: lines of 76 characters and CR LF), pair by pair as above. MiB/s is text per wall second.",
        "",
    ] + startup_note(r)
    for scenario, pairs in r.decode_whole.items():
        out += whole_table(f"### decoding, {scenario[0]} → {scenario[1]}", pairs, r.args.decode_size)
    med, lo, hi = spread(r.micro[DECODE]["ours"])
    evp = spread(r.micro[DECODE]["evp"])
    out += [
        f"Micro (Google Benchmark, CPU time, the same 1024 lines of text, one state through all of them as "
        f"the program keeps it): `DecodeChunk` {med:.1f} ns a 78-byte line ({lo:.1f}–{hi:.1f}), "
        f"`EVP_DecodeBlock` {evp[0]:.1f} ns ({evp[1]:.1f}–{evp[2]:.1f}); the ratio is in the targets.",
        "",
        "Latency, measured as the encoder's: pieces of the filter's text of one size written into the "
        "decoder's open input pipe, with the same pauses; a piece is complete once the output holds the "
        "bytes of every group of four characters that the text up to its end makes whole (a piece that "
        "makes none has nothing to wait for and is not timed); a decoder that waits for more input while "
        "whole groups are unwritten holds them.",
        "",
    ]
    return out + latency_table(r.decode_latency, "characters")


def startup_note(r):
    """What start-up weighs in the decoders' runs: a run's CPU time includes
    it, so it pulls a ratio r towards 1 by (r - 1) times its share."""
    null = statistics.median(runs_of(r.decode_whole[("file", "file")], "null_d", "cpu"))
    return [
        f"Start-up: given an empty text, the null filter takes {r.startup * 1000:.1f} ms of CPU time (median "
        f"of {r.args.runs} runs), {r.startup / null:.1%} of its {null:.3f} s on this text file → file; every "
        "run pays it once, so it pulls a ratio r to it towards 1 by (r − 1) times that share.",
        "",
    ]


def report_micro(r):
    out = [
        "## Micro: one line, in process",
        "",
        "Google Benchmark, CPU time per call; both encoders step through the same 1024 random lines. "
        "`EncodeChunk` also writes the CR LF, `EVP_EncodeBlock` a terminating zero. GB/s counts input bytes.",
        "",
        "| n | `EncodeChunk` ns/line | GB/s | `EVP_EncodeBlock` ns/line | GB/s | ratio |",
        "|---|---|---|---|---|---|",
    ]
    for n in range(CHUNK, 0, -1):
        m = r.micro[n]
        gbs_ours = statistics.median(n / t for t in m["ours"])
        gbs_evp = statistics.median(n / t for t in m["evp"])
        shown = f"**{n}**" if n == CHUNK else str(n)
        out.append(row(shown, fmt_spread(m["ours"], 1), f"{gbs_ours:.2f}", fmt_spread(m["evp"], 1),
                       f"{gbs_evp:.2f}", fmt_spread(m["ratio"], 3)))
    out.append("")
    return out


def report_whole(r):
    out = [
        "## Whole process",
        "",
        "Seconds: wall time of the whole pipeline, from the first start to the last exit; for \"pipe\" "
        "input `cat` feeds the program through a pipe, for \"pipe\" output `cat` drains it into /dev/null. "
        "MiB/s is input bytes per wall second. CPU seconds: user + system time of the program's own process "
        "(for Wine, the Windows process, not wineserver), which other work on the machine disturbs less.",
        "",
        "- **host build**: `b64filter` for Linux over our POSIX layer: one `read` of 57 bytes and one `write` "
        "of the line per read, by design.",
        "- **null filter**: the same `FilterMain` and POSIX layer with an `EncodeChunk` that only returns the "
        "line length (tests/bench/null_encode_chunk.cpp): the same calls, no encoding. The fastest the design can go.",
        "- **base64 -w 76** (coreutils) and **openssl base64**: for context. They buffer input and output "
        "in large blocks, so they make few calls per MiB where the filter makes two per 57 bytes.",
    ]
    if ("wine", "ours") in next(iter(r.whole.values())):
        out.append("- **Windows image**: `b64filter.exe` under Wine (`tools/wine-run`, wineserver kept running), "
                   "which includes Wine's start-up of the process.")
    out.append("")
    for scenario, pairs in r.whole.items():
        out += whole_table(f"### {scenario[0]} → {scenario[1]}", pairs, r.args.size)
    return out


def whole_table(title, pairs, size_mib):
    """One scenario's table: each program's seconds, MiB/s and CPU seconds
    over all its runs, and each comparison's ratio pair by pair."""
    out = [
        title,
        "",
        "| program | seconds | MiB/s | ratio, pair by pair | ratio of | CPU seconds | CPU ratio |",
        "|---|---|---|---|---|---|---|",
    ]
    for key in whole_keys(pairs):
        times = runs_of(pairs, key)
        mibs = statistics.median(size_mib / t for t in times)
        if key in VERSUS:
            a, b = VERSUS[key]
            ratio, cpu_ratio = fmt_ratio(ratios(pairs[(a, b)])), fmt_ratio(ratios(pairs[(a, b)], "cpu"))
            of = f"{LABELS[a]} ÷ {LABELS[b]}"
        else:
            ratio = of = cpu_ratio = "—"
        out.append(row(LABELS[key], fmt_spread(times, 3), f"{mibs:.1f}", ratio, of,
                       fmt_spread(runs_of(pairs, key, "cpu"), 3), cpu_ratio))
    out.append("")
    return out


def whole_keys(pairs):
    """The programs of one scenario's comparisons, each once, in the order they first appear."""
    return list(dict.fromkeys(key for comparison in pairs for key in comparison))


def report_memory(r):
    out = [
        "## Memory",
        "",
        f"Peak resident set size (`/usr/bin/time -v`, file → file, same input, {COUNT_RUNS} runs), and heap "
        "allocations of the host build over the whole input (valgrind memcheck).",
        "",
        "| program | peak RSS KiB |",
        "|---|---|",
    ]
    out += [f"| {LABELS[key]} | {fmt_spread(values, 0)} |" for key, values in r.memory.items()]
    out += [
        "",
        f"Heap allocations of the host build: {fmt_spread(r.heap, 0)} over {len(r.heap)} runs "
        "(glibc's start-up included). The filter keeps its buffers in `FilterMain`'s stack frame.",
        "",
    ]
    return out


def held_note(run):
    return (f"{run.held_bytes} of the {run.bytes_sent} bytes written; it waited for more input with "
            f"{run.held_pieces} pieces incomplete")


def report_latency(r):
    some = next(iter(r.latency.values()))
    pieces = max(run.pieces_sent for run in some.values())
    out = [
        "## Latency",
        "",
        "How long a piece of input waits before its encoding is out. A writer keeps the program's "
        f"standard input, a pipe, open and writes {pieces} pieces of one size, one at a time, with a random "
        f"pause of {latency.PAUSE[0] * 1000:g} to {latency.PAUSE[1] * 1000:g} ms after each (plus a first, "
        "untimed one that waits for the program to start); a reader decodes the output as each line arrives "
        "and compares it with what was written, byte for byte. A piece's latency is the time from its write "
        "to the arrival of the line that completes its encoding: a 100-byte piece is two lines from the "
        "filter (57 + 43 bytes), and is complete when both are in. A program that waits for more input (it "
        "has taken all that was written and sleeps in a read of its input pipe, as /proc shows) while a "
        "piece's encoding is incomplete holds that piece: a slow answer is late, never held. After "
        f"{latency.HELD_LIMIT} held pieces its run stops, "
        "and what it held is the bytes written minus the bytes whose encoding had arrived. Closing the input "
        "then made each of them write the rest, which decoded to all that was written. One process is "
        "writer and reader, on the other CPU than the program (tests/bench/latency.py). `cat` copies without "
        "encoding, for comparison: a round trip through two pipes with nothing but a copy in between.",
        "",
    ]
    return out + latency_table(r.latency, "bytes")


def latency_table(results, unit):
    out = [
        f"| program | piece {unit} | pieces timed | p50 µs | p99 µs | max µs | held |",
        "|---|---|---|---|---|---|---|",
    ]
    for key, runs in results.items():
        for size, run in runs.items():
            if run.held:
                out.append(row(LABELS[key], size, "—", "—", "—", "—", held_note(run)))
            else:
                p50, p99, most = latency_figures(run)
                out.append(row(LABELS[key], size, len(run.latencies), f"{p50:.0f}", f"{p99:.0f}",
                               f"{most:.0f}", "no"))
    out.append("")
    return out


def filter_text(data):
    """The filter's output for data read from a file: a line for each 57 bytes."""
    return b"".join(base64.b64encode(data[i:i + CHUNK]) + b"\r\n" for i in range(0, len(data), CHUNK))


def utf16_text(text):
    """Text as Windows PowerShell 5.1's Out-File saves it: FF FE, then UTF-16LE."""
    return b"\xff\xfe" + text.decode("ascii").encode("utf-16-le")


def instructions_per_line(argv, work, text=None):
    """User-space instructions per 57-byte line (with text, per 78-byte line
    of the filter's text for a decoder, the text as text(bytes) gives it), as
    callgrind counts them: a run of 2000 lines less a run of 1000, over 1000."""
    counts = []
    for lines in (1000, 2000):
        path = os.path.join(work, f"lines-{lines}.bin")
        with open(path, "wb") as f:
            data = random.Random(57).randbytes(lines * CHUNK)
            f.write(text(filter_text(data)) if text else data)
        with open(path, "rb") as stdin:
            report = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                                    stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                    check=True).stderr
        counts.append(int(re.search(r"Collected : (\d+)", report).group(1)))
        os.remove(path)
    return (counts[1] - counts[0]) / 1000


def image_counts(host, image, decoder_image):
    """The section that tests/bench/image_counts prints: the images' own
    instructions and stack, counted on the emulated CPU."""
    return subprocess.run([os.path.join(host, "tests", "bench", "image_counts"), image, decoder_image],
                          capture_output=True, text=True, check=True).stdout.rstrip("\n").split("\n") + [""]


def write_report(path, r):
    out = (report_intro(r) + report_machine(r) + report_targets(r) + report_micro(r) + report_whole(r)
           + report_memory(r) + report_latency(r) + report_decoder(r) + r.counts
           + ["![Benchmarks](benchmarks.svg)", ""])
    with open(path, "w") as f:
        f.write("\n".join(out))


def quoted(label):
    return '"' + label.replace('"', "'") + '"'


def write_chart_data(r, data_dir):
    """The chart's data files. Each begins with a row of column names that
    tests/bench/chart.gp reads the columns by, or takes the key's titles from, so
    the order of the columns is free."""
    with open(os.path.join(data_dir, "micro.dat"), "w") as f:
        f.write("n ours_med ours_min ours_max evp_med evp_min evp_max\n")
        for n in range(1, CHUNK + 1):
            f.write(" ".join(str(x) for x in (n, *spread(r.micro[n]["ours"]), *spread(r.micro[n]["evp"]))) + "\n")
    with open(os.path.join(data_dir, "whole.dat"), "w") as f:
        # Three columns a program: median (its column name is the program's
        # name in the key), min, max.
        keys = whole_keys(next(iter(r.whole.values())))
        f.write("scenario " + " ".join(f"{quoted(LABELS[k])} {k}_min {k}_max" for k in keys) + "\n")
        for scenario, pairs in r.whole.items():
            cols = [f"{x:.4f}" for k in keys for x in spread(runs_of(pairs, k))]
            f.write(f'"{scenario[0]}→{scenario[1]}" ' + " ".join(cols) + "\n")
    with open(os.path.join(data_dir, "latency.dat"), "w") as f:
        # Two columns a program that completed pieces: p50, p99 (µs), named
        # for the key; NaN where it held.
        keys = [k for k, runs in r.latency.items() if any(not run.held for run in runs.values())]
        f.write("size " + " ".join(f"{quoted(LABELS[k] + ' p50')} {quoted(LABELS[k] + ' p99')}" for k in keys)
                + "\n")
        for size in LATENCY_SIZES:
            cols = []
            for k in keys:
                run = r.latency[k][size]
                cols += ["NaN", "NaN"] if run.held else [f"{x:.1f}" for x in latency_figures(run)[:2]]
            f.write(f"{size} " + " ".join(cols) + "\n")
    # The programs that held, for the chart's note.
    held = {}
    for key, runs in r.latency.items():
        for size, run in runs.items():
            if run.held:
                held.setdefault(key, []).append(size)
    return "\\n".join(f"{LABELS[k]}: {', '.join(map(str, sizes))}" for k, sizes in held.items())


def write_chart(r, source, work, notes):
    held = write_chart_data(r, work)
    settings = (f"data='{work}'; out='{os.path.join(notes, 'benchmarks.svg')}'; size={r.args.size}; "
                f'held="{held}"')
    subprocess.run(["gnuplot", "-e", settings, os.path.join(source, "tests", "bench", "chart.gp")], check=True)


def make_input(work, size_mib):
    path = os.path.join(work, f"random-{size_mib}MiB.bin")
    if not os.path.exists(path) or os.path.getsize(path) != size_mib << 20:
        with open(path, "wb") as f:
            f.write(random.Random(57).randbytes(size_mib << 20))
    return path


def make_text(work, size_mib, encoder):
    """(text, data): size_mib MiB of the filter's own text, whole lines, made
    by the host build from random bytes, and those bytes."""
    lines = (size_mib << 20) // TEXT_LINE
    data_path = os.path.join(work, f"decoded-{size_mib}MiB.bin")
    text_path = os.path.join(work, f"text-{size_mib}MiB.b64")
    if not os.path.exists(text_path) or os.path.getsize(text_path) != lines * TEXT_LINE:
        with open(data_path, "wb") as f:
            f.write(random.Random(78).randbytes(lines * CHUNK))
        run_pipeline(encoder, data_path, "file", text_path, "file")
    return text_path, data_path


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", required=True, help="host build directory (Release)")
    parser.add_argument("--win32", required=True, help="Windows image build directory")
    parser.add_argument("--work", required=True, help="scratch directory (input, outputs, chart data)")
    parser.add_argument("--notes", required=True, help="where benchmarks.md and benchmarks.svg go")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--size", type=int, default=64, help="whole-process input in MiB")
    parser.add_argument("--pieces", type=int, default=300, help="timed pieces per program and piece size")
    parser.add_argument("--decode-size", type=int, default=100,
                        help="decoders' end-to-end text in MiB, at least 64 so that start-up weighs little")
    parser.add_argument("--latency-only", action="store_true",
                        help="measure latency only and print its table; leaves the report alone")
    parser.add_argument("--counts-only", action="store_true",
                        help="count the image's instructions and stack only and print them; leaves the report alone")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("at least 5 runs")
    if args.pieces < 200:
        parser.error("at least 200 pieces")
    if args.decode_size < 64:
        parser.error("at least 64 MiB of text for the decoders")
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    os.makedirs(args.work, exist_ok=True)
    exe = os.path.join(args.win32, "b64filter.exe")
    decoder_exe = os.path.join(args.win32, "b64unfilter.exe")
    if args.counts_only:
        print("\n".join(image_counts(args.host, exe, decoder_exe)))
        return

    wine_argv, wine_missing = prepare_wine(source, exe)
    if wine_missing:
        log(f"not measuring the Windows image: {wine_missing}")
    with_wine = [("wine", wine_argv)] if wine_argv else []
    ours = ("ours", [os.path.join(args.host, "b64filter")])
    peers = [("base64", ["base64", "-w", "76"]), ("openssl", ["openssl", "base64"])]
    latency_programs = [ours] + with_wine + peers + [("cat", ["cat"])]
    nothing = dict.fromkeys(Results._fields)

    decoder = ("decoder", [os.path.join(args.host, "b64unfilter")])
    decoders = [decoder, ("base64_d", ["base64", "-d", "-i"]),
                ("null_d", [os.path.join(args.host, "tests", "bench", "null_unfilter")])]
    decoder_wine = [("decoder_wine", [wine_argv[0], decoder_exe])] if wine_argv else []
    decoder_latency_programs = [decoder] + decoder_wine + decoders[1:2]

    if args.latency_only:
        r = Results(**dict(nothing, args=args, latency=run_latency(latency_programs, args.pieces)))
        print("\n".join(report_latency(r)))
        decoding = run_latency(decoder_latency_programs, args.pieces, DECODE_LATENCY_SIZES, decodes=True)
        print("\n".join(latency_table(decoding, "characters")))
        return

    input_path = make_input(args.work, args.size)
    programs = [ours, ("null", [os.path.join(args.host, "tests", "bench", "null_filter")])] + peers + with_wine
    machine = machine_description()
    load_before = open("/proc/loadavg").read().split()[0]
    check_outputs(programs, input_path, args.work)
    micro = run_micro(os.path.join(args.host, "tests", "bench", "encode_bench"), args.runs)
    comparisons = [pair for pair in VERSUS.values() if set(pair) <= set(dict(programs))]
    whole = run_pairs(dict(programs), comparisons, SCENARIOS, input_path, args.work, args.runs, "whole process")
    memory = peak_memory(programs, input_path, args.work, COUNT_RUNS)
    latencies = run_latency(latency_programs, args.pieces)
    heap = heap_allocations(ours[1], input_path, COUNT_RUNS)
    instructions = {key: instructions_per_line(argv, args.work) for key, argv in programs[:2]}

    # The decoder: end to end against GNU base64 on the filter's own text,
    # latency on pieces of it, and its instructions for a line.
    text_path, data_path = make_text(args.work, args.decode_size, ours[1])
    check_decoders(decoders[:2], text_path, data_path, args.work)
    check_null_decoder(decoders[0], decoders[2], text_path, args.work)
    decode_whole = run_pairs(dict(decoders), [VERSUS["base64_d"], VERSUS["null_d"]], DECODE_SCENARIOS, text_path,
                             args.work,
                             args.runs, "decoding")
    startup = startup_seconds(decoders[2][1], args.work, args.runs)
    decode_latency = run_latency(decoder_latency_programs, args.pieces, DECODE_LATENCY_SIZES, decodes=True)
    instructions["decoder"] = instructions_per_line(decoder[1], args.work, text=lambda t: t)
    instructions["null_d"] = instructions_per_line(decoders[2][1], args.work, text=lambda t: t)
    instructions["decoder_utf16"] = instructions_per_line(decoder[1], args.work, text=utf16_text)

    load_after = open("/proc/loadavg").read().split()[0]
    r = Results(args, machine, load_before, load_after, micro, whole, memory, heap,
                latencies, wine_missing, image_counts(args.host, exe, decoder_exe), instructions, decode_whole,
                decode_latency, startup)

    os.makedirs(args.notes, exist_ok=True)
    write_chart(r, source, args.work, args.notes)
    write_report(os.path.join(args.notes, "benchmarks.md"), r)
    log(f"wrote {args.notes}/benchmarks.md and benchmarks.svg")


if __name__ == "__main__":
    main()
