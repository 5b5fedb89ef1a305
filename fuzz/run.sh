#!/bin/sh
# Runs the harnesses built by build.sh.
#   run.sh replay          every seed in corpus/<harness>/ once; fails on any finding
#   run.sh long [SECONDS]  fuzz each harness for SECONDS (default 60), seeded from the corpus;
#                          new inputs go to out/corpus/<harness>/, findings to out/findings/
# HARNESSES="fuzz_school ..." limits either mode to some harnesses.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/out"
harnesses=${HARNESSES:-"fuzz_subject fuzz_quoted fuzz_duration fuzz_school"}
mode=${1:-replay}

for h in $harnesses; do
  [ -x "$out/$h" ] || { echo "fuzz/out/$h is missing: run fuzz/build.sh first" >&2; exit 2; }
done

case "$mode" in
  replay)
    for h in $harnesses; do
      # Files, not the directory: libFuzzer then only runs them and never writes to the corpus.
      log="$out/$h.replay.log.$$"
      if ! "$out/$h" "$here/corpus/${h#fuzz_}"/* >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "replay of $h failed" >&2
        exit 1
      fi
      rm -f "$log"
      echo "$h: $(ls "$here/corpus/${h#fuzz_}" | wc -l) seeds replayed"
    done
    ;;
  long)
    seconds=${2:-60}
    failed=0
    for h in $harnesses; do
      mkdir -p "$out/corpus/$h" "$out/findings"
      # A single process: a finding stops the run and leaves its input in out/findings/.
      # The log gets its final name only when the run is over, so that two runs at once
      # (another checkout's make check, say) cannot write into each other's figures.
      log="$out/$h.long.log"
      if "$out/$h" -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
          -artifact_prefix="$out/findings/$h-" "$out/corpus/$h" "$here/corpus/${h#fuzz_}" \
          >"$log.$$" 2>&1; then
        status=ok
      else
        status="FAILED (see fuzz/out/$h.long.log)"
        failed=1
      fi
      mv "$log.$$" "$log"
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
      time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
      echo "$h: ${runs:-?} executions in ${time:-?} s, corpus $(ls "$out/corpus/$h" | wc -l) inputs: $status"
    done
    exit $failed
    ;;
  *)
    echo "usage: $0 replay | long [seconds]" >&2
    exit 2
    ;;
esac
