#!/usr/bin/env bash
# Time from process start to the launcher's first frame, on Xvfb with a warm cache: the frame
# that shows "Starting..." before any update work. A GTK module of the bench's own
# (first_frame_module.cpp, loaded through GTK_MODULES) reports that frame from inside the
# process; the time until the window is on screen is also taken from outside, by polling the X
# server, for the launcher and for a peer GTK 3 program (zenity) alike.
#
#   bench/first_frame.sh [RUNS]      (default 20; VT_BENCH_BUILD as in common.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-20}"
build="${VT_BENCH_BUILD:-$root/build/release}"
[ -f "$build/CMakeCache.txt" ] || (cd "$root" && cmake --preset release >/dev/null)
grep -q '^VT_BUILD_BENCH:BOOL=ON' "$build/CMakeCache.txt" ||
  cmake -S "$root" -B "$build" -DVT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target vtlaunch vt_first_frame >/dev/null
vtlaunch="$build/vtlaunch"
module="$build/bench/libvt_first_frame.so"
for tool in Xvfb xdotool zenity; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/bootstrap" >&2; exit 1; }
done

work="$(mktemp -d /tmp/vt-firstframe.XXXXXX)"
xvfb=""
cleanup() {
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$n"
until [ -e "/tmp/.X11-unix/X$n" ]; do sleep 0.05; done
mkdir -p "$work/game"

# Prints the milliseconds from T0 (ns) until a visible window named TITLE appears.
ms_until_mapped() {
  local t0="$1" title="$2"
  until xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; do :; done
  echo $((($(date +%s%N) - t0) / 1000000))
}

# Prints "first-frame-ms mapped-ms" of one launcher start. Nothing listens on port 9, so the
# run fails at once and the window waits; it is then ended.
launcher_once() {
  local t0 pid mapped frame
  t0=$(date +%s%N)
  GTK_MODULES="$module" "$vtlaunch" -dir "$work/game" -url http://127.0.0.1:9/ \
    2>"$work/launcher.err" &
  pid=$!
  mapped=$(ms_until_mapped "$t0" '^Veltrano RPG$')
  local i
  for ((i = 0; i < 1000; i++)); do
    grep -q '^first frame: ' "$work/launcher.err" && break
    sleep 0.01
  done
  grep -q '^first frame: ' "$work/launcher.err" || {
    kill "$pid"
    echo "no first frame reported (is $module loaded?):" >&2
    cat "$work/launcher.err" >&2
    exit 1
  }
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  frame=$(sed -n 's/^first frame: \([0-9]*\) ns, status "\(.*\)"$/\1 \2/p' "$work/launcher.err")
  [ "${frame#* }" = "Starting..." ] || echo "first frame showed: ${frame#* }" >&2
  echo "$(((${frame%% *} - t0) / 1000000)) $mapped"
}

zenity_once() {
  local t0 pid mapped
  t0=$(date +%s%N)
  zenity --info --title 'peer window' --text 'Veltrano RPG' 2>/dev/null &
  pid=$!
  mapped=$(ms_until_mapped "$t0" '^peer window$')
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  echo "$mapped"
}

# Median, minimum and maximum of the numbers on standard input.
stats() {
  sort -n | awk '{ v[NR] = $1 } END { printf "median %d ms (min %d, max %d, %d runs)", v[int((NR + 1) / 2)], v[1], v[NR], NR }'
}

launcher_once >/dev/null  # warm the cache
zenity_once >/dev/null
: >"$work/frame" >"$work/mapped" >"$work/peer"
for ((i = 0; i < runs; i++)); do
  read -r frame mapped < <(launcher_once)
  echo "$frame" >>"$work/frame"
  echo "$mapped" >>"$work/mapped"
  zenity_once >>"$work/peer"
done
echo "vtlaunch first frame (\"Starting...\"): $(stats <"$work/frame")"
echo "vtlaunch window on screen (polled):   $(stats <"$work/mapped")"
echo "zenity --info on screen (polled):     $(stats <"$work/peer")"
