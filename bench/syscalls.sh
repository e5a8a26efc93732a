#!/usr/bin/env bash
# Counts the system calls the headless collector makes per record on the
# steady path: the benchmark terminal sends a short and a long transfer over
# TCP on 127.0.0.1 into one target, the collector runs under `strace -f -c`
# each time, and the difference of the two counts divided by the difference
# of the record counts leaves out start-up, connection and the end of the
# transfer. One thing depends on timing: after an answer the collector reads
# again at once, and whether the terminal's next record is already there
# (one call) or not (a call that finds nothing, then a wait) depends on how
# soon the terminal answers; under strace it nearly always is.
#
#   bench/syscalls.sh [--type TXT|CSV|SQLite|dBase] [--records N] [--collector PROGRAM] [--full-speed]
#                     [--one-cpu]
#
# --records N: the long transfer (default 5000; the short one is N/5).
# --full-speed: count with the kernel's own counter (`perf stat`, Debian's
#   linux-perf) instead of strace, which slows the collector about thirty-
#   fold: what happens once per interval (a lock let go every 100 ms, the log
#   written every 64 KiB) then weighs per record as it does at full speed.
#   It gives the total only, not each call.
# --one-cpu: the terminal and the collector share CPU 0 (taskset), as in the
#   throughput goals: at full speed the terminal then answers while the
#   collector is between calls, and the collector finds the next record
#   without waiting for it more often than across two CPUs.
# The build folder is $VENDRIX_BUILD_DIR (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR="$ROOT/$BUILD_DIR" ;; esac
BIN="$BUILD_DIR/bin"        # the program folder
BENCH="$BUILD_DIR/bench"    # the benchmark programs

type=TXT
records=5000
full=0
pin=()
collector="$BIN/Vendrix"
while [ $# -gt 0 ]; do
  case "$1" in
    --type) type="$2"; shift ;;
    --records) records="$2"; shift ;;
    --collector) collector="$2"; shift ;;
    --full-speed) full=1 ;;
    --one-cpu) pin=(taskset -c 0) ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "syscalls.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
case "$type" in
  TXT) dbtype="TXT (*.txt)"; file=data.txt ;;
  CSV) dbtype="CSV (*.csv)"; file=data.csv ;;
  SQLite) dbtype="Access 2.0 (*.mdb)"; file=data.mdb ;;
  dBase) dbtype="Dbase IV (*.dbf)"; file=data.dbf ;;
  *) echo "syscalls.sh: --type wants TXT, CSV, SQLite or dBase" >&2; exit 2 ;;
esac
for tool in "$collector" "$BENCH/vendrix_bench_terminal"; do
  [ -x "$tool" ] || { echo "syscalls.sh: $tool is missing; build it first" >&2; exit 2; }
done
if [ "$full" = 1 ]; then
  command -v perf >/dev/null || { echo "syscalls.sh: perf is not installed (Debian package linux-perf)" >&2; exit 2; }
  tracer=(perf stat -x, -e raw_syscalls:sys_enter)
else
  command -v strace >/dev/null || { echo "syscalls.sh: strace is not installed" >&2; exit 2; }
  tracer=(strace ${STRACE_OPTS:--f -c})
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One transfer of $1 records under strace; the summary goes to $2.
measure() {
  local n=$1 summary=$2 home
  home=$(mktemp -d "$work/home.XXXX")
  coproc TERM { exec ${pin[@]+"${pin[@]}"} "$BENCH/vendrix_bench_terminal" --records "$n" 2>"$home/terminal-stderr.txt"; }
  local line port
  read -r line <&"${TERM[0]}"
  port=${line#PORT }
  printf '[Com(1)]\r\nConnType=TCP\r\nIP1=127\r\nIP2=0\r\nIP3=0\r\nIP4=1\r\nIP5=%s\r\n[DBMS(1)]\r\nType=%s\r\nName=%s\r\nPolicy=Append\r\n' \
    "$port" "$dbtype" "$home/$file" >"$home/Vendrix.ini"
  VENDRIX_HOME="$home" ${pin[@]+"${pin[@]}"} "${tracer[@]}" -o "$summary" "$collector" --headless >"$home/stdout.txt" 2>"$home/stderr.txt" &
  local pid=$!
  read -r line <&"${TERM[0]}" # CONNECTED
  for _ in $(seq 300); do
    grep -q "Collector ready" "$home/LOG.txt" 2>/dev/null && break
    sleep 0.05
  done
  echo go >&"${TERM[1]}"
  read -r line <&"${TERM[0]}"
  case "$line" in *complete=1*) ;; *) echo "syscalls.sh: transfer of $n records incomplete: $line" >&2 ;; esac
  echo "$line" >&2
  sleep 0.2
  # The collector (the tracer's child) ends cleanly on SIGTERM; the tracer follows.
  local child
  child=$(pgrep -P "$pid" || true)
  [ -n "$child" ] && kill -TERM $child 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

short=$((records / 5))
measure "$short" "$work/short.txt"
measure "$records" "$work/long.txt"

python3 - "$work/short.txt" "$work/long.txt" "$short" "$records" "$type" "$full" <<'EOF'
import re, sys

def counts(path):
    out = {}
    if full:
        # perf stat -x,: "count,unit,event,..."
        for line in open(path):
            f = line.strip().split(",")
            if len(f) > 2 and f[2].startswith("raw_syscalls:sys_enter"):
                out["all calls"] = int(f[0])
        return out
    for line in open(path):
        f = line.split()
        # "% time seconds usecs/call calls [errors] syscall"
        if len(f) >= 5 and re.match(r"^[\d.]+$", f[0]) and f[-1] != "total":
            out[f[-1]] = int(f[3])
    return out

full = sys.argv[6] == "1"
a, b = counts(sys.argv[1]), counts(sys.argv[2])
n1, n2, kind = int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
rows = []
for name in sorted(set(a) | set(b)):
    per = (b.get(name, 0) - a.get(name, 0)) / (n2 - n1)
    if abs(per) >= 0.005:
        rows.append((per, name))
rows.sort(reverse=True)
print(f"System calls per {kind} record on the steady path ({n2} - {n1} records):")
for per, name in rows:
    print(f"  {name:<16}{per:6.2f}")
print(f"  {'total':<16}{sum(p for p, _ in rows):6.2f}")
EOF
