# shellcheck shell=bash disable=SC2034  # sets variables for the scripts that source it
# Shared by the whole-run benchmarks (checking.sh, uptodate.sh, downloads.sh); sourced, not run.
# It builds vtupdate and vtpublish, makes a scratch folder that is removed on every exit path,
# serves a tree with a private nginx on 127.0.0.1, and times commands.
#
# Environment:
#   VT_BENCH_BUILD  build folder to use (default build/release, configured from its preset)
#   VT_BENCH_DIR    parent of the scratch folder (default /tmp)
#   VT_BENCH_SMALL  when 1, every data set is scaled down (for trying the scripts out)

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
small="${VT_BENCH_SMALL:-0}"
build="${VT_BENCH_BUILD:-$root/build/release}"
key="$root/keys/dev-release-key.pem"
nginx_pid=""

# Builds the two programs; a build folder of our own is configured in Release.
bench_build() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ -z "${VT_BENCH_BUILD:-}" ]; then
      (cd "$root" && cmake --preset release >/dev/null)
    else
      cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
  fi
  local log
  log="$(mktemp)"
  if ! cmake --build "$build" --target vtupdate vtpublish >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
  vtupdate="$build/tools/vtupdate/vtupdate"
  vtpublish="$build/tools/vtpublish/vtpublish"
  for tool in /usr/bin/time "$@"; do
    command -v "$tool" >/dev/null || {
      echo "missing $tool: run scripts/bootstrap" >&2
      exit 1
    }
  done
}

bench_cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ -n "${work:-}" ] && [ -z "${VT_BENCH_KEEP:-}" ]; then rm -rf "$work"; fi
}

# Makes $work, removed (and nginx stopped) however the script ends.
bench_workdir() {
  mkdir -p "${VT_BENCH_DIR:-/tmp}"
  work="$(mktemp -d "${VT_BENCH_DIR:-/tmp}/vt_bench.XXXXXX")"
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
  # nginx's workers may run as another user: they must be able to walk down to the tree.
  chmod 755 "$work"
}

# Serves folder $1 on a free port of 127.0.0.1; sets $url (ending in "/"). With a second
# argument, every request is logged to that file as "<bytes sent, headers included> <status>
# <connection number> <method> <URI> <time> <seconds taken>", one a line.
bench_serve() {
  local tree="$1" log="${2:-}" conf="$work/nginx" port user="" access="access_log off;"
  mkdir -p "$conf"
  [ "$(id -u)" -ne 0 ] || user="user root;"
  if [ -n "$log" ]; then
    access="log_format bench
    '\$bytes_sent \$status \$connection \$request_method \$request_uri \$msec \$request_time';
  access_log $log bench;"
  fi
  for _ in $(seq 1 20); do
    port=$((20000 + RANDOM % 40000))
    if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then continue; fi
    cat >"$conf/nginx.conf" <<EOF
$user
worker_processes 2;
daemon off;
pid $conf/nginx.pid;
error_log $conf/error.log warn;
events { worker_connections 256; }
http {
  $access
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000;
  default_type application/octet-stream;
  client_body_temp_path $conf/body;
  proxy_temp_path $conf/proxy;
  fastcgi_temp_path $conf/fastcgi;
  uwsgi_temp_path $conf/uwsgi;
  scgi_temp_path $conf/scgi;
  server {
    listen 127.0.0.1:$port;
    root $tree;
  }
}
EOF
    nginx -p "$conf" -c "$conf/nginx.conf" 2>>"$conf/error.log" &
    nginx_pid=$!
    for _ in $(seq 1 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
        url="http://127.0.0.1:$port/"
        return 0
      fi
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
  done
  echo "nginx did not start:" >&2
  cat "$conf/error.log" >&2
  exit 1
}

# Packs game folder $1 into tree $2 as build $3, without compression. vtpublish flushes every
# object and its folder, which is minutes for 20,000 files on a slow disk; that is setup here,
# so eatmydata turns the flushes off and one sync at the end writes everything back before any
# timing starts.
bench_pack() {
  local quick=()
  if command -v eatmydata >/dev/null; then quick=(eatmydata); fi
  "${quick[@]}" "$vtpublish" pack "$1" "$2" --build "$3" --key "$key" --compress never >/dev/null
  sync
}

# Runs one vtupdate of folder $1 from $url, which must end up to date; sets $ns (wall time) and
# $mem_kib (peak resident memory).
time_vtupdate() {
  local start ok=1
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/mem" "$vtupdate" -dir "$1" -url "$url" >"$work/vtupdate.out" \
    2>&1 || ok=0
  ns=$(($(date +%s%N) - start))
  if [ "$ok" -eq 0 ] || ! grep -q '^Up to date (build [0-9]*)\.$' "$work/vtupdate.out"; then
    echo "vtupdate did not bring $1 up to date:" >&2
    tail -5 "$work/vtupdate.out" >&2
    exit 1
  fi
  mem_kib="$(tail -1 "$work/mem")"
}

# Times "$@" (its output dropped) under /usr/bin/time; sets $ns and $mem_kib. A failing command
# ends the script.
time_cmd() {
  local start ok=1
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$work/mem" "$@" >/dev/null 2>"$work/cmd.err" || ok=0
  ns=$(($(date +%s%N) - start))
  if [ "$ok" -eq 0 ]; then
    echo "failed: $*" >&2
    cat "$work/cmd.err" >&2
    exit 1
  fi
  mem_kib="$(tail -1 "$work/mem")"
}

# Keeps the best time and the highest peak memory per tool name: best_ns[name], peak_kib[name].
declare -A best_ns=() peak_kib=()
record() {
  local name="$1"
  if [ -z "${best_ns[$name]:-}" ] || [ "$ns" -lt "${best_ns[$name]}" ]; then best_ns[$name]=$ns; fi
  if [ -z "${peak_kib[$name]:-}" ] || [ "$mem_kib" -gt "${peak_kib[$name]}" ]; then
    peak_kib[$name]=$mem_kib
  fi
}

seconds() { awk -v ns="${best_ns[$1]}" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
ratio() { awk -v a="${best_ns[$1]}" -v b="${best_ns[$2]}" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="${peak_kib[$1]}" 'BEGIN { printf "%.1f", k / 1024 }'; }

# Prints one table row per tool name: best seconds, ratio of ours (first name) to it, peak MiB.
print_table() {
  local ours="$1" name
  printf '  %-34s %9s %12s %9s\n' "tool" "best s" "ours / tool" "peak MiB"
  for name in "$@"; do
    printf '  %-34s %9s %12s %9s\n' "$name" "$(seconds "$name")" "$(ratio "$ours" "$name")" \
      "$(mib "$name")"
  done
}

# Prints "goal: TEXT: RATIO <= LIMIT: met" (or MISSED) for the ratio of ours to the peer; with a
# fifth argument "<" the ratio must be below the limit.
print_goal() {
  local text="$1" ours="$2" peer="$3" limit="$4" op="${5:-<=}" r verdict
  r="$(ratio "$ours" "$peer")"
  verdict="$(awk -v a="${best_ns[$ours]}" -v b="${best_ns[$peer]}" -v l="$limit" -v op="$op" \
    'BEGIN { q = a / b; print ((op == "<" ? q < l : q <= l) ? "met" : "MISSED") }')"
  printf '  goal: %s: %s %s %s: %s\n' "$text" "$r" "$op" "$limit" "$verdict"
}

# Prints the goal line for the peak memory of tool name $1 against $2 MiB.
print_memory_goal() {
  local ours="$1" limit_mib="$2" verdict
  verdict="$(awk -v k="${peak_kib[$ours]}" -v l="$limit_mib" \
    'BEGIN { print (k <= l * 1024 ? "met" : "MISSED") }')"
  printf '  goal: our peak memory at most %s MiB: %s MiB: %s\n' "$limit_mib" "$(mib "$ours")" \
    "$verdict"
}

print_load() {
  echo "  load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
}
