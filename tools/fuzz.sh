#!/usr/bin/env bash
# Builds every fuzz target (the executables named fuzz_*, built with clang and
# -DTALVENOR_FUZZ=ON in build-fuzz/) and runs each in turn; the first argument is the total
# time in seconds (default 60), shared evenly among the targets, so adding a target does not
# lengthen the run. Seeds: the stores our own PST writer generates, and a target's own seed
# folder (own_seeds below). Crash inputs land in build-fuzz/crashes/TARGET/;
# turn each into a regression test. Fails when any target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/support/require.sh
total=${1:-60}
build=build-fuzz

require clang clang && require clang++ clang || exit 1
require_file "$(clang --print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" libclang-rt-14-dev \
    "clang's libFuzzer runtime" || exit 1

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTALVENOR_FUZZ=ON -DTALVENOR_TESTS=OFF >/dev/null
# Qt's code generation adds helper targets (NAME_autogen...) beside each executable.
mapfile -t targets < <(cmake --build "$build" --target help |
    sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): .*/\1/p' | grep -v '_autogen' | sort -u)
if [ ${#targets[@]} -eq 0 ]; then
    echo "fuzz.sh: no fuzz_* target is defined" >&2
    exit 1
fi
cmake --build "$build" -j2 --target "${targets[@]}"

# Small stores of our own writer are the common seeds: every structure a store reader walks is
# in them.
seeds="$build/seeds"
mkdir -p "$seeds"
if cmake --build "$build" -j2 --target pstwriter >/dev/null 2>&1; then
    for n in 1 3; do
        [ -f "$seeds/generated-$n.pst" ] ||
            "$build/bin/pstwriter" --generate "$n" "$seeds/generated-$n.pst" >/dev/null || true
    done
    for desc in tools/pstwriter/samples/*.json; do
        [ -f "$desc" ] || continue
        name=$(basename "$desc" .json)
        [ -f "$seeds/$name.pst" ] || "$build/bin/pstwriter" "$desc" "$seeds/$name.pst" >/dev/null || true
    done
fi

# Each target's own seeds. A set several targets read is kept once; the plain tests run every
# seed along the target's road too (test_pst_corpus, test_compoundfile, test_nativestore_wire).
declare -A own_seeds=(
    [fuzz_pst]=tests/pst/corpus/stores
    [fuzz_pstmessage]=tests/pst/corpus/stores
    [fuzz_nativestore]=tests/pst/corpus/stores
    [fuzz_cfb]=tests/msg/corpus/cfb
    [fuzz_records]=tests/nativestore/corpus/records
)

each=$((total / ${#targets[@]}))
[ $each -ge 1 ] || each=1
echo "fuzz.sh: ${#targets[@]} target(s), $each s each: ${targets[*]}"
failed=()
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus" "$build/crashes/$t"
    cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    [ -n "${own_seeds[$t]:-}" ] && cp -n "${own_seeds[$t]}"/* "$corpus"/ 2>/dev/null || true
    # ASan's leak check stays on: a leak of a library handle is a finding too. The libraries
    # we call are not instrumented, so the fuzzer would shrink the seeds to the few bytes our
    # own code looks at: keep them, whole, and let it mutate inside real inputs.
    if ! "$build/bin/$t" "$corpus" \
        -max_total_time="$each" -timeout=20 -rss_limit_mb=2560 -max_len=1048576 \
        -keep_seed=1 -reduce_inputs=0 -len_control=0 \
        -artifact_prefix="$build/crashes/$t/" -print_final_stats=1; then
        failed+=("$t")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: crash inputs of ${failed[*]} are in $build/crashes/" >&2
    exit 1
fi
