#!/bin/sh
# The copytool written as Lustre's is, against the stand-in: archive, dirty
# and re-archive, release, restore, remove, import, then SIGTERM ends it.
# posix_style_copytool.sh <copytool> <stand-in tools dir> [copytool option]
set -eu
CT=$1
PATH=$2:$PATH
shift 2
export LUSTRE_SIM_STATE="$(mktemp -d)"
S=$LUSTRE_SIM_STATE M=$LUSTRE_SIM_STATE/mnt
ctpid=
trap 'kill $ctpid 2>/dev/null || true; rm -rf "$S"' EXIT
mkdir -p "$M" "$S/arch"
printf 'fs lustre mdts=1\nmount lustre %s ffff8803f0d41000\narchive lustre 1 %s\n' "$M" "$S/arch" > "$S/config"
fail() { echo "FAIL: $*" >&2; exit 1; }
# Waits for the HSM state of $1 to be $2 (1200 looks at the most).
state() {
    i=0
    until lfs hsm_state "$1" | grep -q "($2)"; do
        i=$((i + 1)); [ $i -lt 1200 ] || fail "$1: $(lfs hsm_state "$1"), not $2"; sleep 0.05
    done
}
mkfifo -m 0644 "$S/events"
cat "$S/events" > "$S/events.log" &
exec 3<> "$S/events"  # a reader from the start, so that no event is lost
"$CT" -c 4k -f "$S/events" "$@" "$M" "$S/arch" 1 > "$S/ct.out" 2> "$S/ct.err" &
ctpid=$!
i=0; until grep -q registered "$S/ct.out"; do i=$((i + 1)); [ $i -lt 1200 ] || fail "no registration"; sleep 0.05; done

seq 1 3000 > "$M/f"
lfs hsm_archive "$M/f" && state "$M/f" 0x00000009
fid=$(lfs path2fid "$M/f" | tr -d '[]')
cmp "$M/f" "$S/arch/$fid" || fail "archive copy differs"
echo more >> "$M/f" && state "$M/f" 0x0000000b
lfs hsm_archive "$M/f" && state "$M/f" 0x00000009
cmp "$M/f" "$S/arch/$fid" || fail "re-archived copy differs"
cp "$M/f" "$S/expected"
lfs hsm_release "$M/f" && state "$M/f" 0x0000000d
lfs hsm_restore "$M/f" && state "$M/f" 0x00000009
cmp "$M/f" "$S/expected" || fail "restored data differs"
lfs hsm_remove "$M/f" && state "$M/f" 0x00000000
# The coordinator keeps the archive id after a remove.
[ "$(lfs hsm_state "$M/f")" = "$M/f: (0x00000000), archive_id:1" ] || fail "removed: $(lfs hsm_state "$M/f")"
[ ! -e "$S/arch/$fid" ] || fail "removed copy still there"

# Import the copy of another file as a new, released file, then restore it.
echo imported data > "$M/g" && lfs hsm_archive "$M/g" && state "$M/g" 0x00000009
gfid=$(lfs path2fid "$M/g" | tr -d '[]')
newfid=$("$CT" --import "$gfid" "$M/h" "$M" "$S/arch" 1) || fail "import: $?"
[ "$(lfs path2fid "$M/h")" = "$newfid" ] || fail "import gave $newfid"
lfs hsm_state "$M/h" | grep -q '(0x0000000d) released exists archived, archive_id:1' || fail "imported: $(lfs hsm_state "$M/h")"
lfs hsm_restore "$M/h" && state "$M/h" 0x00000009
cmp "$M/g" "$M/h" || fail "imported data differs"

# SIGTERM: the handler unregisters while the main thread waits in a
# receive; the copytool must end of itself (it ends in milliseconds; the
# bound only keeps a hung one from hanging the test), with status 1.
kill -TERM $ctpid
i=0; while kill -0 $ctpid 2>/dev/null; do i=$((i + 1)); [ $i -lt 1200 ] || fail "still running after SIGTERM"; sleep 0.05; done
status=0; wait $ctpid || status=$?
[ $status -eq 1 ] || fail "exit status $status"
grep -qx 'exiting: Terminated' "$S/ct.err" || fail "stderr: $(cat "$S/ct.err")"
exec 3>&-
wait
# Messages went to the FIFO, not to stderr; every action and both
# registration events are there.
for e in REGISTER ARCHIVE_START ARCHIVE_RUNNING ARCHIVE_FINISH RESTORE_FINISH REMOVE_FINISH LOGGED_MESSAGE UNREGISTER; do
    grep -q "\"event_type\": \"$e\"" "$S/events.log" || fail "no $e event in: $(cat "$S/events.log")"
done
grep -qE '^\{"event_time": "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} [-+][0-9]{4}", "event_type": "UNREGISTER", "archive": 1, "mount_point": "[^"]*", "uuid": "ffff8803-f0d4-1000-0000-000000000000"\}$' "$S/events.log" || fail "UNREGISTER event"
grep -qF "\"message\": \"ct: ARCHIVE $(lfs path2fid "$M/g") 'g' (0)\"" "$S/events.log" || fail "no archive message for g"
echo ok
