#!/usr/bin/env python3
"""Figures of the end-to-end benchmark, for bench/run.sh.

  report.py syscalls --base S0 --run S1 --count N --client C --regs R [--pace-baud B]
      System calls per transaction from two `strace -f -c` summaries of the
      same program, one doing only its set-up (--count 0) and one doing N
      transactions more. Prints one JSON line.
  report.py micro FILE
      The Google Benchmark JSON of sarn_micro_bench (with repetitions) as a
      Markdown table: median, min and max of the time per operation.
  report.py summary FILE...
      Reads the JSON lines of sarn_e2e_bench, peer_pymodbus.py and the
      syscalls command and prints Markdown tables: medians with min and max
      over the repetitions, the ratio to the peer and the ratio to the wire.
  report.py lines FILE
      The JSON lines of sarn_lines_bench as a Markdown table: aggregate
      transactions per second of N lines at once against N times those of
      one line, CPU time per transaction against one line and against the
      bare master at the same N (medians over the runs).
"""
import argparse
import json
import statistics
import sys
from collections import defaultdict

BITS_PER_CHAR = 10  # as the simulator paces its replies
REQUEST_CHARS = 17


def strace_calls(path):
    calls = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 5 or not parts[0].replace(".", "").isdigit():
                continue
            name = parts[-1]
            if name == "total":
                continue
            calls[name] = int(parts[3])
    return calls


def cmd_syscalls(args):
    base = strace_calls(args.base)
    run = strace_calls(args.run)
    per = {}
    for name in sorted(set(base) | set(run)):
        d = (run.get(name, 0) - base.get(name, 0)) / args.count
        if abs(d) >= 0.005:
            per[name] = round(d, 2)
    print(json.dumps({"kind": "syscalls", "client": args.client, "regs": args.regs, "pace_baud": args.pace_baud,
                      "count": args.count, "per_txn": round(sum(per.values()), 2), "by_call": per}))


def load(paths):
    rows = []
    for p in paths:
        with open(p) as f:
            for line in f:
                line = line.strip()
                if line.startswith("{"):
                    rows.append(json.loads(line))
    return rows


def span(values, fmt="{:.1f}"):
    if not values:
        return "-"
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}–{fmt.format(max(values))})"


def cmd_summary(args):
    rows = load(args.files)
    runs = defaultdict(list)
    sys_calls = {}
    for r in rows:
        if r.get("kind") == "syscalls":
            sys_calls[(r["client"], r["regs"], r["pace_baud"])] = r
        else:
            runs[(r["client"], r["regs"], r["pace_baud"])].append(r)
    failures = sum(r.get("failures", 0) for rs in runs.values() for r in rs)
    clients = ["sarnmd", "pymodbus", "raw"]

    def med(key, field):
        return statistics.median(r[field] for r in runs[key]) if runs.get(key) else None

    # Simulator answering at once.
    fast = sorted({k[1] for k in runs if k[2] == 0})
    if fast:
        print("### Simulator answering at once\n")
        print("Median over the repetitions (min–max); each repetition is the mean of its transactions.\n")
        print("| registers | client | reps | transactions/s | wall µs/txn | CPU µs/txn | syscalls/txn |")
        print("|---|---|---|---|---|---|---|")
        for regs in fast:
            for c in clients:
                rs = runs.get((c, regs, 0))
                if not rs:
                    continue
                sc = sys_calls.get((c, regs, 0))
                print(f"| {regs} | {c} | {len(rs)} | {span([r['tps'] for r in rs], '{:.0f}')} | "
                      f"{span([r['wall_us'] for r in rs])} | {span([r['cpu_us'] for r in rs])} | "
                      f"{sc['per_txn'] if sc else '-'} |")
        print()
        print("| registers | pymodbus ÷ sarnmd: wall time | CPU time | syscalls |")
        print("|---|---|---|---|")
        for regs in fast:
            a, b = ("sarnmd", regs, 0), ("pymodbus", regs, 0)
            if runs.get(a) and runs.get(b):
                sa, sb = sys_calls.get(a), sys_calls.get(b)
                sc = f"{sb['per_txn'] / sa['per_txn']:.1f}×" if sa and sb and sa["per_txn"] else "-"
                print(f"| {regs} | {med(b, 'wall_us') / med(a, 'wall_us'):.1f}× | "
                      f"{med(b, 'cpu_us') / med(a, 'cpu_us'):.1f}× | {sc} |")
        print()
        calls = [v for k, v in sorted(sys_calls.items()) if k[2] == 0]
        if calls:
            print("System calls per transaction by call:\n")
            for v in calls:
                detail = ", ".join(f"{n} {c:g}" for n, c in v["by_call"].items())
                print(f"- {v['client']}, {v['regs']} register(s): {v['per_txn']:g} ({detail})")
            print()

    # Simulator pacing its replies.
    paced = sorted({(k[2], k[1]) for k in runs if k[2] != 0})
    if paced:
        print(f"### Simulator pacing its replies ({BITS_PER_CHAR} bits per character)\n")
        print("Wire time: request + reply characters × 10 bits ÷ baud. The pty delivers the request at once, so "
              "the request's wire time is added to the measured time (\"line time\"); the reply's is in it.\n")
        print("| baud | registers | client | reps | wall ms/txn | reply wire ms | ÷ reply wire | line ms/txn | "
              "wire ms | line ÷ wire | CPU µs/txn | syscalls/txn |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for baud, regs in paced:
            for c in clients:
                rs = runs.get((c, regs, baud))
                if not rs:
                    continue
                reply_ms = rs[0]["reply_chars"] * BITS_PER_CHAR / baud * 1e3
                req_ms = REQUEST_CHARS * BITS_PER_CHAR / baud * 1e3
                walls = [r["wall_us"] / 1e3 for r in rs]
                lines = [w + req_ms for w in walls]
                sc = sys_calls.get((c, regs, baud))
                print(f"| {baud} | {regs} | {c} | {len(rs)} | {span(walls, '{:.3f}')} | {reply_ms:.3f} | "
                      f"{span([w / reply_ms for w in walls], '{:.4f}')} | {span(lines, '{:.3f}')} | "
                      f"{req_ms + reply_ms:.3f} | {span([l / (req_ms + reply_ms) for l in lines], '{:.4f}')} | "
                      f"{span([r['cpu_us'] for r in rs], '{:.0f}')} | {sc['per_txn'] if sc else '-'} |")
        print()
    if failures:
        print(f"**{failures} transaction(s) failed during the runs.**\n")


def cmd_micro(args):
    with open(args.file) as f:
        data = json.load(f)
    stats = defaultdict(dict)
    labels = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate":
            continue
        stats[b["run_name"]][b["aggregate_name"]] = b
        labels[b["run_name"]] = b.get("label", "")
    reps = data["benchmarks"][0].get("repetitions", "?") if data["benchmarks"] else "?"
    print(f"Per operation, over {reps} repetitions: median (min–max).\n")
    print("| benchmark | CPU time | wall time | what |")
    print("|---|---|---|---|")

    def fmt(ns):
        return f"{ns / 1000:.2f} µs" if ns >= 1000 else f"{ns:.1f} ns"

    for name, agg in stats.items():
        if not {"median", "min", "max"} <= agg.keys():
            continue
        unit = {"ns": 1, "us": 1e3, "ms": 1e6}[agg["median"]["time_unit"]]
        cells = []
        for field in ("cpu_time", "real_time"):
            m, lo, hi = (agg[k][field] * unit for k in ("median", "min", "max"))
            cells.append(f"{fmt(m)} ({fmt(lo)}–{fmt(hi)})")
        print(f"| {name} | {cells[0]} | {cells[1]} | {labels[name]} |")
    print()


def cmd_lines(args):
    runs = defaultdict(list)
    for r in load([args.file]):
        runs[(r.get("sim", "plcsim"), r["regs"], r["pace_baud"], r["lines"], r.get("client", "driver"))].append(r)

    def med(key, field):
        rs = runs.get(key)
        return statistics.median(r[field] for r in rs) if rs and all(field in r for r in rs) else None

    print("| simulator | baud | lines | client | runs | transactions/s, all lines | per line (slowest–fastest) "
          "| ÷ (N × one line) | CPU µs/txn | ÷ one line's | ÷ bare master's | process CPU µs/txn | failures "
          "| load before–after |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for (sim, regs, baud, n, client), rs in sorted(runs.items(), key=lambda kv: (kv[0][:4], kv[0][4] != "driver")):
        one = (sim, regs, baud, 1, client)
        base = med(one, "tps")
        tps = [r["tps"] for r in rs]
        ratio = [t / (n * base) for t in tps] if base else []
        lo = min(r["line_tps_min"] for r in rs)
        hi = max(r["line_tps_max"] for r in rs)
        cpu = [r["cpu_us"] for r in rs if "cpu_us" in r]
        cpu_one = med(one, "cpu_us")
        cpu_bare = med((sim, regs, baud, n, "bare"), "cpu_us")
        rel_one = f"{statistics.median(cpu) / cpu_one:.2f}" if cpu and cpu_one else "-"
        rel_bare = f"{statistics.median(cpu) / cpu_bare:.2f}" if cpu and cpu_bare and client != "bare" else "-"
        proc = [r["process_cpu_us"] for r in rs if "process_cpu_us" in r]
        loads = f"{rs[0].get('load_before', '?').split()[0]}–{rs[-1].get('load_after', '?').split()[0]}"
        print(f"| {sim} | {baud} | {n} | {client} | {len(rs)} | {span(tps)} | {lo:.1f}–{hi:.1f} "
              f"| {span(ratio, '{:.3f}')} | {span(cpu)} | {rel_one} | {rel_bare} | {span(proc)} "
              f"| {sum(r['failures'] for r in rs)} | {loads} |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("syscalls")
    s.add_argument("--base", required=True)
    s.add_argument("--run", required=True)
    s.add_argument("--count", type=int, required=True)
    s.add_argument("--client", required=True)
    s.add_argument("--regs", type=int, required=True)
    s.add_argument("--pace-baud", type=int, default=0)
    m = sub.add_parser("summary")
    m.add_argument("files", nargs="+")
    b = sub.add_parser("micro")
    b.add_argument("file")
    n = sub.add_parser("lines")
    n.add_argument("file")
    args = parser.parse_args()
    {"syscalls": cmd_syscalls, "summary": cmd_summary, "micro": cmd_micro, "lines": cmd_lines}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
