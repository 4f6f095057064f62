#!/usr/bin/env bash
# The publisher's history end to end: vtpublish packs four builds into one tree, prunes it to
# the last two, and vtupdate installs each kept build from the pruned tree served by nginx, and
# updates from the older kept build to the live one. Then the README's two-step upload with
# rclone, into a local folder standing for the bucket.
#
#   tests/e2e/publish_history.sh [VTUPDATE_DIR [VTPUBLISH_DIR]]   (or VT_BIN_DIR=build/debug)
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
OUT="$W/out"

# Build N: a common base, one file per build that stays, one text changed in every build,
# an archive only in builds 1 and 2, and a .git folder that never ships.
make_build() {
  local n="$1" g="$W/game-$1" i
  mkdir -p "$g"
  [ "$n" -eq 1 ] || cp -a "$W/game-$((n - 1))/." "$g/"
  if [ "$n" -eq 1 ]; then
    e2e_make_file "$g/vt.exe" 200000 random exe
    for i in 1 2 3 4 5 6; do
      e2e_make_file "$g/maps/m$i.map" $((i * 7919)) text "map$i"
    done
    e2e_make_file "$g/data/old.pak" $((2 * 1048576)) random old
    e2e_make_file "$g/.git/HEAD" 40 text head
  fi
  e2e_make_file "$g/data/story.txt" 300000 text "story$n"
  e2e_make_file "$g/added/b$n.bin" $((n * 30000)) random "added$n"
  [ "$n" -ne 3 ] || rm "$g/data/old.pak"
}

pack_all() {
  local n
  for n in 1 2 3 4; do
    make_build "$n"
    "$VTPUBLISH" pack "$W/game-$n" "$OUT" --build "$n" --key "$KEY" --threads 2 \
      >"$W/pack-$n.log" 2>&1 || { cat "$W/pack-$n.log" >&2; return 1; }
  done
  grep -q "note: left out .git (version control)" "$W/pack-1.log" &&
    [ "$(ls "$OUT/.vtpublish/history" | grep -c '\.version$')" -eq 4 ]
}
e2e_case "vtpublish packs four builds into one tree, each kept in the history" pack_all

prune_to_two() {
  local before after
  before="$(find "$OUT/o" -type f | wc -l)"
  "$VTPUBLISH" prune "$OUT" --keep 2 --dry-run >"$W/dry.log" 2>&1 &&
    [ "$(find "$OUT/o" -type f | wc -l)" -eq "$before" ] &&
    "$VTPUBLISH" prune "$OUT" --keep 2 >"$W/prune.log" 2>&1 || { cat "$W/prune.log" >&2; return 1; }
  after="$(find "$OUT/o" -type f | wc -l)"
  # Builds 1 and 2 alone had their story texts, old.pak went in build 3.
  grep -q "kept builds: 3, 4" "$W/prune.log" && [ "$after" -eq $((before - 3)) ] &&
    # 3 objects, 2 lists, and 2 history entries of a manifest and its two files of signatures.
    [ "$(grep -c '^would remove' "$W/dry.log")" -eq $((3 + 2 + 6)) ]
}
e2e_case "prune --keep 2 removes what only builds 1 and 2 needed; --dry-run removes nothing" \
  prune_to_two

# One served folder per kept build: its manifest and signatures from the history, the lists
# and objects of the pruned tree.
mkdir -p "$W/srv"
for entry in "$OUT"/.vtpublish/history/*.version; do
  n="${entry##*-}"
  n="${n%.version}"
  mkdir -p "$W/srv/b$n"
  cp "$entry" "$W/srv/b$n/version"
  cp "$entry.sig" "$W/srv/b$n/version.sig"
  cp "$entry.sigs" "$W/srv/b$n/version.sigs"
  ln -s "$OUT/lists" "$W/srv/b$n/lists"
  ln -s "$OUT/o" "$W/srv/b$n/o"
done
e2e_start_nginx "$W/srv" ""
URL="http://127.0.0.1:$E2E_HTTP_PORT"

install_build() {
  local n="$1"
  "$VTUPDATE" -dir "$W/inst-$n" -url "$URL/b$n/" >"$W/inst-$n.out" 2>&1 ||
    { cat "$W/inst-$n.out" >&2; return 1; }
  rm -r "$W/game-$n/.git"
  e2e_same_tree "$W/game-$n" "$W/inst-$n" --no-record
}
e2e_case "build 3 installs from the pruned tree" install_build 3
e2e_case "build 4 installs from the pruned tree" install_build 4

update_3_to_4() {
  "$VTUPDATE" -dir "$W/inst-3" -url "$URL/b4/" >"$W/up.out" 2>&1 || { cat "$W/up.out" >&2; return 1; }
  grep -qx "Up to date (build 4)." "$W/up.out" && e2e_same_tree "$W/game-4" "$W/inst-3" --no-record
}
e2e_case "an installation of build 3 updates to build 4 from the pruned tree" update_3_to_4

diff_3_to_4() {
  "$VTPUBLISH" diff "$OUT" --from 3 --to 4 >"$W/diff.log" 2>&1 || { cat "$W/diff.log" >&2; return 1; }
  grep -qx "+ added/b4.bin" "$W/diff.log" && grep -qx "~ data/story.txt" "$W/diff.log" &&
    grep -q "^A player on build 3 downloads 2 files" "$W/diff.log"
}
e2e_case "diff names what build 4 changes and what it costs" diff_3_to_4

# The README's upload, step by step, into a folder that stands for the bucket.
rclone_upload() {
  local bucket="$W/bucket"
  export RCLONE_CONFIG="$W/rclone.conf"
  : >"$RCLONE_CONFIG"
  # A bucket serving build 3: step 1 must not disturb it.
  mkdir -p "$bucket"
  cp -a "$OUT/lists" "$OUT/o" "$bucket/"
  cp "$W/srv/b3/version" "$W/srv/b3/version.sig" "$bucket/"
  touch "$bucket/o/stale-object"
  rclone copy "$OUT" "$bucket" --exclude "/version" --exclude "/version.sig" \
    --exclude "/version.sigs" --exclude "/.vtpublish/**" --header-upload "Cache-Control: public, max-age=31536000, immutable" \
    2>"$W/rclone1.err" || { cat "$W/rclone1.err" >&2; return 1; }
  # Build 4's signatures wait for step 2 with its manifest.
  [ ! -e "$bucket/version.sigs" ] &&
    "$VTPUBLISH" verify "$bucket" >"$W/bucket1.log" 2>&1 && grep -q "build 3 is sound" "$W/bucket1.log" ||
    { cat "$W/bucket1.log" >&2; return 1; }
  rclone sync "$OUT" "$bucket" --exclude "/.vtpublish/**" --delete-after \
    --header-upload "Cache-Control: no-cache" 2>"$W/rclone2.err" || { cat "$W/rclone2.err" >&2; return 1; }
  "$VTPUBLISH" verify "$bucket" >"$W/bucket2.log" 2>&1 && grep -q "build 4 is sound" "$W/bucket2.log" &&
    [ ! -e "$bucket/.vtpublish" ] && [ ! -e "$bucket/o/stale-object" ]
}
if command -v rclone >/dev/null 2>&1; then
  e2e_case "the README's two rclone steps publish build 4 and keep build 3 whole in between" \
    rclone_upload
else
  e2e_log "SKIP: rclone is not installed; the upload case did not run"
fi

e2e_finish
