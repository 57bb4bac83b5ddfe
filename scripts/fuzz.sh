#!/usr/bin/env bash
# Builds the fuzz preset (clang, ASan+UBSan, libFuzzer) and runs every fuzz target the build
# defines, or only the targets named as arguments, each for the seconds scripts/fuzz-seconds.txt
# gives it (20 for a target it does not name; that file says how they were judged), or for
# `--seconds N` / DRALMIN_FUZZ_SECONDS=N seconds each when asked for a longer run. Each run starts from the committed seed corpus in fuzz/corpus/<target>/ (when there
# is one), copied to a scratch folder so that the inputs a run discovers never land in the work
# tree. Inputs that crash are kept in build/fuzz/artifacts/<target>/. DRALMIN_FUZZ_FLAGS adds
# libFuzzer options. With DRALMIN_SUMMARY set (scripts/test.sh), it appends its row to that file:
# the targets that ran without a failure, those that failed, and the seconds it took.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS
seconds=${DRALMIN_FUZZ_SECONDS:-}
if [[ ${1:-} == --seconds ]]; then
  if [[ ! ${2:-} =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh [--seconds N] [TARGET...]" >&2
    exit 2
  fi
  seconds=$2
  shift 2
fi

# The seconds a target runs for: as asked, else its line in fuzz-seconds.txt, else 20.
target_seconds() {
  if [[ -n $seconds ]]; then echo "$seconds"; return; fi
  local listed
  listed=$(awk -v t="$1" '$1 == t { print $2 }' scripts/fuzz-seconds.txt 2>/dev/null)
  echo "${listed:-20}"
}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

if (($#)); then
  targets=("$@")
else
  mapfile -t targets <build/fuzz/fuzz/fuzz-targets.txt
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/dralmin-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${targets[@]}"; do
  binary=$root/build/fuzz/fuzz/$target
  if [[ ! -x $binary ]]; then
    echo "no fuzz target $target" >&2
    exit 2
  fi
  corpus=$scratch/$target
  artifacts=$root/build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  if [[ -d fuzz/corpus/$target ]]; then cp -R "fuzz/corpus/$target/." "$corpus/"; fi
  target_time=$(target_seconds "$target")
  options=(-max_total_time="$target_time" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  if [[ -f fuzz/dict/$target.dict ]]; then options+=(-dict="$root/fuzz/dict/$target.dict"); fi
  # shellcheck disable=SC2206  # the extra options are meant to be split into words
  options+=(${DRALMIN_FUZZ_FLAGS:-})
  echo "== fuzz $target (${target_time} s)"
  if ! "$binary" "${options[@]}" "$corpus" >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "!! $target failed; the input is in $artifacts/" >&2
    failed+=("$target")
  else
    grep -E '^(stat::number_of_executed_units|Done [0-9]+ runs)' "$scratch/$target.log" || true
  fi
done

if [[ -n ${DRALMIN_SUMMARY:-} ]]; then
  printf 'fuzz\t%s\t%s\t0\t%s\t\n' $((${#targets[@]} - ${#failed[@]})) "${#failed[@]}" \
    $((SECONDS - started)) >>"$DRALMIN_SUMMARY"
fi
if ((${#failed[@]})); then
  echo "Fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
echo "All ${#targets[@]} fuzz targets ran without a failure."
