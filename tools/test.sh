#!/usr/bin/env bash
# Installs what is missing, builds the program and the tests twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer), runs every test in both builds and then every
# fuzz target for a bounded time. A red stage does not hide the later ones: each runs, and the
# end lists the stages with their times; the exit status is 1 when any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh || { echo "test.sh: installing the Debian packages failed" >&2; exit 1; }
jobs=$(nproc)

plain() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build build -j "$jobs" &&
        (cd build && ctest --output-on-failure -j "$jobs")
}
sanitized() {
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALVENOR_SANITIZE=ON &&
        cmake --build build-asan -j "$jobs" &&
        (cd build-asan && ctest --output-on-failure -j "$jobs" -LE no-sanitize)
}
fuzz() { tools/fuzz.sh 60; }

summary=() failed=0
for stage in plain sanitized fuzz; do
    start=$(date +%s)
    echo "test.sh: stage $stage"
    if $stage; then result=passed; else result=FAILED failed=1; fi
    summary+=("$(printf '%-10s %-7s %4d s' "$stage" "$result" $(($(date +%s) - start)))")
done
printf 'test.sh: %s\n' "${summary[@]}"
exit $failed
