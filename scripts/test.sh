#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build (and after it the
# browser suite, scripts/browser-tests.sh), then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, then the threaded tests under
# ThreadSanitizer, then each fuzz target briefly (scripts/fuzz.sh), then the Debian packages: built
# and checked by lintian (scripts/package.sh), installed, run once and purged
# (scripts/package-check.sh), then the Windows build and its tests under Wine (scripts/windows.sh).
# Set DRALMIN_PRESETS (e.g. "default") to run fewer.
#
# It ends with a table of what each step ran: tests passed, failed, not run (and why), seconds.
# A step script may add its own rows: DRALMIN_SUMMARY names a file to which it appends lines
# STEP<TAB>PASSED<TAB>FAILED<TAB>NOTRUN<TAB>SECONDS<TAB>REASON (REASON empty unless something did
# not run). A failing step stops the run, after the table of what ran up to there.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# With a compiler cache, a second run over mostly the same sources compiles only what changed.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DRALMIN_SUMMARY=$work/summary
: >"$DRALMIN_SUMMARY"
log=$work/log

record() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$DRALMIN_SUMMARY"; }

# Rows of ctest's output: "N% tests passed, F tests failed out of T" counts skipped tests among
# the passed ones; they are listed under "The following tests did not run:", each with why in its
# output, which ctest keeps in the build's LastTest.log ("...: Skipped" and the message on the
# next line, for a skipped gtest).
ctest_row() {
  local step=${ctest_step_name:-windows} seconds=$1 total failed notrun reason
  total=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of [0-9]*$/\1/p' "$log" | tail -n 1)
  notrun=$(sed -n '/^The following tests did not run:/,/^$/p' "$log" | grep -c ' - ' || true)
  reason=
  if ((notrun)); then
    # The messages of the skipped tests, each once, with how many said it.
    reason=$(grep -hs -A1 -E ': Skipped$' "build/$step/Testing/Temporary/LastTest.log" "$log" |
             grep -vE ': Skipped$|^--$' | sort | uniq -c | sed 's/^ *\([0-9]*\) /\1: /' |
             paste -sd ';' - | sed 's/;/; /g') || true
    [[ -n $reason ]] || reason="see ctest's list of tests that did not run"
  fi
  total=${total:-0} failed=${failed:-0}
  record "$step" $((total - failed - notrun)) "$failed" "$notrun" "$seconds" "$reason"
}

# The table, and the count of every suite; rows "step: part" are parts of a step (counted, while
# a step that has parts is not counted again).
print_summary() {
  local status=$1
  echo
  echo "== summary"
  awk -F'\t' -v status="$status" '
    { step[NR] = $1; p[NR] = $2; f[NR] = $3; n[NR] = $4; s[NR] = $5; r[NR] = $6
      if (index($1, ": ")) {
        parent = substr($1, 1, index($1, ": ") - 1)
        hasparts[parent] = 1; pp[parent] += $2; pf[parent] += $3; pn[parent] += $4
      } }
    END {
      printf "%-40s %7s %7s %7s %8s  %s\n", "step", "passed", "failed", "not run", "seconds", "why not run"
      for (i = 1; i <= NR; i++) {
        if (step[i] in hasparts) { p[i] = pp[step[i]]; f[i] = pf[step[i]]; n[i] = pn[step[i]] }
        printf "%-40s %7d %7d %7d %8d  %s\n", step[i], p[i], f[i], n[i], s[i], r[i]
        if (!(step[i] in hasparts)) { P += p[i]; F += f[i]; N += n[i] }
      }
      printf "all steps: %d passed, %d failed, %d not run%s\n", P, F, N,
             status ? " (stopped by a failing step)" : ""
    }' "$DRALMIN_SUMMARY"
}

# Runs one step (STEP ROW COMMAND...): ROW, when not empty, is called with the seconds to add the
# step's row, whether it failed or not; on failure a row is added when there is none yet, then the
# table is printed and the run stops.
run_step() {
  local step=$1 row=$2 rows started status=0
  shift 2
  rows=$(wc -l <"$DRALMIN_SUMMARY")
  started=$SECONDS
  "$@" || status=$?
  step_seconds=$((SECONDS - started))
  if [[ -n $row ]]; then "$row" "$step_seconds"; fi
  if ((status)); then
    if (($(wc -l <"$DRALMIN_SUMMARY") == rows)); then
      record "$step" 0 1 0 "$step_seconds" "failed with status $status before reporting its tests"
    elif ! tail -n +$((rows + 1)) "$DRALMIN_SUMMARY" | awk -F'\t' '$3 > 0 { found = 1 } END { exit !found }'; then
      # Its rows say nothing failed: what failed came after the last of them.
      record "$step: after its last reported part" 0 1 0 0 "failed with status $status"
    fi
    print_summary "$status"
    exit "$status"
  fi
}

ctest_step() {
  local preset=$1
  scripts/build.sh "$preset" && ctest --preset "$preset" -j2 | tee "$log"
}

browser_step() {
  DRALMIN_BUILD_DIR=build/default scripts/browser-tests.sh | tee "$log"
}

# node --test's closing counts, as TAP ("# pass 12") or its own reporter ("ℹ pass 12").
browser_row() {
  local seconds=$1 pass fail skipped todo cancelled reason=
  count() { sed -n "s/^\(# \|ℹ \)$1 \([0-9]*\)$/\2/p" "$log" | tail -n 1; }
  pass=$(count pass) fail=$(count fail) skipped=$(count skipped) todo=$(count todo)
  cancelled=$(count cancelled)
  pass=${pass:-0} fail=${fail:-0} skipped=${skipped:-0} todo=${todo:-0} cancelled=${cancelled:-0}
  if ((skipped)); then reason="$skipped skipped"; fi
  if ((todo)); then reason="${reason:+$reason, }$todo to do"; fi
  if ((cancelled)); then reason="${reason:+$reason, }$cancelled cancelled"; fi
  record browser "$pass" "$fail" $((skipped + todo + cancelled)) "$seconds" "$reason"
}

windows_step() {
  scripts/windows.sh | tee "$log"
}

package_step() {
  scripts/package.sh && scripts/package-check.sh
}

for preset in ${DRALMIN_PRESETS:-default asan tsan fuzz package windows}; do
  echo "== $preset"
  case $preset in
    fuzz)
      # scripts/fuzz.sh adds its own row: the targets run and those that failed.
      run_step fuzz "" scripts/fuzz.sh
      ;;
    package)
      # Two checks: built and lintian-clean, then installed, run and purged.
      run_step package "" package_step
      record package 2 0 0 "$step_seconds" ""
      ;;
    windows)
      # scripts/windows.sh may add rows of its own parts; without them, ctest's count.
      rows=$(wc -l <"$DRALMIN_SUMMARY")
      run_step windows "" windows_step
      if (($(wc -l <"$DRALMIN_SUMMARY") == rows)); then
        ctest_step_name=windows ctest_row "$step_seconds"
      else
        # The step's total over its parts, with the whole step's time.
        record windows 0 0 0 "$step_seconds" ""
      fi
      ;;
    *)
      ctest_step_name=$preset
      run_step "$preset" ctest_row ctest_step "$preset"
      if [[ $preset == default ]]; then
        echo "== browser"
        run_step browser browser_row browser_step
      fi
      ;;
  esac
done

print_summary 0
