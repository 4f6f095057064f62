#!/usr/bin/env bash
# vtlaunch.exe as a Windows player meets it, under Wine and Xvfb, against releases packed with
# the Linux vtpublish and served by nginx on 127.0.0.1: a failure (size, place, colours, a
# damaged picture, buttons and tooltip, then "Quit"), a fresh install in the launcher's own
# folder that starts the game with "-launched" there, an update with the picture on screen (the
# screenshot), a self-update that restarts the newer launcher with the same parameters, "Play
# anyway", "Try again", "/NOUPDATE", and the layout at 120 DPI.
#
#   wine_launcher.sh [VTPUBLISH_DIR [WINDOWS_BUILD_DIR]]   (default: build/windows)
#
# The Windows build folder holds vtlaunch.exe, vtlaunch-next.exe and test-game/vt.exe
# (`cmake --preset windows && ninja -C build/windows vtlaunch vtlaunch-next vt_test_game`).
# WINEPREFIX defaults to build/wineprefix, made on first use. The screenshot of a running update
# is kept as WINDOWS_BUILD_DIR/launcher-windows.png, and VT_UPDATE_DOCS=1 also copies it to
# docs/launcher-windows.png.
#
# Exit status: 0 all cases passed, 1 a case failed, 77 Wine, Xvfb, xdotool, ImageMagick, nginx
# or the Windows build is missing.
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
REPO="$(cd "$HERE/../.." && pwd)"
# shellcheck source=lib.sh
source "$HERE/lib.sh"

e2e_require wine wineserver Xvfb xdotool import convert nginx openssl
WINBUILD="${2:-${VT_WINDOWS_BUILD_DIR:-$REPO/build/windows}}"
for program in vtlaunch.exe test-game/vt.exe; do
  if [ ! -f "$WINBUILD/$program" ]; then
    e2e_log "SKIP: no $program in $WINBUILD (build the windows preset first)"
    exit "$E2E_SKIP"
  fi
done
WINBUILD="$(cd "$WINBUILD" && pwd)"
VTPUBLISH="$(e2e_find_program vtpublish "${1:-}" "${VT_BIN_DIR:-}" "$REPO/build/debug")" ||
  e2e_die "vtpublish not found (pass its folder or set VT_BIN_DIR)"
KEY="$(e2e_dev_key)"

e2e_setup
W="$E2E_WORK"
e2e_start_xvfb

export WINEPREFIX="${WINEPREFIX:-$REPO/build/wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  e2e_log "making the Wine prefix $WINEPREFIX (once)"
  mkdir -p "$WINEPREFIX"
  timeout 300 wineboot -i >"$W/wineboot.log" 2>&1 || { cat "$W/wineboot.log" >&2; exit 1; }
  timeout 120 wineserver -w || true
fi

# A Wine server still running from a program without a display (wine_tools.sh) keeps that
# desktop's size, 1024x768, and would centre the windows on it rather than on this screen.
wineserver -k 2>/dev/null || true
timeout 60 wineserver -w 2>/dev/null || true
# Every case but the high-DPI one expects 96 DPI, whatever a run cut short left in the prefix.
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 || true

# The client area at 96 DPI and the places the checks look at, relative to it.
CLIENT_W=720
CLIENT_H=405
PANEL_TOP=321
BACK=101418
PANEL=182028
PLAY_AT=(531 348)
RETRY_AT=(531 382)
QUIT_AT=(650 348)
BAR_LEFT=(20 374)
BAR_RIGHT=(452 374)

# The Windows spelling of a Unix path: Wine maps the root to drive Z:.
win_path() {
  local path="${1//\//\\}"
  printf 'Z:%s\n' "$path"
}

LAUNCHER_PID=""
# Starts the Windows program EXE with the given parameters; LAUNCHER_PID is its process.
launch() {
  local exe="$1"
  shift
  (cd "$W" && exec wine "$exe" "$@") >>"$W/wine.log" 2>&1 &
  LAUNCHER_PID=$!
  e2e_track "$LAUNCHER_PID"
}

# Waits up to 30 s for the launcher started last to end by itself.
launcher_ends() {
  local i
  for ((i = 0; i < 300; i++)); do
    if ! kill -0 "$LAUNCHER_PID" 2>/dev/null; then
      wait "$LAUNCHER_PID" 2>/dev/null || true
      e2e_untrack "$LAUNCHER_PID"
      return 0
    fi
    sleep 0.1
  done
  e2e_log "the launcher is still running"
  return 1
}

# Ends a launcher that a failed case left open, so that the next case sees only its own window.
stop_launcher() {
  if [ -n "$LAUNCHER_PID" ] && kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    kill -TERM "$LAUNCHER_PID" 2>/dev/null || true
    wait "$LAUNCHER_PID" 2>/dev/null || true
    e2e_untrack "$LAUNCHER_PID"
  fi
  LAUNCHER_PID=""
}

# A case, and afterwards nothing of it left running.
wl_case() {
  e2e_case "$@"
  stop_launcher
}

# Every program of the prefix ended: the game and a restarted launcher are not our children.
programs_end() {
  timeout 60 wineserver -w || e2e_log "Wine programs still running after 60 s"
}

WINDOW_ID=""
# Waits up to 60 s (a first start of Wine is slow) for the launcher window; sets WINDOW_ID.
wait_window() {
  local i
  for ((i = 0; i < 600; i++)); do
    WINDOW_ID="$(xdotool search --onlyvisible --pid "$LAUNCHER_PID" --name '^Veltrano RPG$' \
      2>/dev/null | head -1)" || true
    [ -z "$WINDOW_ID" ] || return 0
    kill -0 "$LAUNCHER_PID" 2>/dev/null || break
    sleep 0.1
  done
  e2e_log "no launcher window"
  return 1
}

shot() {
  # Once the launcher has ended there is no window to take: import would wait out its time.
  kill -0 "$LAUNCHER_PID" 2>/dev/null || return 1
  timeout 10 import -window "$WINDOW_ID" "$1"  # a vanished window can leave import waiting
}

# Takes screenshots into FILE until the pixel at X,Y differs from the panel colour (a button
# shown) or, with "same", equals it; up to SECONDS.
wait_pixel() {
  local file="$1" x="$2" y="$3" want="$4" seconds="$5" i colour
  for ((i = 0; i < seconds * 4; i++)); do
    shot "$file" 2>/dev/null || true
    if [ -f "$file" ]; then
      colour="$(e2e_pixel "$file" "$x" "$y")"
      if [ "$want" = same ] && [ "$colour" = "$PANEL" ]; then return 0; fi
      if [ "$want" = other ] && [ "$colour" != "$PANEL" ]; then return 0; fi
    fi
    sleep 0.25
  done
  e2e_log "pixel $x,$y stayed ${colour:-unread} (wanted $want than the panel)"
  return 1
}

# The window is 720x405 and (allowing for the frame Wine keeps around it) centred on the screen.
size_and_place() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$WINDOW_ID")"
  [ "$WIDTH" = "$CLIENT_W" ] && [ "$HEIGHT" = "$CLIENT_H" ] ||
    { e2e_log "client area ${WIDTH}x$HEIGHT"; return 1; }
  local screen_w screen_h
  read -r screen_w screen_h < <(xdotool getdisplaygeometry)
  local dx=$((X - (screen_w - WIDTH) / 2)) dy=$((Y - (screen_h - HEIGHT) / 2))
  [ "${dx#-}" -le 8 ] && [ "$dy" -ge -8 ] && [ "$dy" -le 40 ] ||
    { e2e_log "client at $X,$Y on ${screen_w}x$screen_h: not centred"; return 1; }
}

# The status line shows text: some pixel in its strip is nearly white.
status_has_text() {
  local brightest
  brightest="$(convert "$1" -crop 440x20+16+$((PANEL_TOP + 12)) +repage -colorspace Gray \
    -format '%[fx:int(255*maxima)]' info:)"
  [ "$brightest" -ge 200 ] || { e2e_log "status line empty (brightest $brightest)"; return 1; }
}

pixel_is() {
  local got
  got="$(e2e_pixel "$1" "$2" "$3")"
  [ "$got" = "$4" ] || { e2e_log "pixel $2,$3 is $got, not $4 ($5)"; return 1; }
}

pixel_is_not() {
  local got
  got="$(e2e_pixel "$1" "$2" "$3")"
  [ "$got" != "$4" ] || { e2e_log "pixel $2,$3 is $got ($5)"; return 1; }
}

# The number of visible windows of the launcher's process: the window itself, and its tooltip
# while one shows.
launcher_windows() {
  xdotool search --onlyvisible --class '^vtlaunch\.exe$' 2>/dev/null | wc -l
}

# Rests the pointer on the status line; true when a tooltip window shows within 3 s.
tooltip_shows() {
  local i
  xdotool mousemove --window "$WINDOW_ID" 40 $((PANEL_TOP + 20))
  sleep 0.2
  xdotool mousemove --window "$WINDOW_ID" 44 $((PANEL_TOP + 21))
  for ((i = 0; i < 30; i++)); do
    [ "$(launcher_windows)" -lt 2 ] || return 0
    sleep 0.1
  done
  return 1
}

# The game's report, written beside vt.exe: exactly one parameter, "-launched", started in
# the game folder FOLDER.
game_started_in() {
  local folder="$1" report="$1/vt-started.txt" i
  for ((i = 0; i < 900; i++)); do
    [ -f "$report" ] && break
    sleep 0.1
  done
  [ -f "$report" ] || { e2e_log "the game did not start in $folder"; return 1; }
  local cwd
  cwd="$(win_path "$folder")"
  [ "$(grep -c '^arg=' "$report")" -eq 1 ] && grep -qx 'arg=-launched' "$report" &&
    grep -qixF "cwd=$cwd" "$report" || { cat "$report" >&2; return 1; }
}

# Every file of release folder A is in folder B with the same content.
has_release() {
  local a="$1" b="$2" f
  while IFS= read -r -d '' f; do
    cmp -s "$a/$f" "$b/$f" || { e2e_log "differs: $f"; return 1; }
  done < <(cd "$a" && find . -type f -print0)
}

# ---- the releases ---------------------------------------------------------------------------

SRV="$W/srv"
# Build 1: the test game, the picture and a little data.
G1="$W/game-1"
mkdir -p "$G1/data"
cp "$WINBUILD/test-game/vt.exe" "$G1/vt.exe"
e2e_make_picture "$G1/frontend/graphics/background1.jpeg"
e2e_make_file "$G1/data/world.pak" 300000 random world1
e2e_make_file "$G1/data/Read me.txt" 2000 text readme1
# Build 2: eight new files of 640 KiB, about five seconds through the slow path.
G2="$W/game-2"
cp -a "$G1" "$G2"
for i in 1 2 3 4 5 6 7 8; do
  e2e_make_file "$G2/data/level$i.pak" 655360 random "level$i"
done
# Build 3: build 2 and a newer launcher.
G3="$W/game-3"
cp -a "$G2" "$G3"
if [ -f "$WINBUILD/vtlaunch-next.exe" ]; then
  cp "$WINBUILD/vtlaunch-next.exe" "$G3/vtlaunch.exe"
fi

pack() {
  "$VTPUBLISH" pack "$1" "$2" --build "$3" --key "$KEY" >"$W/pack-$3.log" 2>&1 ||
    { cat "$W/pack-$3.log" >&2; return 1; }
}
pack "$G1" "$SRV/one" 1
pack "$G2" "$SRV/two" 2
pack "$G3" "$SRV/three" 3
e2e_start_nginx "$SRV" ""
URL="http://127.0.0.1:$E2E_HTTP_PORT"

# ---- cases ----------------------------------------------------------------------------------

failure_then_quit() {
  local dir="$W/failed game" file="$W/failed.png" picture
  # A damaged picture: half of a JPEG. It must leave the plain background, not a crash.
  picture="$dir/frontend/graphics/background1.jpeg"
  e2e_make_picture "$W/whole.jpeg"
  mkdir -p "$(dirname "$picture")"
  head -c "$(($(stat -c %s "$W/whole.jpeg") / 2))" "$W/whole.jpeg" >"$picture"
  launch "$WINBUILD/vtlaunch.exe" -dir "$(win_path "$dir")" -url "$URL/missing/"
  wait_window || return 1
  wait_pixel "$file" "${RETRY_AT[@]}" other 60 || return 1
  size_and_place || return 1
  # No usable picture: the window's own colour shows above the panel.
  pixel_is "$file" 360 160 "$BACK" "background" &&
    pixel_is "$file" 4 $((PANEL_TOP + 4)) "$PANEL" "panel, left" &&
    pixel_is "$file" 715 400 "$PANEL" "panel, right" &&
    pixel_is "$file" "${PLAY_AT[@]}" "$PANEL" "Play anyway without vt.exe" &&
    pixel_is_not "$file" "${QUIT_AT[@]}" "$PANEL" "Quit" &&
    status_has_text "$file" || return 1
  tooltip_shows || { e2e_log "no tooltip on the failed status line"; return 1; }
  xdotool mousemove --window "$WINDOW_ID" "${QUIT_AT[@]}" click 1
  launcher_ends || return 1
  programs_end
  [ "$(ls -A "$dir")" = frontend ] || { e2e_log "left behind: $(ls -A "$dir")"; return 1; }
}

GAME="$W/game folder"

fresh_install_starts_the_game() {
  mkdir -p "$GAME"
  cp "$WINBUILD/vtlaunch.exe" "$GAME/"
  launch "$GAME/vtlaunch.exe" -url "$URL/one/"
  game_started_in "$GAME" || return 1
  launcher_ends || return 1
  programs_end
  has_release "$G1" "$GAME" && grep -q '"build":1' "$GAME/installed.json"
}

update_on_screen() {
  local file="$W/update.png" expected got x y
  rm -f "$GAME/vt-started.txt"
  launch "$GAME/vtlaunch.exe" -url "$URL/slow/two/"
  wait_window || return 1
  # Until the bar shows progress: its left end filled, its right end not yet.
  local i
  for ((i = 0; i < 120; i++)); do
    shot "$file" 2>/dev/null || true
    [ -f "$file" ] && [ "$(e2e_pixel "$file" "${BAR_LEFT[@]}")" != \
      "$(e2e_pixel "$file" "${BAR_RIGHT[@]}")" ] && break
    sleep 0.25
  done
  size_and_place || return 1
  cp "$file" "$WINBUILD/launcher-windows.png"
  [ "${VT_UPDATE_DOCS:-0}" != 1 ] || cp "$file" "$REPO/docs/launcher-windows.png"
  # The picture is shown at its own size (720x321), so its pixels are the JPEG's.
  for x in 40 360 680; do
    for y in 20 150 300; do
      expected="$(e2e_pixel "$G1/frontend/graphics/background1.jpeg" "$x" "$y")"
      got="$(e2e_pixel "$file" "$x" "$y")"
      e2e_colour_near "$got" "$expected" 8 || { e2e_log "picture $x,$y: $got, not $expected"; return 1; }
    done
  done
  pixel_is "$file" 4 $((PANEL_TOP + 4)) "$PANEL" "panel" &&
    pixel_is "$file" "${PLAY_AT[@]}" "$PANEL" "Play anyway while updating" &&
    pixel_is "$file" "${RETRY_AT[@]}" "$PANEL" "Try again while updating" &&
    pixel_is_not "$file" "${BAR_LEFT[@]}" "$(e2e_pixel "$file" "${BAR_RIGHT[@]}")" "bar" &&
    status_has_text "$file" || return 1
  # No tooltip until a failure. (Should the update end meanwhile, no window is left at all.)
  ! tooltip_shows || { e2e_log "a tooltip while updating"; return 1; }
  game_started_in "$GAME" || return 1
  launcher_ends || return 1
  programs_end
  has_release "$G2" "$GAME" && grep -q '"build":2' "$GAME/installed.json"
}

self_update_restarts() {
  local before
  rm -f "$GAME/vt-started.txt"
  before="$(e2e_request_count)"
  # The folder has a blank: the restart must hand "-dir" its value as one parameter.
  launch "$GAME/vtlaunch.exe" -dir "$(win_path "$GAME")" -url "$URL/three/"
  game_started_in "$GAME" || return 1
  launcher_ends || return 1
  programs_end
  cmp -s "$WINBUILD/vtlaunch-next.exe" "$GAME/vtlaunch.exe" ||
    { e2e_log "vtlaunch.exe was not replaced"; return 1; }
  [ ! -e "$GAME/vtlaunch.new" ] && [ ! -e "$W/game" ] || { ls -A "$W" "$GAME" >&2; return 1; }
  has_release "$G3" "$GAME" && grep -q '"build":3' "$GAME/installed.json" || return 1
  # Two runs: the old launcher's, which replaced itself, and the new one's.
  [ "$(tail -n +"$((before + 1))" "$E2E_ACCESS_LOG" | grep -c '^GET /three/version?')" -eq 2 ] ||
    { e2e_log "manifest requests: $(tail -n +"$((before + 1))" "$E2E_ACCESS_LOG")"; return 1; }
}

# A failure in a folder that has vt.exe offers "Play anyway", which starts it.
play_anyway() {
  local file="$W/play.png"
  rm -f "$GAME/vt-started.txt"
  launch "$GAME/vtlaunch.exe" -url "$URL/missing/"
  wait_window || return 1
  wait_pixel "$file" "${PLAY_AT[@]}" other 60 || return 1
  pixel_is_not "$file" "${RETRY_AT[@]}" "$PANEL" "Try again" || return 1
  xdotool mousemove --window "$WINDOW_ID" "${PLAY_AT[@]}" click 1
  game_started_in "$GAME" || return 1
  launcher_ends || return 1
  programs_end
}

# "Try again" once the release is there runs a new update, which then starts the game.
try_again() {
  local dir="$W/retry game" file="$W/retry.png"
  mkdir -p "$dir"
  launch "$WINBUILD/vtlaunch.exe" -dir "$(win_path "$dir")" -url "$URL/later/"
  wait_window || return 1
  wait_pixel "$file" "${RETRY_AT[@]}" other 60 || return 1
  ln -s one "$SRV/later"
  xdotool mousemove --window "$WINDOW_ID" "${RETRY_AT[@]}" click 1
  game_started_in "$dir" || return 1
  launcher_ends || return 1
  programs_end
  has_release "$G1" "$dir"
}

# "/NOUPDATE" is "-noupdate": the game starts at once, and nothing is asked of the server.
no_update() {
  local before
  rm -f "$GAME/vt-started.txt"
  before="$(e2e_request_count)"
  launch "$GAME/vtlaunch.exe" -url "$URL/one/" /NOUPDATE
  game_started_in "$GAME" || return 1
  launcher_ends || return 1
  programs_end
  [ "$(e2e_request_count)" -eq "$before" ] || { e2e_log "the server was asked"; return 1; }
}

# The prefix's DPI setting before the high-DPI case changed it; restored on every way out.
DPI_KEY='HKCU\Control Panel\Desktop'
DPI_SAVED=""
set_dpi() {
  wine reg add "$DPI_KEY" /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
restore_dpi() {
  case "$DPI_SAVED" in
    "") ;;
    none) wine reg delete "$DPI_KEY" /v LogPixels /f >/dev/null 2>&1 || true ;;
    *) set_dpi "$DPI_SAVED" || true ;;
  esac
  DPI_SAVED=""
}
trap 'restore_dpi; e2e_cleanup' EXIT

# At 120 DPI (125 %) every size and place is a quarter larger: the client area 900x506 (which
# with its frame still fits the test screen), the picture area 900x401.
high_dpi() {
  local dir="$W/dpi" file="$W/dpi.png" saved WIDTH HEIGHT X Y
  saved="$(wine reg query "$DPI_KEY" /v LogPixels 2>/dev/null |
    sed -n 's/.*REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p')"
  DPI_SAVED="${saved:+$((16#$saved))}"
  DPI_SAVED="${DPI_SAVED:-none}"
  set_dpi 120 || return 1
  # A small plain picture, stretched over the whole picture area.
  mkdir -p "$dir/frontend/graphics"
  convert -size 64x32 xc:'#c08040' -quality 95 "$dir/frontend/graphics/background1.jpeg"
  launch "$WINBUILD/vtlaunch.exe" -dir "$(win_path "$dir")" -url "$URL/missing/"
  wait_window || return 1
  wait_pixel "$file" 664 478 other 60 || return 1
  eval "$(xdotool getwindowgeometry --shell "$WINDOW_ID")"
  [ "$WIDTH" = 900 ] && [ "$HEIGHT" = 506 ] || { e2e_log "client area ${WIDTH}x$HEIGHT"; return 1; }
  local x y
  for x in 2 450 897; do
    for y in 2 200 398; do
      e2e_colour_near "$(e2e_pixel "$file" "$x" "$y")" c08040 12 ||
        { e2e_log "picture $x,$y: $(e2e_pixel "$file" "$x" "$y")"; return 1; }
    done
  done
  pixel_is "$file" 450 404 "$PANEL" "panel, top" &&
    pixel_is "$file" 6 410 "$PANEL" "panel" &&
    pixel_is "$file" 894 500 "$PANEL" "panel, right" &&
    pixel_is "$file" 664 435 "$PANEL" "Play anyway without vt.exe" &&
    pixel_is_not "$file" 812 435 "$PANEL" "Quit" || return 1
  # Alt+F4: what the close box does, which must end the launcher as "Quit" does.
  xdotool windowfocus --sync "$WINDOW_ID" key --clearmodifiers alt+F4
  launcher_ends || return 1
  programs_end
  restore_dpi
}

wl_case "failure: size, place, colours, damaged picture, buttons, tooltip; Quit ends it" \
  failure_then_quit
wl_case "fresh install in the launcher's folder starts vt.exe -launched there" \
  fresh_install_starts_the_game
wl_case "update with the picture on screen, then the game" update_on_screen
if [ -f "$WINBUILD/vtlaunch-next.exe" ]; then
  wl_case "self-update: replaced, restarted with the same parameters, game started" \
    self_update_restarts
else
  echo "SKIP: self-update (no vtlaunch-next.exe in $WINBUILD)"
fi
wl_case "a failure with vt.exe present: Play anyway starts it" play_anyway
wl_case "Try again once the release is there updates and starts the game" try_again
wl_case "/NOUPDATE starts the game without asking the server" no_update
wl_case "at 120 DPI: layout and picture scaled by 1.25; Alt+F4 closes" high_dpi
e2e_finish
