#!/usr/bin/env bash
# Builds the store fuzz target with clang in its own build folder and runs it for a bounded
# time (default 60 s; first argument overrides). Seeds come from tests/nativestore/corpus and,
# when the PST writer is built, from the stores it generates. Crash inputs land in
# build-fuzz/crashes/; turn each into a regression test in tests/nativestore.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTALVENOR_FUZZ=ON -DTALVENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_nativestore

corpus="$build/corpus"
mkdir -p "$corpus" "$build/crashes"
if [ -d tests/nativestore/corpus ]; then
    cp -n tests/nativestore/corpus/* "$corpus"/ 2>/dev/null || true
fi
# Small stores of our own writer are the seeds: every structure libpff walks is in them.
if cmake --build "$build" -j2 --target pstwriter >/dev/null 2>&1; then
    for n in 1 3; do
        [ -f "$corpus/generated-$n.pst" ] ||
            "$build/bin/pstwriter" --generate "$n" "$corpus/generated-$n.pst" >/dev/null || true
    done
    for desc in tools/pstwriter/samples/*.json; do
        [ -f "$desc" ] || continue
        name=$(basename "$desc" .json)
        [ -f "$corpus/$name.pst" ] || "$build/bin/pstwriter" "$desc" "$corpus/$name.pst" >/dev/null || true
    done
fi

# ASan's leak check stays on: a leak of a libpff handle is a finding too. libpff itself is not
# instrumented, so the fuzzer would shrink the seeds to the few bytes our own code looks at:
# keep them, whole, and let it mutate inside real stores.
"$build/bin/fuzz_nativestore" "$corpus" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -max_len=1048576 \
    -keep_seed=1 -reduce_inputs=0 -len_control=0 \
    -artifact_prefix="$build/crashes/" -print_final_stats=1
