#!/bin/sh
# Runs the mirror sample in a scratch folder and checks what it printed and left behind.
#
#   script_test.sh MIRROR script [OPTIONS...]     commands piped in: listings on demand, reads
#                                                 through the host, a 20 MiB copy that must match
#                                                 the server's file, dehydrate, pin, unpin
#   script_test.sh MIRROR interrupt [OPTIONS...]  a throttled copy cancelled with SIGINT (Ctrl-C),
#                                                 then SIGINT at the prompt, which must quit cleanly
#   script_test.sh MIRROR server-changed [...]    the server's files change behind the placeholders
# OPTIONS go to the mirror (--async).
set -eu
mirror=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mode=$2
shift 2

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export OSTRASYNC_STATE_DIR="$work/state"

fail() {
  echo "---- mirror's output:"
  cat out.txt
  echo "FAILED: $*"
  exit 1
}
expect() {
  grep -F -q -- "$1" out.txt || fail "no line with: $1"
}
expect_line() {
  grep -E -q -- "$1" out.txt || fail "no line matching: $1"
}
# Waits for the output to show a text; only a hang takes a minute.
wait_for() {
  tries=0
  until grep -F -q -- "$1" out.txt; do
    tries=$((tries + 1))
    [ "$tries" -le 600 ] || fail "gave up waiting for: $1"
    sleep 0.1
  done
}
no_failures() {
  # A command's failure ("cat: 0x800701AA ...") or the library's Error event.
  if grep -E -q -- '^[a-z]+: 0x|^  error 0x' out.txt; then fail "a command or the library failed"; fi
}

large=mirror-demo/server/large.txt

if [ "$mode" = script ]; then
  status=0
  "$mirror" "$@" >out.txt 2>&1 <<'EOF' || status=$?
# A folder is listed when it is first looked at; files stay online-only until read. A listing
# the host finishes later (--async) shows the folder as it is before the answer: look again once
# its files are there (a listing's files reach the disk together, after its folders).
ls
waitfor readme.txt
ls
ls docs
waitfor docs/notes.md
ls docs
stat readme.txt
cat docs/notes.md
stat docs/notes.md
cp large.txt copy.txt
stat large.txt
dehydrate large.txt
stat large.txt
cat readme.txt
pin numbers.csv
unpin numbers.csv
quit
EOF
  # Dehydration needs the library's answer to the system's request; where the library refuses it,
  # the shell must show the refusal's code and text, and that is the script's only failure.
  if grep -F -q 'large.txt: dehydrated' out.txt; then
    [ "$status" -eq 0 ] || fail "exit status $status"
    expect 'on disk      0 bytes'
  else
    [ "$status" -eq 3 ] || fail "exit status $status, not 3 for the refused dehydration"
    expect_line '^dehydrate: 0x8007[0-9A-F]{4} [A-Z].+\.$'
    sed -i '/^dehydrate: 0x/d; /NOTIFY_DEHYDRATE/d; /^  error 0x21000006: Placeholder callback failed$/d' out.txt
  fi
  no_failures
  expect 'other programs (cat, od, an editor in another terminal) read a file of the sync root that is not downloaded yet as zeros'
  expect 'host: ListDirectory \'
  expect 'host: ListDirectory \docs'
  expect_line '^  online +29  readme\.txt$'
  expect_line '^  folder +  docs/$'
  expect 'host: GetFileData \docs\notes.md offset 0 length 32'
  expect 'A file in a subfolder.'
  expect 'on disk      32 bytes at 0-32'
  expect 'host: GetFileData \large.txt offset 0 length 20971520'
  expect 'cp: 20971520 bytes to'
  cmp copy.txt "$large" || fail "the copy differs from the server's file"
  expect 'on disk      20971520 bytes at 0-20971520'
  expect 'Served by the mirror sample.'
  expect 'numbers.csv: pinned'
  expect 'numbers.csv: unpinned'
  expect 'deactivate: ok'
  expect 'uninstall: ok'
elif [ "$mode" = interrupt ]; then
  mkfifo in
  "$mirror" --throttle "$@" <in >out.txt 2>&1 &
  pid=$!
  exec 3>in # held open: the mirror must quit for SIGINT, not for the end of its input
  printf 'ls\nwaitfor large.txt\nls\ncp large.txt copy.txt\n' >&3
  wait_for 'host: GetFileData \large.txt'
  sleep 1
  kill -INT "$pid"
  wait_for 'cp: 0x800703E3'
  echo 'stat large.txt' >&3
  wait_for 'on disk'
  kill -INT "$pid"
  status=0
  wait "$pid" || status=$?
  pid=
  exec 3>&-
  # The cancelled copy is the script's one failed command.
  [ "$status" -eq 3 ] || fail "exit status $status, not 3"
  expect 'cp: 0x800703E3 The I/O operation has been aborted'
  expect 'host: CancelTask \large.txt'
  [ ! -e copy.txt ] || fail "a partial copy was left behind"
  expect 'quit (Ctrl-C)'
  expect 'deactivate: ok'
  expect 'uninstall: ok'
  # The library reports the cancelled download itself (0x21000031), and nothing else.
  if grep -E '^  error 0x' out.txt | grep -v -q '^  error 0x21000031: '; then fail "the library reported an error"; fi
elif [ "$mode" = server-changed ]; then
  # The server changes behind the placeholders: a file shrinks, a folder goes. Reads and listings
  # must fail with a code, never hand out a file with a hole, and the shell must go on.
  mkfifo in
  "$mirror" "$@" <in >out.txt 2>&1 &
  pid=$!
  exec 3>in
  printf 'ls\nwaitfor numbers.csv\nls\n' >&3
  wait_for 'numbers.csv'
  truncate -s 1000 "$large"
  rm -r mirror-demo/server/docs
  printf 'cat large.txt\nls docs\nstat large.txt\n' >&3
  wait_for 'on disk'
  exec 3>&- # the end of the input ends the shell as quit does
  status=0
  wait "$pid" || status=$?
  pid=
  [ "$status" -eq 3 ] || fail "exit status $status, not 3"
  expect 'large.txt ends at 1000, before the 20971520 bytes asked from 0'
  expect_line '^cat: 0x8007[0-9A-F]{4} [A-Z].+\.$'
  expect_line '^  host: cannot list .*/docs: No such file or directory$'
  if grep -F -q 'on disk      20971520' out.txt; then fail "the shrunk file passes for whole"; fi
  grep -F -q 'line 00000016' out.txt && fail "cat printed data of a failed read"
  expect 'deactivate: ok'
  expect 'uninstall: ok'
else
  echo "unknown mode $mode" >&2
  exit 2
fi
[ -z "${MIRROR_TEST_SHOW:-}" ] || cat out.txt
echo "ok"
