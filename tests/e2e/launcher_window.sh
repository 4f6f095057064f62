#!/usr/bin/env bash
# The real launcher window under Xvfb, as a player meets it: a failure (status line, tooltip,
# buttons, size and colours), "Try again" once the server is back and the game started with
# "-launched" in the game folder, a release without the game, the source-folder notice, a
# running download, Quit in the middle of a big file, and two launchers started together on
# one folder. What the window shows is read through its accessibility tree.
#
#   launcher_window.sh BUILD_DIR      (the folder with vtlaunch and tools/vtpublish/vtpublish)
#
# VT_SCREENSHOT_DIR=<folder> keeps a screenshot of each state there. Exits 77 (skipped) when
# Xvfb, D-Bus, the accessibility bindings, nginx or ImageMagick are missing.
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=lib.sh
. "$HERE/lib.sh"

e2e_require Xvfb xdotool import convert nginx dbus-run-session
e2e_require_dev_key
if ! "$E2E_PYTHON" -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null; then
  e2e_log "SKIP: the AT-SPI Python bindings (gir1.2-atspi-2.0, python3-gi) are not installed"
  exit "$E2E_SKIP"
fi
# The accessibility bus needs a session bus of our own.
if [ -z "${VT_E2E_SESSION_BUS:-}" ]; then
  VT_E2E_SESSION_BUS=1 exec dbus-run-session -- bash "$0" "$@" 2> >(grep -v 'fd limit' >&2)
fi

BIN="$(cd "${1:?usage: launcher_window.sh BUILD_DIR}" && pwd)"
VTLAUNCH="$BIN/vtlaunch"
VTPUBLISH="$(e2e_find_program vtpublish "$BIN")" || e2e_die "vtpublish not found in $BIN"
[ -x "$VTLAUNCH" ] || e2e_die "vtlaunch not found in $BIN"
SHOTS="${VT_SCREENSHOT_DIR:-}"

e2e_setup
e2e_start_xvfb
W="$E2E_WORK"
LAUNCHER_PID=""

# Starts the launcher with the given parameters; LAUNCHER_PID is its process.
launch() {
  echo "== vtlaunch $*" >>"$W/launcher.log"
  "$VTLAUNCH" "$@" >>"$W/launcher.log" 2>&1 &
  LAUNCHER_PID=$!
  e2e_track "$LAUNCHER_PID"
}

# What the case's launchers printed, shown when it fails: a launcher that ended before its
# window showed tells why only there.
e2e_before_case() { : >"$W/launcher.log"; }
e2e_after_failure() { sed 's/^/  launcher: /' "$W/launcher.log" | tail -40 >&2; }

# Waits up to 30 s for the launcher to end by itself.
launcher_ends() {
  local i
  for ((i = 0; i < 300; i++)); do
    kill -0 "$LAUNCHER_PID" 2>/dev/null || { wait "$LAUNCHER_PID" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  e2e_log "the launcher is still running"
  return 1
}

close_launcher() {
  kill "$LAUNCHER_PID" 2>/dev/null || true
  wait "$LAUNCHER_PID" 2>/dev/null || true
  e2e_untrack "$LAUNCHER_PID"
}

# Saves the window as NAME.png in the work folder, and in VT_SCREENSHOT_DIR when set.
shoot() {
  e2e_window_shot "$LAUNCHER_PID" "$W/$1.png" || return 1
  [ -z "$SHOTS" ] || cp "$W/$1.png" "$SHOTS/$1.png"
}

# A game that records how it was started.
write_game() {
  cat >"$1/vt.exe" <<GAME
#!/bin/sh
# Renamed into place, so that a test that sees the file reads it whole.
{ echo "count=\$#"; echo "args=\$*"; echo "cwd=\$(pwd)"; } >"$W/game-started.tmp"
mv "$W/game-started.tmp" "$W/game-started"
GAME
  chmod +x "$1/vt.exe"
}

# ---- the releases ---------------------------------------------------------------------------

KEY="$(e2e_dev_key)"
mkdir -p "$W/full/frontend/graphics" "$W/full/data"
write_game "$W/full"
# A plain picture, so that the window's colour at its middle can be checked.
convert -size 64x32 xc:'#c08040' -quality 95 "$W/full/frontend/graphics/background1.jpeg"
for i in 1 2 3 4 5 6 7 8; do
  e2e_make_file "$W/full/data/world$i.pak" 400000 random "world$i"
done
"$VTPUBLISH" pack "$W/full" "$W/srv/full" --build 1 --key "$KEY" >/dev/null
mkdir -p "$W/nogame/data"
printf 'data without a game\n' >"$W/nogame/data/readme.txt"
"$VTPUBLISH" pack "$W/nogame" "$W/srv/nogame" --build 1 --key "$KEY" >/dev/null
mkdir -p "$W/big"
write_game "$W/big"
e2e_make_file "$W/big/data/huge.pak" $((32 * 1048576)) random huge
"$VTPUBLISH" pack "$W/big" "$W/srv/big" --build 1 --key "$KEY" >/dev/null

PORT="$(e2e_random_free_port)"  # nothing listens there until the server starts below

# ---- cases ----------------------------------------------------------------------------------

failure_without_the_game() {
  local state shot="$W/failed-no-game.png" x y
  mkdir -p "$W/empty"
  launch -dir "$W/empty" -url "http://127.0.0.1:$PORT/"
  state="$(e2e_wait_window "$LAUNCHER_PID" "status=Update failed: ")" || return 1
  local error="${state#*status=Update failed: }"
  error="${error%%$'\n'*}"
  grep -qxF "tooltip=$error" <<<"$state" || { e2e_log "tooltip differs: $state"; return 1; }
  grep -qx 'Play anyway=hidden' <<<"$state" || { e2e_log "$state"; return 1; }
  grep -qx 'Try again=shown' <<<"$state" || { e2e_log "$state"; return 1; }
  grep -qx 'Quit=shown' <<<"$state" || { e2e_log "$state"; return 1; }
  eval "$(xdotool getwindowgeometry --shell "$(e2e_window_id "$LAUNCHER_PID")")"
  [ "$WIDTH" = 720 ] && [ "$HEIGHT" = 405 ] || { e2e_log "size ${WIDTH}x$HEIGHT"; return 1; }
  x=$(((1024 - 720) / 2)) y=$(((600 - 405) / 2))
  [ "$X" = "$x" ] && [ "$Y" = "$y" ] || { e2e_log "at $X,$Y, not centred at $x,$y"; return 1; }
  e2e_window_shot "$LAUNCHER_PID" "$shot" || return 1
  # No picture: the window's own background shows above the panel.
  [ "$(e2e_pixel "$shot" 360 160)" = 101418 ] || { e2e_log "background $(e2e_pixel "$shot" 360 160)"; return 1; }
  [ "$(e2e_pixel "$shot" 650 385)" = 182028 ] || { e2e_log "panel $(e2e_pixel "$shot" 650 385)"; return 1; }
  [ "$(e2e_pixel "$shot" 5 330)" = 182028 ] || { e2e_log "panel $(e2e_pixel "$shot" 5 330)"; return 1; }
  close_launcher
}

try_again_once_the_server_is_back_starts_the_game() {
  local state game="$W/My Game"
  mkdir -p "$game/frontend/graphics"
  write_game "$game"
  cp "$W/full/frontend/graphics/background1.jpeg" "$game/frontend/graphics/"
  launch -dir "$game" -url "http://127.0.0.1:$PORT/full/"
  state="$(e2e_wait_window "$LAUNCHER_PID" "status=Update failed: ")" || return 1
  grep -qx 'Play anyway=shown' <<<"$state" || { e2e_log "$state"; return 1; }
  shoot launcher-failed || return 1
  e2e_colour_near "$(e2e_pixel "$W/launcher-failed.png" 360 160)" c08040 12 ||
    { e2e_log "picture $(e2e_pixel "$W/launcher-failed.png" 360 160)"; return 1; }

  E2E_FIXED_HTTP_PORT="$PORT" e2e_start_nginx "$W/srv"
  # "Try again" sits at 476,46 in the panel, which starts 321 from the top.
  xdotool mousemove --window "$(e2e_window_id "$LAUNCHER_PID")" 531 382 click 1
  launcher_ends || return 1
  [ -f "$W/game-started" ] || { e2e_log "the game did not start"; return 1; }
  grep -qx 'count=1' "$W/game-started" && grep -qx 'args=-launched' "$W/game-started" &&
    grep -qxF "cwd=$game" "$W/game-started" || { cat "$W/game-started" >&2; return 1; }
  e2e_same_tree "$W/full" "$game" --no-record
}

release_without_the_game() {
  local state
  e2e_make_picture "$W/g3/frontend/graphics/background1.jpeg"
  launch -dir "$W/g3" -url "http://127.0.0.1:$PORT/nogame/"
  state="$(e2e_wait_window "$LAUNCHER_PID" \
    "status=vt.exe is missing - try again or reinstall the game.")" || return 1
  grep -qx 'Try again=shown' <<<"$state" && grep -qx 'tooltip=' <<<"$state" ||
    { e2e_log "$state"; return 1; }
  shoot launcher-game-missing
  close_launcher
}

source_folder_notice() {
  local state
  e2e_make_picture "$W/source/frontend/graphics/background1.jpeg"
  cp "$VTLAUNCH" "$W/source/vtlaunch"
  : >"$W/source/vtlaunch.dpr"
  "$W/source/vtlaunch" -url "http://127.0.0.1:$PORT/full/" >"$W/launcher.log" 2>&1 &
  LAUNCHER_PID=$!
  e2e_track "$LAUNCHER_PID"
  state="$(e2e_wait_window "$LAUNCHER_PID" "status=Source folder: nothing is installed here.")" ||
    return 1
  grep -qx 'Try again=hidden' <<<"$state" && grep -qx 'Play anyway=hidden' <<<"$state" ||
    { e2e_log "$state"; return 1; }
  shoot launcher-source-folder
  close_launcher
  [ ! -e "$W/source/installed.json" ]
}

download_in_progress() {
  local state
  e2e_make_picture "$W/g4/frontend/graphics/background1.jpeg"
  rm -f "$W/game-started"
  launch -dir "$W/g4" -url "http://127.0.0.1:$PORT/slow/full/"
  state="$(e2e_wait_window "$LAUNCHER_PID" "status=Downloading the update: ")" ||
    return 1
  grep -qx 'Try again=hidden' <<<"$state" && grep -qx 'Play anyway=hidden' <<<"$state" ||
    { e2e_log "$state"; return 1; }
  shoot launcher-downloading
  launcher_ends && [ -f "$W/game-started" ]
}

# 32 MiB at 4 MiB/s: the bar moves with the bytes, and Quit closes the window at once.
quit_in_the_middle_of_a_big_file() {
  local asked ms i filled empty
  e2e_make_picture "$W/g5/frontend/graphics/background1.jpeg"
  rm -f "$W/game-started"
  launch -dir "$W/g5" -url "http://127.0.0.1:$PORT/steady/big/"
  e2e_wait_window "$LAUNCHER_PID" "status=Downloading the update: 1 of 2 files (1" >/dev/null ||
    return 1
  shoot launcher-big-file || return 1
  # The bar (panel 16..456 at 44..62, the panel 321 from the top) is partly filled.
  filled="$(e2e_pixel "$W/launcher-big-file.png" 20 374)"
  empty="$(e2e_pixel "$W/launcher-big-file.png" 450 374)"
  [ "$filled" != "$empty" ] || { e2e_log "the bar is empty or full: $filled"; return 1; }
  asked=$(date +%s%N)
  # "Quit" sits at 596,12 in the panel.
  xdotool mousemove --window "$(e2e_window_id "$LAUNCHER_PID")" 650 348 click 1
  for ((i = 0; i < 300; i++)); do
    kill -0 "$LAUNCHER_PID" 2>/dev/null || break
    sleep 0.01
  done
  ms=$((($(date +%s%N) - asked) / 1000000))
  e2e_log "  closed ${ms} ms after Quit"
  kill -0 "$LAUNCHER_PID" 2>/dev/null && { e2e_log "still open after $ms ms"; return 1; }
  wait "$LAUNCHER_PID" 2>/dev/null || true
  e2e_untrack "$LAUNCHER_PID"
  [ "$ms" -lt 1000 ] || { e2e_log "took $ms ms"; return 1; }
  [ ! -e "$W/game-started" ] && [ ! -e "$W/g5/data/huge.pak" ] && [ ! -e "$W/g5/installed.json" ]
}

# Two launchers on one folder, started together: one updates and starts the game, the other
# says at once that another update is running and offers "Try again", which then succeeds.
two_launchers_on_one_folder() {
  local first second loser="" winner state refused="" i pid
  e2e_make_picture "$W/g6/frontend/graphics/background1.jpeg"
  rm -f "$W/game-started"
  launch -dir "$W/g6" -url "http://127.0.0.1:$PORT/slow/full/"
  first="$LAUNCHER_PID"
  launch -dir "$W/g6" -url "http://127.0.0.1:$PORT/slow/full/"
  second="$LAUNCHER_PID"
  for ((i = 0; i < 300; i++)); do
    [ -z "$loser" ] || break
    for pid in "$first" "$second"; do
      state="$(e2e_window_state "$pid")" || continue
      if grep -qxF "status=Update failed: another update of this game folder is running - try again when it has finished" <<<"$state"; then
        loser="$pid"
        refused="$state"
      fi
    done
    sleep 0.1
  done
  [ -n "$loser" ] || { e2e_log "neither launcher was refused"; return 1; }
  grep -qx 'Try again=shown' <<<"$refused" || { e2e_log "$refused"; return 1; }
  winner="$first"
  [ "$loser" != "$first" ] || winner="$second"
  LAUNCHER_PID="$winner"
  launcher_ends && [ -f "$W/game-started" ] || { e2e_log "the game did not start"; return 1; }
  rm "$W/game-started"
  LAUNCHER_PID="$loser"
  xdotool mousemove --window "$(e2e_window_id "$LAUNCHER_PID")" 531 382 click 1
  launcher_ends && [ -f "$W/game-started" ] && e2e_same_tree "$W/full" "$W/g6" --no-record
}

e2e_case "failure: status, tooltip, buttons, size, place and colours" failure_without_the_game
e2e_case "Try again once the server is back starts vt.exe -launched in the game folder" \
  try_again_once_the_server_is_back_starts_the_game
e2e_case "a release without vt.exe: the missing-game state" release_without_the_game
e2e_case "the source-folder notice" source_folder_notice
e2e_case "a download in progress" download_in_progress
e2e_case "Quit in the middle of a big file closes the window within a second" \
  quit_in_the_middle_of_a_big_file
e2e_case "two launchers on one folder: one updates, the other is told and tries again" \
  two_launchers_on_one_folder
e2e_finish
