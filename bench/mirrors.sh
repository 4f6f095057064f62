#!/usr/bin/env bash
# A whole build downloaded into an empty folder from two healthy mirrors of the same tree, one
# paced to 8 MiB/s and one to 24 MiB/s in total. Each limit is shared by every connection to
# that server, as a server's uplink is: bench/throttle_proxy.py listens on one port per mirror in
# front of one nginx on 127.0.0.1 (nginx's limit_rate is per connection, so a client could beat
# it by opening more). The release is 256 MiB: 3 files of 64 MiB and 1,000 files of 4 to 124 KiB
# (random sizes and bytes) making up the other 64 MiB, packed with --compress never so that both
# tools move the same bytes.
#   ours: vtupdate -dir EMPTY -url SLOW --mirror FAST --json; the update server is the slow one,
#         so a client that keeps to it gets 8 MiB/s and one that spreads the work well nearly 32.
#   peer: aria2c with both URLs of every object on its input line (TAB-separated, slow first,
#         the order vtupdate gets them in): -j 4 -x 2 -s 2 -k 1M --uri-selector=adaptive
#         --file-allocation=none. Four files at once, as vtupdate's four download workers;
#         each big file in 1 MiB pieces (the least -k allows) over one connection a mirror,
#         so that the faster connection takes more of them; "adaptive" gives each download's
#         first connection to a mirror that has proved fast, where the default "feedback"
#         left far more of the release to the slow mirror; no preallocation, which would
#         only cost time. More connections a file (-s 4, -x 4 -s 8)
#         and -j 8 were no faster (bench/README.md has the trials). VT_BENCH_ARIA2C replaces
#         "-j 4 ... adaptive". aria2c neither verifies nor flushes what it gets; vtupdate does
#         both.
# The proxy counts the bytes each mirror sent, so every run shows how the tool split the work.
# Both tools' files are compared with the source's SHA-256 after every run; the target is
# removed and dirty pages are written back before every run; best of 3 (VT_BENCH_ROUNDS),
# round-robin.
# Goals: ours at least 0.85 x the sum of the two rates; ours at least as fast as aria2c.
# Usage: bench/mirrors.sh   (VT_BENCH_SMALL=1: 3 files of 8 MiB and 128 small ones, 32 MiB, at 1
#   and 3 MiB/s; see common.sh)
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

big_mib=64
small_count=1000
slow_kib=$((8 << 10))
fast_kib=$((24 << 10))
if [ "$small" = 1 ]; then
  big_mib=8
  small_count=128
  slow_kib=$((1 << 10))
  fast_kib=$((3 << 10))
fi
big_count=3
# The small files make up a quarter of the release.
small_total=$((big_mib << 20))
release_bytes=$((big_count * (big_mib << 20) + small_total))
rounds="${VT_BENCH_ROUNDS:-3}"
read -r -a aria_options <<<"${VT_BENCH_ARIA2C:--j 4 -x 2 -s 2 -k 1M --uri-selector=adaptive}"

bench_build curl aria2c nginx python3 sha256sum
bench_workdir
proxy_pid=""
stop_proxy() {
  if [ -n "$proxy_pid" ]; then
    kill "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
  fi
  bench_cleanup
}
trap stop_proxy EXIT
echo "load at the start: $(uptime)"

# A vtupdate built before --mirror refuses it; the peer's row is still worth having then.
ours_ok=1
if ! "$vtupdate" --version --mirror http://127.0.0.1:9/ >/dev/null 2>"$work/probe.err"; then
  if ! grep -q -- --mirror "$work/probe.err"; then
    cat "$work/probe.err" >&2
    exit 1
  fi
  ours_ok=0
  echo "this vtupdate does not take --mirror ($(head -1 "$work/probe.err")): our row is skipped"
fi

# Sizes from a fixed seed, the same in every run of the script; what the draw leaves over or
# short of the quarter is spread over the files within their bounds.
make_release() {
  local dir="$work/source" lo=4096 hi=$((124 << 10)) i size sum=0 missing step
  local -a sizes=()
  mkdir -p "$dir"
  for i in $(seq 1 "$big_count"); do head -c $((big_mib << 20)) /dev/urandom >"$dir/big$i.pak"; done
  RANDOM=2024
  for i in $(seq 0 $((small_count - 1))); do
    sizes[i]=$((lo + (RANDOM * 32768 + RANDOM) % (hi - lo + 1)))
    sum=$((sum + sizes[i]))
  done
  missing=$((small_total - sum))
  while [ "$missing" -ne 0 ]; do
    for i in $(seq 0 $((small_count - 1))); do
      step=$((missing / (small_count - i)))
      [ "$step" -ne 0 ] || step=$((missing > 0 ? 1 : -1))
      size=$((sizes[i] + step))
      size=$((size < lo ? lo : size > hi ? hi : size))
      missing=$((missing - (size - sizes[i])))
      sizes[i]=$size
      [ "$missing" -ne 0 ] || break
    done
  done
  for i in $(seq 0 $((small_count - 1))); do
    mkdir -p "$dir/data/d$((i % 20))"
    head -c "${sizes[i]}" /dev/urandom >"$dir/data/d$((i % 20))/s$i.dat"
  done
  (cd "$dir" && find . -type f -printf '%P\n' | sort | xargs -d '\n' sha256sum) >"$work/source.sha256"
  bench_pack "$dir" "$work/www" 1
}

# Starts the proxy in front of nginx's port $1; sets $slow_url and $fast_url.
start_proxy() {
  python3 "$root/bench/throttle_proxy.py" --upstream "$1" --rate "${slow_kib}K" \
    --rate "${fast_kib}K" --ports "$work/ports" >>"$work/proxy.log" 2>"$work/proxy.err" &
  proxy_pid=$!
  for _ in $(seq 1 100); do
    if [ -s "$work/ports" ]; then
      slow_url="http://127.0.0.1:$(sed -n 1p "$work/ports")/"
      fast_url="http://127.0.0.1:$(sed -n 2p "$work/ports")/"
      return 0
    fi
    kill -0 "$proxy_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "the throttling proxy did not start:" >&2
  cat "$work/proxy.err" >&2
  exit 1
}

# aria2c's input: every object of the list with both mirrors' URLs on one line, and where it
# goes. Objects are o/<first two hex digits>/<SHA-256>, as vtpublish lays them out.
make_peer_input() {
  local path hash object dir
  : >"$work/aria2.in"
  grep -o '"p":"[^"]*","s":[0-9]*,"h":"[0-9a-f]*"' "$work/www"/lists/*.json |
    sed 's|\\/|/|g; s|^"p":"\([^"]*\)",.*"h":"\([0-9a-f]*\)"$|\1 \2|' |
    while read -r path hash; do
      object="o/${hash:0:2}/$hash"
      dir="$(dirname "$path")"
      [ "$dir" != . ] || dir=""
      printf '%s\t%s\n  dir=%s\n  out=%s\n' "$slow_url$object" "$fast_url$object" \
        "$work/target${dir:+/$dir}" "$(basename "$path")" >>"$work/aria2.in"
    done
  hash="$(grep -o '"p":"big1.pak","s":[0-9]*,"h":"[0-9a-f]*"' "$work/www"/lists/*.json |
    sed 's|.*"h":"||; s|"$||')"
  big_object="o/${hash:0:2}/$hash"
}

# Two connections at once through each port, a second's worth of bytes each: their total rate
# must be the port's limit, not twice it. One curl opens both at once (--parallel-immediate;
# without it curl waits to reuse the first connection), so the longer transfer spans the pair.
check_throttle() {
  local name base kib range slowest
  for name in slow fast; do
    if [ "$name" = slow ]; then base="$slow_url" kib=$slow_kib; else base="$fast_url" kib=$fast_kib; fi
    range="0-$((kib * 1024 - 1))"
    slowest="$(curl -sS --no-progress-meter --parallel --parallel-immediate -w '%{time_total}\n' \
      -r "$range" -o /dev/null "$base$big_object" -r "$range" -o /dev/null "$base$big_object" |
      sort -n | tail -1)"
    awk -v s="$slowest" -v kib="$kib" -v n="$name" 'BEGIN {
      printf "  throttle check, %s mirror, two connections at once: %.2f MiB/s in total (limit %.0f)\n",
        n, 2 * kib / 1024 / s, kib / 1024 }'
  done
}

fresh_target() {
  rm -rf "$work/target"
  sync
}

# The target must hold exactly the source's files, each with the source's SHA-256, beside
# vtupdate's record and its memory of trust.
check_target() {
  local odd
  odd="$(diff <(sed 's/^[0-9a-f]*  //' "$work/source.sha256") \
    <(cd "$work/target" && find . -type f ! -path ./installed.json ! -path ./vtlaunch.trust -printf '%P\n' | sort))" || true
  if [ -n "$odd" ]; then
    echo "$1 left other files in the target than the source's (< missing, > extra):" >&2
    echo "$odd" | grep '^[<>]' | head -5 >&2
    exit 1
  fi
  if ! (cd "$work/target" && sha256sum --quiet --strict -c "$work/source.sha256") >&2; then
    echo "$1 left files that differ from the source" >&2
    exit 1
  fi
}

# The bytes each mirror sent since the log was last emptied, as "SLOW_MIB FAST_MIB"; the
# proxy writes one line per closed connection, and by now the check above has given it time.
mirror_split() {
  local slow_port fast_port
  slow_port="$(sed -n 1p "$work/ports")"
  fast_port="$(sed -n 2p "$work/ports")"
  awk -v s="$slow_port" -v f="$fast_port" '$1 == s { a += $2 } $1 == f { b += $2 }
    END { printf "%.1f %.1f", a / 1048576, b / 1048576 }' "$work/proxy.log"
}

declare -A split_of=()
# One run of tool name $1, timed by the command "${@:2}", with its check and its split.
run_tool() {
  local name="$1" slow_mib fast_mib
  shift
  fresh_target
  : >"$work/proxy.log"
  "$@"
  check_target "$name"
  read -r slow_mib fast_mib <<<"$(mirror_split)"
  printf '  %-20s %8s s   from the slow mirror %6s MiB, from the fast one %6s MiB\n' \
    "$name" "$(awk -v ns="$ns" 'BEGIN { printf "%.3f", ns / 1e9 }')" "$slow_mib" "$fast_mib"
  if [ -z "${best_ns[$name]:-}" ] || [ "$ns" -lt "${best_ns[$name]}" ]; then
    split_of[$name]="$slow_mib / $fast_mib"
  fi
  record "$name"
}

# Times one vtupdate run into the target; sets $ns and $mem_kib. Its JSON Lines end with
# {"event":"done",...} when the folder is up to date.
time_ours() {
  local start ok=1
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/mem" "$vtupdate" -dir "$work/target" -url "$slow_url" \
    --mirror "$fast_url" --json >"$work/ours.out" 2>"$work/ours.err" || ok=0
  ns=$(($(date +%s%N) - start))
  if [ "$ok" -eq 0 ] || [ "$(tail -1 "$work/ours.out")" != '{"event":"done","build":1}' ]; then
    echo "vtupdate did not bring the target up to date:" >&2
    tail -n 3 "$work/ours.out" "$work/ours.err" >&2
    exit 1
  fi
  mem_kib="$(tail -1 "$work/mem")"
}

echo "writing $big_count files of $big_mib MiB and $small_count of 4 to 124 KiB"
make_release
bench_serve "$work/www"
nginx_port="${url#http://127.0.0.1:}"
start_proxy "${nginx_port%/}"
make_peer_input
ours="vtupdate --mirror"
aria_name="aria2c, both mirrors"
echo
echo "== $((release_bytes >> 20)) MiB from two mirrors on 127.0.0.1 at $((slow_kib >> 10)) and" \
  "$((fast_kib >> 10)) MiB/s into an empty folder, best of $rounds"
check_throttle
for round in $(seq 1 "$rounds"); do
  echo "-- round $round"
  if [ "$ours_ok" = 1 ]; then run_tool "$ours" time_ours; fi
  run_tool "$aria_name" time_cmd aria2c "${aria_options[@]}" --file-allocation=none \
    --allow-overwrite=true --auto-file-renaming=false -q -i "$work/aria2.in"
done
rm -rf "$work/target"

rate() { awk -v b="$release_bytes" -v ns="${best_ns[$1]}" 'BEGIN { printf "%.2f", b / 1048576 / (ns / 1e9) }'; }
sum_mib=$(((slow_kib + fast_kib) >> 10))
echo
printf '  %-20s %9s %9s %22s %9s\n' "tool" "best s" "MiB/s" "MiB slow / fast" "peak MiB"
names=()
[ "$ours_ok" = 0 ] || names+=("$ours")
names+=("$aria_name")
for name in "${names[@]}"; do
  printf '  %-20s %9s %9s %22s %9s\n' "$name" "$(seconds "$name")" "$(rate "$name")" \
    "${split_of[$name]}" "$(mib "$name")"
done
echo "  sum of the two mirrors' rates: $sum_mib MiB/s"
echo "  aria2c / sum: $(awk -v r="$(rate "$aria_name")" -v s="$sum_mib" 'BEGIN { printf "%.2f", r / s }')"
if [ "$ours_ok" = 1 ]; then
  awk -v r="$(rate "$ours")" -v s="$sum_mib" 'BEGIN {
    printf "  goal: ours at least 0.85 x the sum of the rates: %.2f >= 0.85: %s\n", r / s,
      (r / s >= 0.85 ? "met" : "MISSED") }'
  print_goal "ours at least as fast as aria2c, time ratio" "$ours" "$aria_name" 1.0
else
  echo "  goals: skipped (no --mirror in this vtupdate)"
fi
print_load
