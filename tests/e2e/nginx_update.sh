#!/usr/bin/env bash
# End to end through real processes: vtpublish packs two builds of a sample game, nginx serves
# them on 127.0.0.1, and vtupdate installs, confirms, updates, is interrupted, and installs over
# HTTPS with a test CA.
#
#   tests/e2e/nginx_update.sh [VTUPDATE_DIR [VTPUBLISH_DIR]]   (or VT_BIN_DIR=build/debug)
#
# Exit status: 0 all cases passed, 1 a case failed, 77 nginx or openssl is missing.
set -euo pipefail
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

e2e_require nginx openssl
e2e_require_dev_key
e2e_setup
e2e_find_programs "$@"
KEY="$(e2e_dev_key)"
W="$E2E_WORK"

# ---- the builds -----------------------------------------------------------------------------

# Build A: three dozen files in subfolders, incompressible and compressible, one empty, one
# of 4 MiB, names with a blank and with letters outside ASCII.
make_build_a() {
  local g="$1" i
  e2e_make_file "$g/vt.exe" 300000 random exe-a
  e2e_make_file "$g/data/big.pak" $((4 * 1048576)) random big-a
  e2e_make_file "$g/data/text.pak" $((1536 * 1024)) text textpak-a
  e2e_make_file "$g/data/empty.dat" 0 zero empty
  e2e_make_file "$g/data/zeros.bin" 200000 zero zeros
  e2e_make_file "$g/Save Games/read me.txt" 1200 text readme-a
  e2e_make_file "$g/données/carte é.txt" 5000 text accent-a
  for i in $(seq 1 12); do
    e2e_make_file "$g/maps/m$i.map" $((i * 7919)) text "map$i-a"
  done
  for i in $(seq 1 12); do
    e2e_make_file "$g/sound/deep/er/s$i.ogg" $((i * 3001 + 17)) random "snd$i-a"
  done
  for i in 1 2 3 4; do
    e2e_make_file "$g/old/o$i.txt" $((i * 100)) text "old$i"
  done
}

# Build B: changes some files (same size and new size), drops old/ and two sounds, adds new/.
make_build_b() {
  local a="$1" g="$2" i
  cp -a "$a/." "$g/"
  e2e_make_file "$g/vt.exe" 300000 random exe-b
  e2e_make_file "$g/data/text.pak" $((1600 * 1024)) text textpak-b
  e2e_make_file "$g/Save Games/read me.txt" 1300 text readme-b
  for i in 2 5 9; do
    e2e_make_file "$g/maps/m$i.map" $((i * 7919)) text "map$i-b"
  done
  rm -r "$g/old" "$g/sound/deep/er/s3.ogg" "$g/sound/deep/er/s11.ogg"
  for i in 1 2 3; do
    e2e_make_file "$g/new/n$i.bin" $((i * 40000)) random "new$i"
  done
  e2e_make_file "$g/new/sub/notes.txt" 777 text notes
}

SRV="$W/srv"
mkdir -p "$SRV"
make_build_a "$W/game-a"
make_build_b "$W/game-a" "$W/game-b"

pack() {
  if ! "$VTPUBLISH" pack "$1" "$SRV" --build "$2" --key "$KEY" >"$W/pack-$2.log" 2>&1 ||
    ! "$VTPUBLISH" verify "$SRV" >>"$W/pack-$2.log" 2>&1 ||
    ! grep -q "build $2 is sound" "$W/pack-$2.log"; then
    cat "$W/pack-$2.log" >&2
    return 1
  fi
}

# vtupdate with its output kept: run_update NAME DIR URL; RC holds the exit status.
RC=0
run_update() {
  local name="$1"
  shift
  RC=0
  "$VTUPDATE" -dir "$1" -url "$2" >"$W/$name.out" 2>"$W/$name.err" || RC=$?
}

# The requests since line FROM of the access log.
requests_since() {
  tail -n +"$(($1 + 1))" "$E2E_ACCESS_LOG"
}

# Exactly the two manifest requests, with one ?t= value.
only_manifest_requests() {
  local lines t1 t2
  lines="$(requests_since "$1")"
  [ "$(printf '%s\n' "$lines" | wc -l)" -eq 2 ] || { e2e_log "requests: $lines"; return 1; }
  t1="$(printf '%s\n' "$lines" | sed -n 's|^GET /version?t=\([^ ]*\) 200 .*|\1|p')"
  t2="$(printf '%s\n' "$lines" | sed -n 's|^GET /version\.sig?t=\([^ ]*\) 200 .*|\1|p')"
  if [ -z "$t1" ] || [ "$t1" != "$t2" ]; then
    e2e_log "requests: $lines"
    return 1
  fi
}

e2e_case "vtpublish packs and verifies build A" pack "$W/game-a" 100

e2e_start_nginx "$SRV" ""
URL="http://127.0.0.1:$E2E_HTTP_PORT/"

# ---- fresh install, then nothing to do ------------------------------------------------------

fresh_install() {
  run_update fresh "$W/inst" "$URL"
  [ "$RC" -eq 0 ] || { cat "$W/fresh.err" >&2; return 1; }
  grep -qx "Up to date (build 100)." "$W/fresh.out" &&
    e2e_same_tree "$W/game-a" "$W/inst" --no-record &&
    e2e_has_bom "$W/inst/installed.json"
}
e2e_case "fresh install over HTTP equals build A, record starts with EF BB BF" fresh_install

second_run() {
  local before
  before="$(e2e_request_count)"
  run_update second "$W/inst" "$URL"
  [ "$RC" -eq 0 ] && grep -qx "Up to date (build 100)." "$W/second.out" &&
    only_manifest_requests "$before"
}
e2e_case "second run is up to date with only version and version.sig requested" second_run

# ---- build B --------------------------------------------------------------------------------

# Keep a copy of the A installation (times preserved) for the interrupted update below.
cp -a "$W/inst" "$W/inst-a"
e2e_case "vtpublish packs build B into the same tree and verifies it" pack "$W/game-b" 101

update_to_b() {
  local before wanted got
  before="$(e2e_request_count)"
  run_update tob "$W/inst" "$URL"
  [ "$RC" -eq 0 ] || { cat "$W/tob.err" >&2; return 1; }
  e2e_same_tree "$W/game-b" "$W/inst" --no-record || return 1
  [ ! -e "$W/inst/old/o1.txt" ] && [ ! -e "$W/inst/sound/deep/er/s3.ogg" ] || return 1
  grep -q '"build":101' "$W/inst/installed.json" || return 1
  # Only the files whose content B changed or added travel.
  wanted="$(LC_ALL=C comm -13 <(e2e_tree_list "$W/game-a" | LC_ALL=C sort) \
    <(e2e_tree_list "$W/game-b" | LC_ALL=C sort) | wc -l)"
  got="$(requests_since "$before" | grep -c '^GET /o/')"
  [ "$got" -eq "$wanted" ] || { e2e_log "object requests: $got, expected $wanted"; return 1; }
}
e2e_case "update A to B: changed and added files placed, dropped ones removed" update_to_b

# A file changed behind the launcher's back (same size) is repaired; a player's own file stays.
repair() {
  e2e_make_file "$W/inst/maps/m4.map" $((4 * 7919)) text tampered
  echo "mine" >"$W/inst/Save Games/slot1.sav"
  run_update repair "$W/inst" "$URL"
  [ "$RC" -eq 0 ] && cmp -s "$W/game-b/maps/m4.map" "$W/inst/maps/m4.map" &&
    [ "$(cat "$W/inst/Save Games/slot1.sav")" = mine ] &&
    rm "$W/inst/Save Games/slot1.sav" && e2e_same_tree "$W/game-b" "$W/inst" --no-record
}
e2e_case "tampered file repaired, player's own file kept" repair

# ---- Ctrl-C during a slow update ------------------------------------------------------------

# The same tree under /slow/ (256 KiB/s per connection, about 1.3 MB to fetch), so the update is
# still downloading when SIGINT arrives; the transfers in hand are cut and it stops.
interrupted() {
  local before_record pid rc=0 f
  before_record="$(sha256sum <"$W/inst-a/installed.json")"
  # Once the first file is in, the handler is surely installed and the rest is still on its way.
  e2e_start_until_downloading "$W/int.out" \
    "$VTUPDATE" -dir "$W/inst-a" -url "http://127.0.0.1:$E2E_HTTP_PORT/slow/" || true
  pid="$E2E_BUSY_PID"
  kill -INT "$pid"
  wait "$pid" || rc=$?
  e2e_untrack "$pid"
  [ "$rc" -eq 130 ] || { e2e_log "exit status $rc"; cat "$W/int.out.err" >&2; return 1; }
  grep -q '^Stopped: ' "$W/int.out.err" || return 1
  [ "$(sha256sum <"$W/inst-a/installed.json")" = "$before_record" ] || return 1
  # Every game file is its A or its B version, or absent when B added it.
  while IFS= read -r f; do
    [ -e "$W/inst-a/$f" ] || [ ! -e "$W/game-a/$f" ] || { e2e_log "missing $f"; return 1; }
    [ ! -e "$W/inst-a/$f" ] || cmp -s "$W/inst-a/$f" "$W/game-a/$f" ||
      cmp -s "$W/inst-a/$f" "$W/game-b/$f" || { e2e_log "neither A nor B: $f"; return 1; }
  done < <(cd "$W/game-a" && find . -type f; cd "$W/game-b" && find . -type f)
  run_update resume "$W/inst-a" "$URL"
  [ "$RC" -eq 0 ] && e2e_same_tree "$W/game-b" "$W/inst-a" --no-record
}
e2e_case "Ctrl-C stops with 130, keeps the record, and the next run completes" interrupted

# A 48 MiB file at 4 MiB/s: Ctrl-C in its middle cuts the transfer and ends within a second.
interrupted_big_file() {
  local pid rc=0 asked ms
  e2e_make_file "$W/game-big/data/huge.pak" $((48 * 1048576)) random huge
  "$VTPUBLISH" pack "$W/game-big" "$SRV/big" --build 1 --key "$KEY" >"$W/pack-big.log" 2>&1 ||
    { cat "$W/pack-big.log" >&2; return 1; }
  "$VTUPDATE" -dir "$W/inst-big" -url "http://127.0.0.1:$E2E_HTTP_PORT/steady/big/" \
    >"$W/big.out" 2>"$W/big.err" &
  pid=$!
  e2e_track "$pid"
  # Lines while the bytes arrive: one once a few MB are in.
  for _ in $(seq 1 400); do
    grep -q '^Downloading the update: 0 of 1 files ([1-9]' "$W/big.out" && break
    sleep 0.05
  done
  grep -q '^Downloading the update: 0 of 1 files ([1-9]' "$W/big.out" ||
    { e2e_log "no progress during the transfer"; cat "$W/big.out" >&2; return 1; }
  asked=$(date +%s%N)
  kill -INT "$pid"
  wait "$pid" || rc=$?
  ms=$((($(date +%s%N) - asked) / 1000000))
  e2e_untrack "$pid"
  e2e_log "  stopped ${ms} ms after Ctrl-C"
  [ "$rc" -eq 130 ] || { e2e_log "exit status $rc"; cat "$W/big.err" >&2; return 1; }
  [ "$ms" -lt 1000 ] || { e2e_log "took $ms ms"; return 1; }
  [ ! -e "$W/inst-big/data/huge.pak" ] && [ ! -e "$W/inst-big/installed.json" ]
}
e2e_case "Ctrl-C in the middle of a big file exits 130 within a second" interrupted_big_file

# ---- HTTPS ----------------------------------------------------------------------------------

# libcurl here is built with the system bundle as its CA file, so SSL_CERT_FILE and
# SSL_CERT_DIR are not read; the system's own way is the bundle. The trusted run sees a bundle
# with the test CA through a private mount namespace, leaving the real one alone.
e2e_make_ca "$W/ca"
e2e_stop_nginx
e2e_start_nginx "$SRV" "$W/ca"
TLS_URL="https://127.0.0.1:$E2E_HTTPS_PORT/"
SYSTEM_BUNDLE=/etc/ssl/certs/ca-certificates.crt

untrusted() {
  run_update untrusted "$W/tls-untrusted" "$TLS_URL"
  if [ "$RC" -ne 1 ] || ! grep -q '^Update failed: .*certificate' "$W/untrusted.err" ||
    [ -n "$(ls -A "$W/tls-untrusted")" ]; then
    cat "$W/untrusted.err" >&2
    return 1
  fi
}
e2e_case "HTTPS with an unknown CA fails with a TLS message, exit 1, folder untouched" untrusted

namespace_runner() {
  if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    echo "unshare -m"
  elif unshare -r -m true 2>/dev/null; then
    echo "unshare -r -m"
  fi
}

trusted() {
  local runner="$1"
  cat "$SYSTEM_BUNDLE" "$W/ca/ca.pem" >"$W/bundle.pem"
  RC=0
  # shellcheck disable=SC2086,SC2016  # the runner has options; sh expands $1 and $2
  $runner sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh \
    "$W/bundle.pem" "$SYSTEM_BUNDLE" "$VTUPDATE" -dir "$W/tls" -url "$TLS_URL" \
    >"$W/tls.out" 2>"$W/tls.err" || RC=$?
  [ "$RC" -eq 0 ] || { cat "$W/tls.err" >&2; return 1; }
  e2e_same_tree "$W/game-b" "$W/tls" --no-record
}
RUNNER="$(namespace_runner)"
if [ -n "$RUNNER" ] && [ -f "$SYSTEM_BUNDLE" ]; then
  e2e_case "fresh install over HTTPS trusting the test CA through the system bundle" \
    trusted "$RUNNER"
else
  echo "SKIP: HTTPS with the test CA (no mount namespace to show it the CA)"
fi

e2e_finish
