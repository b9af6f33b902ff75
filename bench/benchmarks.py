#!/usr/bin/python3
"""Runs every benchmark of b64filter and writes docs/benchmarks.md and
docs/benchmarks.svg. Called by bench/run, which builds the programs first.

The machine is shared, so every comparison is made pair by pair: within one
round the programs of a comparison run back to back, the ratio is taken in
that round, and the tables give the median, min and max over the rounds.
"""
import argparse
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

CHUNK = 57
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
    for n = 57 .. 1, the two of a pair one right after the other. Returns
    {n: {"ours": [ns...], "evp": [ns...], "ratio": [...]}} with one entry per run."""
    results = {n: {"ours": [], "evp": [], "ratio": []} for n in range(1, CHUNK + 1)}
    for run in range(runs):
        log(f"micro: run {run + 1} of {runs}")
        out = subprocess.run(
            [encode_bench, "--benchmark_format=json", "--benchmark_min_time=0.05"],
            capture_output=True, text=True, check=True, preexec_fn=on_cpus(PROGRAM_CPUS)).stdout
        times = {}
        for b in json.loads(out)["benchmarks"]:
            name, n = b["name"].split("/")
            # CPU time: the time the thread ran, which another process on the
            # machine disturbs less than wall time.
            times[(name, int(n))] = b["cpu_time"]
        for n in range(1, CHUNK + 1):
            ours, evp = times[("EncodeChunk", n)], times[("EVP_EncodeBlock", n)]
            results[n]["ours"].append(ours)
            results[n]["evp"].append(evp)
            results[n]["ratio"].append(ours / evp)
    return results


# ---------------------------------------------------------------- whole process

SCENARIOS = [
    ("file", "file"),
    ("file", "pipe"),
    ("pipe", "file"),
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


def on_cpus(cpus):
    """A preexec_fn that keeps the child (and its children) on cpus."""
    return lambda: os.sched_setaffinity(0, cpus)


def run_pipeline(argv, input_path, input_kind, output_path, output_kind):
    """Runs argv with standard input from a file or through a pipe (fed by
    cat), standard output to a file or into a pipe (drained by cat into
    /dev/null). Returns the wall time from the first start to the last exit."""
    procs = []
    start = time.perf_counter()
    if input_kind == "file":
        stdin = open(input_path, "rb")
    else:
        feeder = subprocess.Popen(["cat", input_path], stdout=subprocess.PIPE,
                                  preexec_fn=on_cpus(HELPER_CPUS))
        procs.append(feeder)
        stdin = feeder.stdout
    if output_kind == "file":
        stdout = open(output_path, "wb")
    else:
        stdout = subprocess.PIPE
    filt = subprocess.Popen(argv, stdin=stdin, stdout=stdout, preexec_fn=on_cpus(PROGRAM_CPUS))
    procs.append(filt)
    stdin.close()
    if output_kind == "file":
        stdout.close()
    else:
        drain = subprocess.Popen(["cat"], stdin=filt.stdout, stdout=subprocess.DEVNULL,
                                 preexec_fn=on_cpus(HELPER_CPUS))
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


def run_whole(programs, input_path, work_dir, runs):
    """programs: list of (key, argv). Returns {(in, out): {key: [s...]}} of
    wall times, and the same of the filter process's CPU times (user + system)
    and of its user times alone.
    Rounds alternate the order (forward, then backward), so that drift of the
    machine's load falls evenly on both sides of each comparison."""
    output_path = os.path.join(work_dir, "out")
    results = {}
    cpu_results = {}
    user_results = {}
    for scenario in SCENARIOS:
        times = {key: [] for key, _ in programs}
        cpu = {key: [] for key, _ in programs}
        user = {key: [] for key, _ in programs}
        for run in range(runs):
            log(f"whole process: {scenario[0]} -> {scenario[1]}, round {run + 1} of {runs}")
            order = programs if run % 2 == 0 else list(reversed(programs))
            for key, argv in order:
                wall, used, in_user = run_pipeline(argv, input_path, scenario[0], output_path, scenario[1])
                times[key].append(wall)
                cpu[key].append(used)
                user[key].append(in_user)
        results[scenario] = times
        cpu_results[scenario] = cpu
        user_results[scenario] = user
    os.remove(output_path)
    return results, cpu_results, user_results


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


# ---------------------------------------------------------------- report

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
        "wine": command_output(["wine", "--version"]),
    }


def fmt_spread(values, digits, unit=""):
    med, lo, hi = spread(values)
    return f"{med:.{digits}f}{unit} ({lo:.{digits}f}–{hi:.{digits}f})"


def write_chart_data(micro, whole, data_dir):
    with open(os.path.join(data_dir, "micro.dat"), "w") as f:
        f.write("# n ours_med ours_min ours_max evp_med evp_min evp_max\n")
        for n in range(1, CHUNK + 1):
            f.write(" ".join(str(x) for x in (n, *spread(micro[n]["ours"]), *spread(micro[n]["evp"]))) + "\n")
    with open(os.path.join(data_dir, "whole.dat"), "w") as f:
        keys = list(next(iter(whole.values())).keys())
        f.write("# scenario " + " ".join(f"{k}_med {k}_min {k}_max" for k in keys) + "\n")
        for scenario, times in whole.items():
            cols = []
            for k in keys:
                cols += [f"{x:.4f}" for x in spread(times[k])]
            f.write(f'"{scenario[0]}→{scenario[1]}" ' + " ".join(cols) + "\n")
    return keys


def write_report(path, args, machine, load_before, load_after, micro, whole, whole_cpu, whole_user, labels,
                 memory, heap):
    size_mib = args.size
    lines_per_run = -(-size_mib * 1024 * 1024 // CHUNK)
    ours57 = micro[CHUNK]
    out = []
    w = out.append
    w("# Benchmarks")
    w("")
    w("Written by `bench/run` (bench/README.md); every figure below comes from the run that wrote this")
    w("file. A figure is the median of the runs, with the smallest and largest in brackets. The machine is")
    w("shared, so each ratio is taken pair by pair: the two programs of a comparison run back to back in")
    w("one round (micro: in one process), the ratio is computed in that round, and its median, min and max")
    w("are over the rounds. Times are not comparable across sections, ratios are the point.")
    w("")
    w("## Machine and input")
    w("")
    w(f"- {machine['cpu']}, {machine['cores']} cores, {machine['memory_gib']} GiB; Debian {machine['debian']}, "
      f"Linux {machine['kernel']}; a virtual machine shared with other work (load average "
      f"{load_before} before the run, {load_after} after).")
    w(f"- {machine['gcc']}, Release build (-O3); {machine['openssl']}; {machine['coreutils']}; {machine['wine']}.")
    w(f"- Input: {size_mib} MiB of pseudo-random bytes (Python's `random`, seed 57), a file in the page "
      f"cache; {lines_per_run} reads of at most 57 bytes, so as many lines. Micro: 1024 random lines, "
      "cycled.")
    w(f"- {args.runs} rounds of every timing. Whole-process runs keep the program on CPU "
      f"{','.join(map(str, sorted(PROGRAM_CPUS)))} and the `cat` processes that feed and drain pipes on CPU "
      f"{','.join(map(str, sorted(HELPER_CPUS)))}.")
    w("")
    w("## Targets")
    w("")
    head = []
    for scenario, times in whole.items():
        ratios = [a / b for a, b in zip(times["ours"], times["null"])]
        head.append((scenario, spread(ratios)))
    worst = max(r[1][0] for r in head)
    w("| target | measured (median, min–max) | met |")
    w("|---|---|---|")
    for scenario, (med, lo, hi) in head:
        w(f"| host build ≤ 1.03 × null filter, {scenario[0]} → {scenario[1]} | {med:.3f} ({lo:.3f}–{hi:.3f}) "
          f"| {'yes' if med <= 1.03 else 'no'} |")
    med, lo, hi = spread(ours57["ratio"])
    w(f"| `EncodeChunk` ≤ 1.00 × `EVP_EncodeBlock`, 57-byte line | {med:.3f} ({lo:.3f}–{hi:.3f}) "
      f"| {'yes' if med <= 1.0 else 'no'} |")
    w("")
    w("Ratios are our time over the other program's time: below 1 is faster than it.")
    w("")
    w("What the encoding costs inside the process, per line: the host build's user time minus the null "
      "filter's in the same round, over the number of lines (both make the same system calls, "
      "so their system time is the same work and its noise):")
    w("")
    w("| input → output | ns per line |")
    w("|---|---|")
    for scenario, user in whole_user.items():
        per_line = [(a - b) * 1e9 / lines_per_run for a, b in zip(user["ours"], user["null"])]
        w(f"| {scenario[0]} → {scenario[1]} | {fmt_spread(per_line, 1)} |")
    w("")
    w("## Micro: one line, in process")
    w("")
    w("Google Benchmark, CPU time per call; both encoders step through the same 1024 random lines. "
      "`EncodeChunk` also writes the CR LF, `EVP_EncodeBlock` a terminating zero. GB/s counts input bytes.")
    w("")
    w("| n | `EncodeChunk` ns/line | GB/s | `EVP_EncodeBlock` ns/line | GB/s | ratio |")
    w("|---|---|---|---|---|---|")
    for n in range(CHUNK, 0, -1):
        r = micro[n]
        gbs_ours = statistics.median(n / t for t in r["ours"])
        gbs_evp = statistics.median(n / t for t in r["evp"])
        row = (f"| {n} | {fmt_spread(r['ours'], 1)} | {gbs_ours:.2f} | {fmt_spread(r['evp'], 1)} | "
               f"{gbs_evp:.2f} | {fmt_spread(r['ratio'], 3)} |")
        w(row if n != CHUNK else row.replace(f"| {n} |", f"| **{n}** |", 1))
    w("")
    w("## Whole process")
    w("")
    w("Seconds: wall time of the whole pipeline, from the first start to the last exit; for \"pipe\" "
      "input `cat` feeds the program through a pipe, for \"pipe\" output `cat` drains it into /dev/null. "
      "MiB/s is input bytes per wall second. CPU seconds: user + system time of the program's own process "
      "(for Wine, the Windows process, not wineserver), which other work on the machine disturbs less.")
    w("")
    w("- **host build**: `b64filter` for Linux over our POSIX layer: one `read` of 57 bytes and one `write` "
      "of the line per read, by design.")
    w("- **null filter**: the same `FilterMain` and POSIX layer with an `EncodeChunk` that only returns the "
      "line length (bench/null_encode_chunk.cpp): the same calls, no encoding. The fastest the design can go.")
    w("- **base64 -w 76** (coreutils) and **openssl base64**: for context. They buffer input and output "
      "in large blocks, so they make few calls per MiB where the filter makes two per 57 bytes.")
    w("- **Windows image**: `b64filter.exe` under Wine (`tools/wine-run`, wineserver kept running), which "
      "includes Wine's start-up of the process.")
    w("")
    for scenario, times in whole.items():
        cpu = whole_cpu[scenario]
        w(f"### {scenario[0]} → {scenario[1]}")
        w("")
        w("| program | seconds | MiB/s | ratio | ratio of | CPU seconds | CPU ratio |")
        w("|---|---|---|---|---|---|---|")
        for key, label, versus in labels:
            mibs = statistics.median(size_mib / t for t in times[key])
            if versus is None:
                ratio = of = cpu_ratio = "—"
            else:
                a, b = versus
                ratio = fmt_spread([x / y for x, y in zip(times[a], times[b])], 3)
                cpu_ratio = fmt_spread([x / y for x, y in zip(cpu[a], cpu[b])], 3)
                of = f"{label_of(labels, a)} ÷ {label_of(labels, b)}"
            w(f"| {label} | {fmt_spread(times[key], 3)} | {mibs:.1f} | {ratio} | {of} | "
              f"{fmt_spread(cpu[key], 3)} | {cpu_ratio} |")
        w("")
    w("## Memory")
    w("")
    w(f"Peak resident set size (`/usr/bin/time -v`, file → file, same input, {COUNT_RUNS} runs), and heap "
      "allocations of the host build over the whole input (valgrind memcheck).")
    w("")
    w("| program | peak RSS KiB |")
    w("|---|---|")
    for key, label, _ in labels:
        w(f"| {label} | {fmt_spread(memory[key], 0)} |")
    w("")
    w(f"Heap allocations of the host build: {fmt_spread(heap, 0)} over {len(heap)} runs "
      "(glibc's start-up included). The filter keeps its buffers in `FilterMain`'s stack frame.")
    w("")
    w("![Benchmarks](benchmarks.svg)")
    w("")
    with open(path, "w") as f:
        f.write("\n".join(out))


def label_of(labels, key):
    return next(label for k, label, _ in labels if k == key)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--host", required=True, help="host build directory (Release)")
    parser.add_argument("--win32", required=True, help="Windows image build directory")
    parser.add_argument("--work", required=True, help="scratch directory (input, outputs, Wine prefix)")
    parser.add_argument("--docs", required=True, help="where benchmarks.md and benchmarks.svg go")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--size", type=int, default=64, help="whole-process input in MiB")
    args = parser.parse_args()
    if args.runs < 5:
        parser.error("at least 5 runs")
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    os.makedirs(args.work, exist_ok=True)

    input_path = os.path.join(args.work, f"random-{args.size}MiB.bin")
    if not os.path.exists(input_path) or os.path.getsize(input_path) != args.size << 20:
        with open(input_path, "wb") as f:
            f.write(random.Random(57).randbytes(args.size << 20))

    prefix = os.path.join(args.work, "wineprefix")
    wine_env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all")
    exe = os.path.join(args.win32, "b64filter.exe")
    # Make the prefix (first use only) and keep one wineserver for the whole
    # run, so that no timed run pays for starting or stopping it.
    subprocess.run([os.path.join(source, "tools", "wine-run"), prefix, exe],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-w"], env=wine_env, check=True)
    subprocess.run(["wineserver", "-p"], env=wine_env, check=True)

    programs = [
        ("ours", [os.path.join(args.host, "b64filter")]),
        ("null", [os.path.join(args.host, "bench", "null_filter")]),
        ("base64", ["base64", "-w", "76"]),
        ("openssl", ["openssl", "base64"]),
        ("wine", [os.path.join(source, "tools", "wine-run"), prefix, exe]),
    ]
    labels = [
        ("ours", "host build", None),
        ("null", "null filter", ("ours", "null")),
        ("base64", "base64 -w 76", ("ours", "base64")),
        ("openssl", "openssl base64", ("ours", "openssl")),
        ("wine", "Windows image, Wine", ("wine", "ours")),
    ]
    machine = machine_description()
    load_before = open("/proc/loadavg").read().split()[0]
    try:
        check_outputs(programs, input_path, args.work)
        micro = run_micro(os.path.join(args.host, "bench", "encode_bench"), args.runs)
        whole, whole_cpu, whole_user = run_whole(programs, input_path, args.work, args.runs)
        memory = peak_memory(programs, input_path, args.work, COUNT_RUNS)
    finally:
        subprocess.run(["wineserver", "-k"], env=wine_env, check=False)
    heap = heap_allocations(programs[0][1], input_path, COUNT_RUNS)
    load_after = open("/proc/loadavg").read().split()[0]

    os.makedirs(args.docs, exist_ok=True)
    write_chart_data(micro, whole, args.work)
    subprocess.run(["gnuplot", "-e", f"data='{args.work}'; out='{os.path.join(args.docs, 'benchmarks.svg')}'; size={args.size}",
                    os.path.join(source, "bench", "chart.gp")], check=True)
    write_report(os.path.join(args.docs, "benchmarks.md"), args, machine, load_before, load_after,
                 micro, whole, whole_cpu, whole_user, labels, memory, heap)
    log(f"wrote {args.docs}/benchmarks.md and benchmarks.svg")


if __name__ == "__main__":
    main()
