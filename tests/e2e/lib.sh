# shellcheck shell=bash
# Shared helpers of the end-to-end tests: the built programs, a private work folder, an nginx
# of our own on 127.0.0.1 (optionally with TLS from a throw-away CA), deterministic sample game
# folders and exact folder comparisons. Sourced by the test scripts, which run under
# `set -euo pipefail`; needs only bash, coreutils, openssl and nginx.

# CTest reads this exit status as "skipped" (e.g. nginx is not installed).
E2E_SKIP=77

E2E_WORK=""
E2E_PIDS=()
E2E_FAILURES=0
E2E_CASES=0

e2e_log() {
  printf '%s\n' "$*" >&2
}

e2e_die() {
  e2e_log "ERROR: $*"
  exit 1
}

# Ends every process we started (by its own pid) and removes the work folder; runs on every
# exit path through the EXIT trap. E2E_KEEP=1 keeps the folder for a post-mortem.
e2e_cleanup() {
  local pid
  for pid in "${E2E_PIDS[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      local tries=0
      while kill -0 "$pid" 2>/dev/null && [ $tries -lt 40 ]; do
        sleep 0.05
        tries=$((tries + 1))
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
  done
  E2E_PIDS=()
  if [ -n "$E2E_WORK" ] && [ -d "$E2E_WORK" ]; then
    if [ "${E2E_KEEP:-0}" = 1 ]; then
      e2e_log "work folder kept: $E2E_WORK"
    else
      rm -rf "$E2E_WORK"
    fi
  fi
}

# Remembers a background process so that the cleanup ends it.
e2e_track() {
  E2E_PIDS+=("$1")
}

# Forgets a process that has already been waited for.
e2e_untrack() {
  local keep=() pid
  for pid in "${E2E_PIDS[@]}"; do
    [ "$pid" = "$1" ] || keep+=("$pid")
  done
  E2E_PIDS=("${keep[@]}")
}

# Makes the work folder and installs the traps. Call once, first.
e2e_setup() {
  E2E_WORK="$(mktemp -d "${TMPDIR:-/tmp}/vt-e2e.XXXXXX")"
  trap e2e_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# Finds program NAME in the given folders (each either the program's own folder or a build
# folder holding tools/NAME/NAME) and prints its path.
e2e_find_program() {
  local name="$1" dir
  shift
  for dir in "$@"; do
    [ -n "$dir" ] || continue
    if [ -x "$dir/$name" ] && [ -f "$dir/$name" ]; then
      printf '%s\n' "$(cd "$dir" && pwd)/$name"
      return 0
    fi
    if [ -x "$dir/tools/$name/$name" ]; then
      printf '%s\n' "$(cd "$dir/tools/$name" && pwd)/$name"
      return 0
    fi
  done
  return 1
}

# Sets VTUPDATE and VTPUBLISH from the script's arguments (up to two folders) and VT_BIN_DIR.
e2e_find_programs() {
  VTUPDATE="$(e2e_find_program vtupdate "$@" "${VT_BIN_DIR:-}")" ||
    e2e_die "vtupdate not found in: $* ${VT_BIN_DIR:-} (pass its folder or set VT_BIN_DIR)"
  VTPUBLISH="$(e2e_find_program vtpublish "$@" "${VT_BIN_DIR:-}")" ||
    e2e_die "vtpublish not found in: $* ${VT_BIN_DIR:-} (pass its folder or set VT_BIN_DIR)"
  export VTUPDATE VTPUBLISH
}

# The development release key that default builds trust.
e2e_dev_key() {
  local here
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  printf '%s\n' "$here/../../keys/dev-release-key.pem"
}

# Exits with the skip status when a tool the test needs is missing.
e2e_require() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      e2e_log "SKIP: $tool is not installed"
      exit "$E2E_SKIP"
    fi
  done
}

# Exits with the skip status in a build that trusts another release key than the development
# key these runs sign with (CTest sets VT_E2E_FOREIGN_KEY there).
e2e_require_dev_key() {
  if [ "${VT_E2E_FOREIGN_KEY:-0}" = 1 ]; then
    e2e_log "SKIP: built with another release key; these runs sign with the development key"
    exit "$E2E_SKIP"
  fi
}

# Starts PROGRAM with ARGS in the background, its standard output to OUT (standard error to
# OUT.err), and sets E2E_BUSY_PID once it has printed its first download line, so that the run is
# surely mid-transfer; fails when none comes within 30 s. The process is tracked.
e2e_start_until_downloading() {
  local out="$1" _
  shift
  "$@" >"$out" 2>"$out.err" &
  E2E_BUSY_PID=$!
  e2e_track "$E2E_BUSY_PID"
  for _ in $(seq 1 600); do
    grep -qs '^Downloading the update: ' "$out" && return 0
    kill -0 "$E2E_BUSY_PID" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# Prints "PASS: NAME" or "FAIL: NAME" (and counts failures) after running the rest as a command.
e2e_case() {
  local name="$1"
  shift
  E2E_CASES=$((E2E_CASES + 1))
  # A script may define e2e_before_case and e2e_after_failure (to gather and show its logs).
  ! declare -F e2e_before_case >/dev/null || e2e_before_case
  if "$@"; then
    printf 'PASS: %s\n' "$name"
  else
    printf 'FAIL: %s\n' "$name"
    ! declare -F e2e_after_failure >/dev/null || e2e_after_failure
    E2E_FAILURES=$((E2E_FAILURES + 1))
  fi
}

# Prints the summary and gives the script's exit status.
e2e_finish() {
  printf '%s: %d cases, %d failed\n' "$(basename "$0")" "$E2E_CASES" "$E2E_FAILURES"
  [ "$E2E_FAILURES" -eq 0 ]
}

# ---- nginx ----------------------------------------------------------------------------------

E2E_NGINX_PID=""
E2E_WATCHDOG_PID=""
E2E_NGINX_DIR=""
E2E_HTTP_PORT=""
E2E_HTTPS_PORT=""
E2E_ACCESS_LOG=""

e2e_port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A free port below the kernel's ephemeral range: a port drawn from inside it can be taken by
# any client connection or port-0 server in a parallel test before nginx binds it.
e2e_random_free_port() {
  local port low=32768 _
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
  [ "$low" -gt 12000 ] || low=32768
  while :; do
    port=$((10000 + (RANDOM * 32768 + RANDOM) % (low - 10000)))
    e2e_port_in_use "$port" || break
  done
  printf '%s\n' "$port"
}

# Writes the configuration: one server on 127.0.0.1 serving ROOT over HTTP at / (and slowly at
# /slow/), and over HTTPS too when a certificate folder (from e2e_make_ca) is given.
e2e_write_nginx_conf() {
  local root="$1" certs="$2" dir="$E2E_NGINX_DIR"
  {
    cat <<EOF
# A single process: nothing forks, nothing changes user, and one pid ends it all.
master_process off;
pid $dir/nginx.pid;
error_log $dir/error.log info;
events { worker_connections 256; }
http {
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 30s;
  log_format e2e '\$request_method \$request_uri \$status \$body_bytes_sent';
  access_log $dir/access.log e2e;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$E2E_HTTP_PORT;
EOF
    if [ -n "$certs" ]; then
      cat <<EOF
    listen 127.0.0.1:$E2E_HTTPS_PORT ssl;
    ssl_certificate $certs/server.pem;
    ssl_certificate_key $certs/server.key;
EOF
    fi
    cat <<EOF
    server_name localhost;
    root $root;
    location / { }
    # The same tree at 256 KiB/s per connection, for runs that must still be busy a moment later.
    location /slow/ { alias $root/; limit_rate 256k; }
    # At 4 MiB/s, for a big file that must still be on its way a few seconds later.
    location /steady/ { alias $root/; limit_rate 4m; }
  }
}
EOF
  } >"$dir/nginx.conf"
}

# Waits until the server accepts connections on every port; fails when nginx has ended.
e2e_wait_for_nginx() {
  local tries=0 port
  for port in "$@"; do
    until e2e_port_in_use "$port"; do
      if ! kill -0 "$E2E_NGINX_PID" 2>/dev/null; then
        return 1
      fi
      tries=$((tries + 1))
      [ $tries -lt 200 ] || return 1
      sleep 0.05
    done
  done
}

# Starts nginx serving ROOT on free ports: sets E2E_HTTP_PORT (and E2E_HTTPS_PORT when a
# certificate folder is given) and E2E_ACCESS_LOG. Retries with other ports on a collision.
e2e_start_nginx() {
  local root="$1" certs="${2:-}" _
  e2e_require nginx
  E2E_NGINX_DIR="$E2E_WORK/nginx"
  mkdir -p "$E2E_NGINX_DIR/tmp"
  E2E_ACCESS_LOG="$E2E_NGINX_DIR/access.log"
  for _ in 1 2 3 4 5; do
    # E2E_FIXED_HTTP_PORT: a port the test chose, e.g. one it first used with no server there.
    E2E_HTTP_PORT="${E2E_FIXED_HTTP_PORT:-$(e2e_random_free_port)}"
    E2E_HTTPS_PORT=""
    [ -z "$certs" ] || E2E_HTTPS_PORT="$(e2e_random_free_port)"
    e2e_write_nginx_conf "$root" "$certs"
    nginx -p "$E2E_NGINX_DIR" -e "$E2E_NGINX_DIR/error.log" -c "$E2E_NGINX_DIR/nginx.conf" \
      -g 'daemon off;' >"$E2E_NGINX_DIR/stdout.log" 2>&1 &
    E2E_NGINX_PID=$!
    e2e_track "$E2E_NGINX_PID"
    # Should this script die without running its traps (SIGKILL), nginx must not outlive it.
    (while kill -0 "$$" 2>/dev/null; do sleep 1; done; kill -KILL "$E2E_NGINX_PID") \
      >/dev/null 2>&1 &
    E2E_WATCHDOG_PID=$!
    e2e_track "$E2E_WATCHDOG_PID"
    # shellcheck disable=SC2086  # the HTTPS port is absent without TLS
    if e2e_wait_for_nginx "$E2E_HTTP_PORT" $E2E_HTTPS_PORT; then
      e2e_log "nginx (pid $E2E_NGINX_PID) serves $root on http://127.0.0.1:$E2E_HTTP_PORT/" \
        "${E2E_HTTPS_PORT:+and https://127.0.0.1:$E2E_HTTPS_PORT/}"
      return 0
    fi
    e2e_stop_nginx
    grep -q 'Address already in use' "$E2E_NGINX_DIR/error.log" 2>/dev/null || break
    : >"$E2E_NGINX_DIR/error.log"
  done
  e2e_log "nginx did not start:"
  cat "$E2E_NGINX_DIR/error.log" "$E2E_NGINX_DIR/stdout.log" >&2 || true
  exit 1
}

# Ends the nginx that e2e_start_nginx started.
e2e_stop_nginx() {
  local pid
  for pid in "$E2E_WATCHDOG_PID" "$E2E_NGINX_PID"; do
    [ -n "$pid" ] || continue
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    e2e_untrack "$pid"
  done
  E2E_NGINX_PID=""
  E2E_WATCHDOG_PID=""
}

# Number of requests in the access log so far.
e2e_request_count() {
  if [ -f "$E2E_ACCESS_LOG" ]; then
    wc -l <"$E2E_ACCESS_LOG"
  else
    echo 0
  fi
}

# ---- TLS ------------------------------------------------------------------------------------

# Makes DIR/ca.pem (a test CA) and DIR/server.pem + server.key for 127.0.0.1 and localhost.
e2e_make_ca() {
  local dir="$1"
  mkdir -p "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -subj "/CN=vtlaunch e2e test CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -subj "/CN=127.0.0.1" -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf '%s\n' "subjectAltName=IP:127.0.0.1,DNS:localhost" "basicConstraints=CA:FALSE" \
    "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" >"$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 2 -extfile "$dir/server.ext" \
    -out "$dir/server.pem" 2>/dev/null
}

# ---- sample games ---------------------------------------------------------------------------

# Sets E2E_N to a number made from the text SEED (FNV-1a, 64-bit), in bash alone: this runs
# for every file of a sample game.
e2e_seed_number() {
  local seed="$1" h=-3750763034362895579 i c
  for ((i = 0; i < ${#seed}; i++)); do
    printf -v c '%d' "'${seed:i:1}"
    h=$(((h ^ c) * 1099511628211))
  done
  E2E_N=$((h & 0x7fffffffffffffff))
}

# SIZE bytes of the AES-CTR stream keyed by the number N: random-looking and reproducible.
e2e_stream() {
  local size="$1" n="$2" key
  printf -v key '%016x%016x' "$n" $((n ^ 0x5bd1e995))
  head -c "$size" /dev/zero |
    openssl enc -aes-128-ctr -nosalt -K "$key" -iv 00000000000000000000000000000000
}

# SIZE bytes of hex text made from that stream: lines of 64 digits, which zlib halves.
e2e_text() {
  head -c "$1" < <(e2e_stream $(($1 / 2 + 64)) "$2" | basenc --base16 -w 64)
}

# Small files are cut from two pools made once per work folder, since starting openssl for each
# file would cost more than everything else in a test.
E2E_POOL_SIZE=$((8 * 1048576))
E2E_POOL_MAX=$((1048576))

# Makes the pool of KIND when it is not there yet.
e2e_pool() {
  local kind="$1" pool="$E2E_WORK/pool-$1"
  if [ ! -f "$pool" ]; then
    if [ "$kind" = random ]; then
      e2e_stream "$E2E_POOL_SIZE" 1 >"$pool.tmp"
    else
      e2e_text "$E2E_POOL_SIZE" 2 >"$pool.tmp"
    fi
    mv "$pool.tmp" "$pool"
  fi
}

# Writes SIZE deterministic bytes of KIND to PATH: "random" (incompressible), "text" (hex
# text of random bytes) or "zero". SEED picks the content.
e2e_make_file() {
  local path="$1" size="$2" kind="$3" seed="$4" n
  case "$kind" in
    random | text | zero) ;;
    *) e2e_die "unknown file kind $kind" ;;
  esac
  [ -d "${path%/*}" ] || mkdir -p "${path%/*}"
  e2e_seed_number "$seed"
  n="$E2E_N"
  if [ "$kind" = zero ]; then
    head -c "$size" /dev/zero >"$path"
  elif [ "$size" -le "$E2E_POOL_MAX" ]; then
    e2e_pool "$kind"
    dd if="$E2E_WORK/pool-$kind" of="$path" bs=65536 iflag=skip_bytes,count_bytes status=none \
      skip=$((n % (E2E_POOL_SIZE - size + 1))) count="$size"
  elif [ "$kind" = random ]; then
    e2e_stream "$size" "$n" >"$path"
  else
    e2e_text "$size" "$n" >"$path"
  fi
}

# ---- comparisons ----------------------------------------------------------------------------

# Prints "sha256  ./path" for every file below DIR, sorted by path bytes; --no-record leaves out
# installed.json at the top.
e2e_tree_list() {
  local dir="$1" skip="${2:-}"
  (
    cd "$dir" || exit 1
    if [ "$skip" = --no-record ]; then
      find . \( -type f -o -type l \) ! -path ./installed.json ! -path ./vtlaunch.trust -print0
    else
      find . \( -type f -o -type l \) ! -path ./vtlaunch.trust -print0
    fi | LC_ALL=C sort -z | xargs -0 -r sha256sum
  )
}

# True when folders A and B hold the same files with the same contents, less the launcher's
# memory of trust; --no-record ignores installed.json too. Shows the differences otherwise.
e2e_same_tree() {
  local a="$1" b="$2" skip="${3:-}"
  local diffs
  if diffs="$(diff <(e2e_tree_list "$a" "$skip") <(e2e_tree_list "$b" "$skip"))"; then
    return 0
  fi
  e2e_log "folders differ: $a vs $b"
  printf '%s\n' "$diffs" | head -20 >&2
  return 1
}

# True when FILE begins with the UTF-8 byte-order mark.
e2e_has_bom() {
  [ -f "$1" ] && [ "$(head -c 3 "$1" | od -An -tx1 | tr -d ' \n')" = efbbbf ]
}

# ---- the window under Xvfb ------------------------------------------------------------------

# The system's Python, which has the distribution's GObject bindings (a python3 earlier on PATH
# may not).
E2E_PYTHON=/usr/bin/python3
[ -x "$E2E_PYTHON" ] || E2E_PYTHON=python3

# Starts Xvfb on a free display (1024x600, so a centred 720x405 window sits at 152,97) and
# exports DISPLAY. Xvfb picks the display itself and names it once it accepts connections, so
# scripts that run side by side never share one (a display taken by looking for a free number
# could be another script's, whose Xvfb then goes away under this one's windows). -noreset: an
# X server resets when its last client leaves and refuses the connections that arrive meanwhile,
# so a launcher started just as the one before it closed could not open the display.
e2e_start_xvfb() {
  local named="$E2E_WORK/xvfb-display" n="" _
  : >"$named"
  Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp -noreset 3>"$named" >/dev/null 2>&1 &
  e2e_track $!
  for _ in $(seq 200); do
    n="$(tr -d '[:space:]' <"$named")"
    [ -n "$n" ] && break
    sleep 0.05
  done
  [ -n "$n" ] || e2e_die "Xvfb did not start"
  export DISPLAY=":$n"
}

# Prints what the window of process PID shows ("status=...", "tooltip=...", one line per
# button), read through the accessibility tree; fails while there is no such window.
e2e_window_state() {
  "$E2E_PYTHON" "$(dirname "${BASH_SOURCE[0]}")/window_state.py" "$1" 2>/dev/null
}

# Waits up to SECONDS for the window of PID to show a line that begins with PREFIX (e.g.
# "status=Update failed: "); prints the whole state then. Fails when the time runs out or the
# process ends first.
e2e_wait_window() {
  local pid="$1" prefix="$2" seconds="${3:-30}" state line i
  for ((i = 0; i < seconds * 10; i++)); do
    if state="$(e2e_window_state "$pid")"; then
      while IFS= read -r line; do
        if [[ "$line" == "$prefix"* ]]; then
          printf '%s\n' "$state"
          return 0
        fi
      done <<<"$state"
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  e2e_log "the window of $pid never showed: $prefix"
  e2e_window_state "$pid" >&2 || e2e_log "(no window)"
  return 1
}

# The X window id of the launcher window of process PID.
e2e_window_id() {
  xdotool search --onlyvisible --pid "$1" --name '^Veltrano RPG$' 2>/dev/null | head -1
}

# Saves the window of PID as the PNG file PATH.
e2e_window_shot() {
  local id
  id="$(e2e_window_id "$1")"
  # Without an id, import would wait for a click on some window.
  [ -n "$id" ] || { e2e_log "no window of $1 to shoot"; return 1; }
  # import grabs the X server; a window that goes away meanwhile can leave it waiting for good.
  timeout 10 import -window "$id" "$2"
}

# The colour of pixel X,Y of the PNG file PATH as six lowercase hex digits.
e2e_pixel() {
  convert "$1" -format '%[hex:u.p{'"$2,$3"'}]' info: | cut -c1-6 | tr 'A-F' 'a-f'
}

# True when the hex colours A and B differ by at most TOLERANCE in every channel.
e2e_colour_near() {
  local a="$1" b="$2" tolerance="$3" i d
  for i in 0 2 4; do
    d=$((16#${a:i:2} - 16#${b:i:2}))
    [ "${d#-}" -le "$tolerance" ] || return 1
  done
}

# Writes the sample game's background picture (720x321 JPEG, title on a dark gradient) to PATH.
e2e_make_picture() {
  mkdir -p "$(dirname "$1")"
  convert -size 720x321 gradient:'#35597d-#0b0f14' \
    -font DejaVu-Sans-Bold -pointsize 54 -fill '#f1d98a' -gravity center \
    -annotate +0-16 'Veltrano RPG' -quality 90 "$1"
}
