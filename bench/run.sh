#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them, installing
# what is missing. Results go to build-bench/bench-results/.
#
# Usage: bench/run.sh [micro] [e2e] [wire] [lines]   (no argument: all four)
#   micro  Google Benchmark micro-benchmarks (sarn_micro_bench)
#   e2e    the driver, a bare client and pymodbus against the simulator
#          answering at once: transactions/s, CPU time, system calls
#   wire   the same against the simulator pacing its replies at 9600 and
#          19200 baud: time per transaction against the wire time
#   lines  1 to 256 lines at once (LINES, default 1,16,32,64,128,256), a thread
#          each, replies paced at 19200 baud, the driver and a bare master:
#          aggregate transactions/s and CPU time per transaction (sarn_lines_bench)
# Environment: REPS (repetitions, default 10 for micro and e2e, 5 for wire, 3 for lines).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

parts=("$@")
[ ${#parts[@]} -eq 0 ] && parts=(micro e2e wire lines)

scripts/deps.sh libbenchmark-dev python3-pymodbus strace >&2
py=/usr/bin/python3  # Debian's interpreter, where python3-pymodbus lives

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSARN_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j 2 --target sarn_micro_bench sarn_e2e_bench sarn_lines_bench plcsim >/dev/null

out=$root/build-bench/bench-results
mkdir -p "$out"
e2e=$root/build-bench/bench/sarn_e2e_bench
plcsim=$root/build-bench/bin/plcsim
peer=$root/bench/peer_pymodbus.py
report=$root/bench/report.py

sim_pid=""
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap stop_sim EXIT

# Starts plcsim on a new pty with the given options; sets $port.
start_sim() {
  stop_sim
  "$plcsim" --pty --fill "$@" >"$out/sim.port" &
  sim_pid=$!
  port=""
  for _ in $(seq 50); do
    port=$(head -n1 "$out/sim.port" 2>/dev/null || true)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "plcsim did not start" >&2
  exit 1
}

machine() {
  {
    echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "kernel: $(uname -srm)"
    echo "nproc: $(nproc)"
    lscpu | grep -E '^(Model name|Architecture|CPU\(s\)|Thread|Core|Socket|CPU max MHz|L2|L3)' || true
    echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "compiler: $(c++ --version | head -n1)"
    echo "pymodbus: $($py -c 'import pymodbus; print(pymodbus.__version__)')"
  } >"$out/machine.txt"
  cat "$out/machine.txt"
}

# strace of one client: set-up only, then set-up and n transactions; the
# difference per transaction. Args: client regs pace n command...
count_syscalls() {
  local client=$1 regs=$2 pace=$3 n=$4
  shift 4
  strace -f -c -o "$out/strace0.txt" "$@" --regs "$regs" --count 0 --warmup 5 >/dev/null
  strace -f -c -o "$out/strace1.txt" "$@" --regs "$regs" --count "$n" --warmup 5 >/dev/null
  $py "$report" syscalls --base "$out/strace0.txt" --run "$out/strace1.txt" --count "$n" \
    --client "$client" --regs "$regs" --pace-baud "$pace"
}

run_micro() {
  local reps=${REPS:-10}
  echo "== micro-benchmarks ($reps repetitions) ==" >&2
  "$root/build-bench/bench/sarn_micro_bench" --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/micro.json" \
    --benchmark_out_format=json >"$out/micro.txt"
  $py "$report" micro "$out/micro.json" | tee "$out/micro.md"
}

run_e2e() {
  local reps=${REPS:-10}
  echo "== end to end, simulator answering at once ($reps repetitions) ==" >&2
  start_sim
  : >"$out/e2e.jsonl"
  for regs in 1 125; do
    # Interleaved, so that the machine's load falls on all clients alike.
    for _ in $(seq "$reps"); do
      "$e2e" --port "$port" --regs "$regs" --count 2000 >>"$out/e2e.jsonl"
      "$e2e" --client raw --port "$port" --regs "$regs" --count 2000 >>"$out/e2e.jsonl"
      $py "$peer" --port "$port" --regs "$regs" --count 300 >>"$out/e2e.jsonl"
    done
    count_syscalls sarnmd "$regs" 0 1000 "$e2e" --port "$port" >>"$out/e2e.jsonl"
    count_syscalls raw "$regs" 0 1000 "$e2e" --client raw --port "$port" >>"$out/e2e.jsonl"
    count_syscalls pymodbus "$regs" 0 200 $py "$peer" --port "$port" >>"$out/e2e.jsonl"
  done
  stop_sim
  $py "$report" summary "$out/e2e.jsonl" | tee "$out/e2e.md"
}

run_wire() {
  local reps=${REPS:-5}
  echo "== end to end, simulator pacing its replies ($reps repetitions) ==" >&2
  : >"$out/wire.jsonl"
  for baud in 9600 19200; do
    start_sim --pace-baud "$baud"
    for regs in 1 125; do
      # About a second per repetition at 9600 baud for single registers,
      # four transactions (2 s) for blocks.
      local n=$((regs == 1 ? 60 : 4))
      n=$((n * baud / 9600))
      for _ in $(seq "$reps"); do
        "$e2e" --port "$port" --pace-baud "$baud" --regs "$regs" --count "$n" --warmup 2 >>"$out/wire.jsonl"
        "$e2e" --client raw --port "$port" --pace-baud "$baud" --regs "$regs" --count "$n" --warmup 2 \
          >>"$out/wire.jsonl"
        $py "$peer" --port "$port" --pace-baud "$baud" --regs "$regs" --count "$n" --warmup 2 >>"$out/wire.jsonl"
      done
      count_syscalls sarnmd "$regs" "$baud" "$n" "$e2e" --port "$port" --pace-baud "$baud" >>"$out/wire.jsonl"
      count_syscalls pymodbus "$regs" "$baud" "$n" $py "$peer" --port "$port" --pace-baud "$baud" \
        >>"$out/wire.jsonl"
    done
  done
  stop_sim
  $py "$report" summary "$out/wire.jsonl" | tee "$out/wire.md"
}

run_lines() {
  local reps=${REPS:-3}
  local counts=${LINES:-1,16,32,64,128,256}
  echo "== lines at once ($counts), paced at 19200 baud, driver and bare master ($reps runs of 5 s each) ==" >&2
  "$root/build-bench/bench/sarn_lines_bench" --lines "$counts" --seconds 5 --pace-baud 19200 --reps "$reps" \
    --clients driver,bare --sim uart >"$out/lines.jsonl"
  $py "$report" lines "$out/lines.jsonl" | tee "$out/lines.md"
}

machine
for part in "${parts[@]}"; do
  case $part in
    micro) run_micro ;;
    e2e) run_e2e ;;
    wire) run_wire ;;
    lines) run_lines ;;
    *)
      echo "unknown part '$part' (micro, e2e, wire, lines)" >&2
      exit 2
      ;;
  esac
done
