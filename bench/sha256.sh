#!/usr/bin/env bash
# SHA-256 throughput of our two paths beside OpenSSL and coreutils' sha256sum.
# 1. Google Benchmark over 1 MiB buffers, with OpenSSL at full strength and then with its SHA
#    extensions masked off (so that our portable path meets OpenSSL's best non-SHA-NI code).
# 2. The same 512 MiB file of random bytes (warm cache, best of 3 runs by CPU time, the tools
#    interleaved) through sha256sum, `openssl dgst -sha256` with and without its SHA
#    extensions, and our two paths, with every digest checked against sha256sum's.
# Usage: bench/sha256.sh   (VT_SHA_BENCH_FILE overrides the data file, default in /tmp)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
[ -f build/release/CMakeCache.txt ] || cmake --preset release
cmake --build --preset release --target vt_bench
bench="$root/build/release/bench/vt_bench"

# OpenSSL's capability mask: bit 29 of the second word is the SHA extensions.
no_sha_ext=":~0x20000000"

echo "== Google Benchmark, 1 MiB buffers"
"$bench" --benchmark_repetitions=3
echo
echo "== Google Benchmark, OpenSSL without its SHA extensions (OPENSSL_ia32cap=$no_sha_ext)"
OPENSSL_ia32cap="$no_sha_ext" "$bench" --benchmark_repetitions=3

data="${VT_SHA_BENCH_FILE:-/tmp/vt_sha256_bench.bin}"
size=$((512 << 20))
if [ "$(stat -c %s "$data" 2>/dev/null || echo 0)" != "$size" ]; then
  echo "writing $size random bytes to $data"
  head -c "$size" /dev/urandom >"$data"
fi
cat "$data" >/dev/null # warm the page cache

# The tools, run round-robin so that a change in machine load hits all of them alike; each
# one's best time of three counts. Every digest must equal sha256sum's.
names=("sha256sum" "openssl dgst -sha256" "openssl dgst -sha256, no SHA ext" "ours, portable"
  "ours, SHA-NI")
# Without SHA extensions the SHA-NI run is left out.
"$bench" --file=/dev/null >/dev/null 2>&1 || unset 'names[4]'
run_tool() {
  case "$1" in
    0) sha256sum "$data" ;;
    1) openssl dgst -sha256 -r "$data" ;;
    2) OPENSSL_ia32cap="$no_sha_ext" openssl dgst -sha256 -r "$data" ;;
    3) "$bench" --file="$data" --portable ;;
    4) "$bench" --file="$data" ;;
  esac
}

echo
echo "== $((size >> 20)) MiB file $data, warm cache, best of 3 interleaved runs"
echo "   MB/s of CPU time (user + system): on a shared machine wall-clock mostly measures the queue"
expected=$(sha256sum "$data" | cut -d' ' -f1)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
TIMEFORMAT='%3U %3S'
best=(0 0 0 0 0)
for _ in 1 2 3; do
  for i in "${!names[@]}"; do
    times=$({ time run_tool "$i" >"$out" 2>/dev/null; } 2>&1)
    ms=$(awk '{ printf "%d", ($1 + $2) * 1000 }' <<<"$times")
    digest=$(cut -d' ' -f1 "$out")
    if [ "$digest" != "$expected" ]; then
      echo "DIGEST MISMATCH: ${names[$i]} gave '$digest', sha256sum $expected" >&2
      exit 1
    fi
    if [ "${best[$i]}" -eq 0 ] || [ "$ms" -lt "${best[$i]}" ]; then best[$i]=$ms; fi
  done
done
rate() { awk -v b="$size" -v ms="${best[$1]}" 'BEGIN { printf "%.1f", b / (ms / 1e3) / 1e6 }'; }
ratio() { awk -v a="$(rate "$1")" -v b="$(rate "$2")" 'BEGIN { printf "%.3f", a / b }'; }
for i in "${!names[@]}"; do printf '  %-36s %8s\n' "${names[$i]}" "$(rate "$i")"; done
echo "  all digests agree: $expected"
echo
echo "== Ratios (file)"
if [ -n "${names[4]:-}" ]; then printf '  %-36s %8s\n' "ours SHA-NI / openssl" "$(ratio 4 1)"; fi
printf '  %-36s %8s\n' "ours portable / sha256sum" "$(ratio 3 0)" \
  "ours portable / openssl no SHA ext" "$(ratio 3 2)"
