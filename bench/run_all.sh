#!/bin/sh
# Runs the benchmarks one after the other and prints one table: benchmark,
# figure, goal, met or not. Benchmarks print figures; they are not tests.
#
#   bench/run_all.sh [--quick] [--only "vista descarga ..."] [--out DIR]
#   bench/run_all.sh --table DIR      (only print the table of an earlier run)
#
# --quick: 3000 live-view frames (and 3000 more published on a tmpfs), 10 s
#          idle windows, 50 commands per latency phase, 1 download, 20
#          start-ups (about 3 minutes in all).
# Full run: 100000 live-view frames (~18 minutes) and 10000 more published
#          on a tmpfs, 60 s idle windows, 200 commands per latency phase, 5
#          downloads of 200 MB, 100 start-ups (about 28 minutes in all).
# Not in the default list: ritmo, live view against a bare preview loop at
# 0, 8, 16, 25 and 40 ms per preview (bench/vista.py --preview-ms --tmpfs,
# 10 s per figure, 3 s with --quick; about 2 minutes); configuracion, the
# whole configuration and one setting against bare library reads
# (bench/configuracion.py, 5 rounds, 2 with --quick; about a minute).
# Each benchmark's output goes to DIR/<name>.txt (default: a new directory
# under /tmp); the table is built from the RESULT lines in those files, so
# runs made separately into the same DIR (e.g. the long live-view run in the
# background) end up in one table.
#
# Uses build/ (GPBRIDGE_BUILD=DIR to use another build). Before each
# benchmark, waits up to BENCH_MAX_WAIT seconds (default 300) for the load
# average to drop below BENCH_MAX_LOAD (default 1.5 on 2 cores).
set -e
BENCH=$(cd "$(dirname "$0")" && pwd)
QUICK=0
ONLY="arranque reposo latencia descarga vista vista-tmpfs"
OUT=""
TABLE_ONLY=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; shift ;;
    --only) ONLY=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --table) OUT=$2; TABLE_ONLY=1; shift 2 ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "run_all.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -n "$OUT" ] || OUT=$(mktemp -d /tmp/gpbridge-bench.XXXXXX)
mkdir -p "$OUT"

if [ "$QUICK" = 1 ]; then
  A_VISTA=3000; A_VISTA_TMPFS=3000; A_RITMO=3; A_CONF="--rounds 2"; A_REPOSO="--seconds 10"; A_LAT="--count 50"; A_DESC="--reps 1"; A_ARR="--reps 20"
else
  A_VISTA=100000; A_VISTA_TMPFS=10000; A_RITMO=10; A_CONF="--rounds 5"; A_REPOSO="--seconds 60"; A_LAT="--count 200"; A_DESC="--reps 5"; A_ARR="--reps 100"
fi

status=0
if [ "$TABLE_ONLY" = 0 ]; then
  for b in $ONLY; do
    script=${b%-tmpfs}
    case "$b" in
      ritmo) script=vista; args="--preview-ms --tmpfs --seconds $A_RITMO" ;;
      configuracion) args=$A_CONF ;;
      vista) args=$A_VISTA ;;
      vista-tmpfs) args="$A_VISTA_TMPFS --tmpfs" ;;
      reposo) args=$A_REPOSO ;;
      latencia) args=$A_LAT ;;
      descarga) args=$A_DESC ;;
      arranque) args=$A_ARR ;;
      *) echo "run_all.sh: unknown benchmark $b" >&2; exit 2 ;;
    esac
    echo "== $b $args  ($(date '+%H:%M:%S'), load $(cut -d' ' -f1 /proc/loadavg))"
    # shellcheck disable=SC2086
    if ! python3 "$BENCH/$script.py" $args >"$OUT/$b.txt" 2>&1; then
      echo "   $b failed; see $OUT/$b.txt" >&2
      status=1
    fi
    grep -v '^RESULT' "$OUT/$b.txt" | sed 's/^/   /'
  done
fi

echo
echo "Results in $OUT"
for b in arranque reposo latencia descarga vista vista-tmpfs ritmo configuracion; do
  [ -f "$OUT/$b.txt" ] && cat "$OUT/$b.txt"
done | awk -F'\t' '
  $1 == "RESULT" { n++; b[n]=$2; f[n]=$3; v[n]=$4; g[n]=$5; m[n]=$6 }
  END {
    print "| Benchmark | Figure | Value | Goal | Met |"
    print "|---|---|---|---|---|"
    for (i = 1; i <= n; i++) printf "| %s | %s | %s | %s | %s |\n", b[i], f[i], v[i], g[i], (m[i] == "met" ? "yes" : (m[i] == "-" ? "-" : "**no**"))
  }'
exit $status
