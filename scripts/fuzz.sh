#!/usr/bin/env bash
# Builds the fuzz preset (clang, ASan+UBSan, libFuzzer) and runs every fuzz target the build
# defines for DRALMIN_FUZZ_SECONDS seconds each (default 20), or only the targets named as
# arguments. Each run starts from the committed seed corpus in fuzz/corpus/<target>/ (when there
# is one), copied to a scratch folder so that the inputs a run discovers never land in the work
# tree. Inputs that crash are kept in build/fuzz/artifacts/<target>/. DRALMIN_FUZZ_FLAGS adds
# libFuzzer options.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${DRALMIN_FUZZ_SECONDS:-20}

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
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  if [[ -f fuzz/dict/$target.dict ]]; then options+=(-dict="$root/fuzz/dict/$target.dict"); fi
  # shellcheck disable=SC2206  # the extra options are meant to be split into words
  options+=(${DRALMIN_FUZZ_FLAGS:-})
  echo "== fuzz $target (${seconds} s)"
  if ! "$binary" "${options[@]}" "$corpus" >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "!! $target failed; the input is in $artifacts/" >&2
    failed+=("$target")
  else
    grep -E '^(stat::number_of_executed_units|Done [0-9]+ runs)' "$scratch/$target.log" || true
  fi
done

if ((${#failed[@]})); then
  echo "Fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
echo "All ${#targets[@]} fuzz targets ran ${seconds} s each without a failure."
