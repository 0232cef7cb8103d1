#!/bin/bash
# The mutation check: does the test suite catch the faults it must guard?
#
# For each row of the mutation list (tests/mutants.tsv) the script puts one fault into a copy
# of the source tree (an exact text replaced by another), builds the copy incrementally, runs
# the row's first test and then the whole suite (stopping at the first failure), and puts the
# file back. A mutant is "killed" when a test fails, "survived" when the whole suite passes,
# "did not build" when the copy does not compile, and "did not apply" when the old text is not
# found exactly once in its file.
#
# Usage: scripts/mutants.sh [--source DIR] [--work DIR] [--only ID[,ID...]] [--jobs N]
#                           [--list FILE] [--results FILE] [--timeout S] [--check-suite] [--no-repeat]
#                           [--dry-run]
#   --source DIR   tree to mutate (default: the repository holding this script); its tracked
#                  files are copied, uncommitted edits included
#   --work DIR     scratch folder outside the source (default: /tmp/mutants-<name of the source>);
#                  kept between runs so that later runs build incrementally
#   --only IDS     only these mutations (comma-separated ids), in the list's order
#   --jobs N       parallel build jobs (default: number of processors)
#   --list FILE    mutation list (default: tests/mutants.tsv beside this script)
#   --results FILE markdown results table (default: WORK/results.md)
#   --timeout S    CTest's time-out for a test without one of its own (default 600, as CI)
#   --check-suite  run the whole suite once on the unmutated copy first; stop if it fails
#   --no-repeat    do not run a killing test a second time (by default a kill that does not
#                  happen again, a time-out aside, is marked "passed when repeated: flaky?")
#   --dry-run      only check that every selected row applies to the source, build nothing
#
# A tool for developers, not a CI step: a whole run takes hours. Tests run one at a time and at
# normal priority (timing-sensitive tests under low priority would fail for the wrong reason);
# only the compile steps run under nice.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel 2>/dev/null || (cd "$here/.." && pwd))

source_dir=$repo
work=
only=
jobs=$(nproc 2>/dev/null || echo 2)
list=$repo/tests/mutants.tsv
results=
ctest_timeout=600
check_suite=0
dry_run=0
repeat=1

usage() { sed -n '2,/^set -uo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; }
die() { echo "mutants: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
    case $1 in
        --source) source_dir=${2:?}; shift 2 ;;
        --work) work=${2:?}; shift 2 ;;
        --only) only=${2:?}; shift 2 ;;
        --jobs) jobs=${2:?}; shift 2 ;;
        --list) list=${2:?}; shift 2 ;;
        --results) results=${2:?}; shift 2 ;;
        --timeout) ctest_timeout=${2:?}; shift 2 ;;
        --check-suite) check_suite=1; shift ;;
        --dry-run) dry_run=1; shift ;;
        --no-repeat) repeat=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; die "unknown argument: $1" ;;
    esac
done

[ -d "$source_dir" ] || die "no source folder $source_dir"
source_dir=$(cd "$source_dir" && pwd -P)
[ -f "$list" ] || die "no mutation list $list"
list=$(cd "$(dirname "$list")" && pwd -P)/$(basename "$list")
[[ $jobs =~ ^[1-9][0-9]*$ ]] || die "--jobs wants a positive number"
[[ $ctest_timeout =~ ^[1-9][0-9]*$ ]] || die "--timeout wants a positive number of seconds"
git -C "$source_dir" rev-parse --show-toplevel >/dev/null 2>&1 || die "$source_dir is not a git tree"
work=${work:-/tmp/mutants-$(basename "$source_dir")}
mkdir -p "$work" || die "cannot make $work"
work=$(cd "$work" && pwd -P)
case "$work/" in
    "$source_dir"/*) die "the work folder must lie outside the source ($work)" ;;
esac
case "$source_dir/" in
    "$work"/*) die "the source must not lie inside the work folder ($work)" ;;
esac
results=${results:-$work/results.md}

# ---- file work in Python: the list's columns may hold any text, escapes included
read -r -d '' HELPER <<'PY'
import os, re, shutil, subprocess, sys

def decode(text):
    # \t, \n and \\ stand for a tab, a line break and a backslash; any other backslash is itself.
    return re.sub(r'\\([\\tn])', lambda m: {'\\': '\\', 't': '\t', 'n': '\n'}[m.group(1)], text)

def rows(path):
    out, seen = [], set()
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not line.strip() or line.lstrip().startswith('#'):
                continue
            cols = line.split('\t')
            if len(cols) not in (5, 6):
                sys.exit(f'{path}:{number}: {len(cols)} columns, want 5 or 6 '
                         '(id, file, old text, new text, fault[, first test])')
            ident, file, old, new, fault = cols[:5]
            first = cols[5].strip() if len(cols) == 6 else ''
            if not re.fullmatch(r'[A-Za-z0-9_.-]+', ident):
                sys.exit(f'{path}:{number}: bad id {ident!r}')
            if ident in seen:
                sys.exit(f'{path}:{number}: id {ident} used twice')
            if not file or not old or not fault.strip():
                sys.exit(f'{path}:{number}: file, old text and fault must not be empty')
            if decode(old) == decode(new):
                sys.exit(f'{path}:{number}: old and new text are the same')
            seen.add(ident)
            out.append(dict(id=ident, file=file, old=decode(old), new=decode(new), fault=fault.strip(),
                            first=first))
    return out

def select(path, only):
    all_rows = rows(path)
    if not only:
        return all_rows
    wanted = [w for w in only.split(',') if w]
    unknown = [w for w in wanted if w not in {r['id'] for r in all_rows}]
    if unknown:
        sys.exit('unknown mutation id(s): ' + ', '.join(unknown))
    return [r for r in all_rows if r['id'] in wanted]

def apply(path, ident, tree, backup, write):
    row = next(r for r in rows(path) if r['id'] == ident)
    target = os.path.join(tree, row['file'])
    if not os.path.isfile(target):
        print(f'no file {row["file"]}')
        return 3
    data = open(target, 'rb').read()
    old, new = row['old'].encode('utf-8'), row['new'].encode('utf-8')
    count = data.count(old)
    if count != 1:
        print(f'old text found {count} times in {row["file"]}')
        return 3
    if write:
        shutil.copyfile(target, backup)
        with open(target, 'wb') as f:
            f.write(data.replace(old, new))
    return 0

def sync(source, dest):
    # The tracked files as they stand in the source (uncommitted edits included). A file whose
    # content is unchanged keeps its time, so the copy builds incrementally; a changed file gets
    # a new time; a file no longer tracked is removed (the build globs its sources).
    listed = subprocess.run(['git', '-C', source, 'ls-files', '-z'], check=True,
                            capture_output=True).stdout.decode('utf-8').split('\0')
    keep = set()
    for rel in filter(None, listed):
        src = os.path.join(source, rel)
        if not os.path.isfile(src) or os.path.islink(src):
            continue
        keep.add(rel)
        dst = os.path.join(dest, rel)
        data = open(src, 'rb').read()
        if not os.path.isfile(dst) or open(dst, 'rb').read() != data:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            if os.path.lexists(dst):
                os.remove(dst)
            with open(dst, 'wb') as f:
                f.write(data)
        mode = os.stat(src).st_mode & 0o777
        if os.stat(dst).st_mode & 0o777 != mode:
            os.chmod(dst, mode)
    for root, dirs, files in os.walk(dest):
        for name in files:
            rel = os.path.relpath(os.path.join(root, name), dest)
            if rel not in keep:
                os.remove(os.path.join(root, name))

command = sys.argv[1]
if command == 'rows':
    for r in select(sys.argv[2], sys.argv[3]):
        print('\x1f'.join([r['id'], r['file'], r['first'], r['fault']]))
elif command == 'apply':
    sys.exit(apply(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6] == 'write'))
elif command == 'sync':
    sync(sys.argv[2], sys.argv[3])
PY
helper() { /usr/bin/python3 -c "$HELPER" "$@"; }

rows_text=$(helper rows "$list" "$only") || die "the mutation list is not usable"
mapfile -t rows <<<"$rows_text"
[ -n "$rows_text" ] || die "no mutation selected"

if [ $dry_run = 1 ]; then
    bad=0
    for row in "${rows[@]}"; do
        IFS=$'\x1f' read -r id file first fault <<<"$row"
        if why=$(helper apply "$list" "$id" "$source_dir" /dev/null check); then
            printf '%-24s applies   %s\n' "$id" "$file"
        else
            printf '%-24s DID NOT APPLY: %s\n' "$id" "$why"; bad=1
        fi
    done
    exit $bad
fi

src=$work/src
build=$work/build
logs=$work/logs
mkdir -p "$src" "$build" "$logs"

# ---- interruption: the current file goes back, running children are stopped
child=
pending_file=
pending_backup=
restore() {
    [ -n "$pending_file" ] || return 0
    # A plain copy gives the file a new time, so the next build compiles it again.
    if cp "$pending_backup" "$pending_file" && cmp -s "$pending_backup" "$pending_file"; then
        rm -f "$pending_backup"
    else
        echo "mutants: could not restore $pending_file from $pending_backup" >&2
    fi
    pending_file=
}
stop_child() {
    if [ -n "$child" ]; then
        kill -TERM -- "-$child" 2>/dev/null
        wait "$child" 2>/dev/null
        child=
    fi
}
on_signal() {
    echo; echo "mutants: interrupted; restoring the file and stopping" >&2
    stop_child
    restore
    write_results "interrupted"
    exit 130
}
trap on_signal INT TERM HUP
trap 'stop_child; restore' EXIT

# Runs a command in a process group of its own (so that an interruption stops all of it),
# output to a log; answers the command's status.
run_logged() {
    local log=$1; shift
    setsid "$@" >"$log" 2>&1 </dev/null &
    child=$!
    wait "$child"
    local rc=$?
    child=
    return $rc
}

# Two passes: Ninja learns that a header generated by CMake's AUTOUIC (from a .ui file) changed
# only after the pass that regenerated it, so the sources that include it build in the second.
# With targets named, only they (and what they need) are built: a mutant that the row's first
# test kills never waits for the other test programs to link.
build_copy() {  # $1 log, then the targets (none: all)
    local log=$1; shift
    local targets=()
    [ $# -gt 0 ] && targets=(--target "$@")
    run_logged "$log" nice -n 10 cmake --build "$build" -j "$jobs" "${targets[@]}" &&
        run_logged "$log.again" nice -n 10 cmake --build "$build" -j "$jobs" "${targets[@]}"
    local rc=$?
    [ -f "$log.again" ] && cat "$log.again" >>"$log" && rm -f "$log.again"
    return $rc
}

# The test that failed in a CTest log, and why ("Failed", "Timeout", "SEGFAULT", ...).
failed_test() {  # $1 log; prints "name<TAB>reason"
    sed -n '/The following tests FAILED:/,$p' "$1" |
        sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) \((.*)\)[[:space:]]*$/\1\t\2/p' | head -n 1
}

declare -a result_lines=()
killed=0 survived=0 unbuilt=0 unapplied=0
started_at=$(date +%s)

write_results() {  # $1 state of the run
    local commit
    commit=$(git -C "$source_dir" rev-parse --short HEAD 2>/dev/null)
    if ! git -C "$source_dir" diff --quiet HEAD -- 2>/dev/null; then commit="$commit + uncommitted edits"; fi
    {
        echo "# Mutation check results"
        echo
        echo "- source: $source_dir ($commit)"
        echo "- list: $list"
        echo "- run: $(date -d "@$started_at" '+%Y-%m-%d %H:%M') for $(( ($(date +%s) - started_at) / 60 )) min, $1"
        echo "- total ${#result_lines[@]}: killed $killed, survived $survived, did not build $unbuilt," \
             "did not apply $unapplied"
        echo
        echo "| id | fault | status | killing test | s |"
        echo "|---|---|---|---|---|"
        local line
        for line in "${result_lines[@]}"; do echo "$line"; done
    } >"$results"
}

# ---- the copy and its first build
echo "mutants: copying $source_dir to $src"
helper sync "$source_dir" "$src" || die "cannot copy the source"
echo "mutants: building in $build (log: $logs/build.log)"
run_logged "$logs/configure.log" cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ||
    die "configuring the copy failed, see $logs/configure.log"
build_copy "$logs/build.log" || die "the unmutated copy does not build, see $logs/build.log"

# The suite as the build registers it (it differs between versions of the tree).
mapfile -t suite < <(cd "$build" && ctest -N 2>/dev/null | sed -nE 's/^[[:space:]]*Test[[:space:]]+#[0-9]+: ([^ ]+).*$/\1/p')
[ ${#suite[@]} -gt 0 ] || die "the build registers no test"
in_suite() { local t; for t in "${suite[@]}"; do [ "$t" = "$1" ] && return 0; done; return 1; }
echo "mutants: ${#suite[@]} test programs; ${#rows[@]} mutations; CTest time-out ${ctest_timeout} s"

if [ $check_suite = 1 ]; then
    echo "mutants: running the suite on the unmutated copy (log: $logs/unmutated.log)"
    t0=$(date +%s)
    if ! run_logged "$logs/unmutated.log" env -C "$build" ctest --output-on-failure --timeout "$ctest_timeout"; then
        die "the suite fails without any mutation ($(failed_test "$logs/unmutated.log" | tr '\t' ' ')), see $logs/unmutated.log"
    fi
    echo "mutants: the unmutated suite passes in $(( $(date +%s) - t0 )) s"
fi

# ---- one mutant at a time
index=0
for row in "${rows[@]}"; do
    IFS=$'\x1f' read -r id file first fault <<<"$row"
    index=$((index + 1))
    t0=$(date +%s)
    status= killer= reason= note=
    build_log=$logs/$id.build.log
    test_log=$logs/$id.test.log
    rm -f "$build_log" "$test_log" "$logs/$id.first.log" "$logs/$id.repeat.log"

    backup=$work/backup.$id
    if ! why=$(helper apply "$list" "$id" "$src" "$backup" write); then
        status="did not apply"; note=$why
    else
        pending_file=$src/$file
        pending_backup=$backup
        if [ -n "$first" ] && ! in_suite "$first"; then
            note="first test $first is not in this suite"
            first=
        fi
        if ! build_copy "$build_log" $first; then
            status="did not build"
        else
            grep -q 'Building CXX\|Linking CXX' "$build_log" || note="nothing was rebuilt"
            if [ -n "$first" ]; then
                if ! run_logged "$logs/$id.first.log" env -C "$build" \
                        ctest -R "^${first}\$" --output-on-failure --timeout "$ctest_timeout"; then
                    status=killed
                    IFS=$'\t' read -r killer reason < <(failed_test "$logs/$id.first.log")
                fi
            fi
            if [ -z "$status" ] && [ -n "$first" ] && ! build_copy "$build_log.rest"; then
                status="did not build"
            fi
            [ -f "$build_log.rest" ] && cat "$build_log.rest" >>"$build_log" && rm -f "$build_log.rest"
            if [ -z "$status" ]; then
                exclude=()
                [ -n "$first" ] && exclude=(-E "^${first}\$")
                if run_logged "$test_log" env -C "$build" \
                        ctest --stop-on-failure --output-on-failure --timeout "$ctest_timeout" "${exclude[@]}"; then
                    status=survived
                else
                    status=killed
                    IFS=$'\t' read -r killer reason < <(failed_test "$test_log")
                fi
            fi
            # Qt Test ends a test function after 5 minutes: when no check of the test failed before,
            # that is, like CTest's time-out, no bound of the test's own.
            kill_log=$test_log
            [ -f "$test_log" ] || kill_log=$logs/$id.first.log
            if [ "$status" = killed ] && grep -qs 'Test function timed out' "$kill_log" &&
                ! grep -qs '^FAIL!' "$kill_log"; then
                reason="Qt Test time-out"
            fi
            # A kill that does not happen again points at a flaky test rather than at the mutant.
            if [ "$status" = killed ] && [ $repeat = 1 ] && [ -n "$killer" ] &&
                [[ $reason != *Timeout* && $reason != *time-out* ]] &&
                run_logged "$logs/$id.repeat.log" env -C "$build" \
                    ctest -R "^${killer}\$" --output-on-failure --timeout "$ctest_timeout"; then
                note="passed when repeated: flaky?"
            fi
        fi
        restore
    fi

    seconds=$(( $(date +%s) - t0 ))
    shown=$killer
    if [ "$status" = killed ]; then
        [ -n "$killer" ] || killer="(no test named; see the logs of $id)"
        shown=$killer
        case ${reason:-} in
            *Timeout*) shown="$killer (CTest time-out)" ;;
            *time-out*) shown="$killer ($reason)" ;;
            Failed|"") ;;
            *) shown="$killer ($reason)" ;;
        esac
    fi
    case $status in
        killed) killed=$((killed + 1)) ;;
        survived) survived=$((survived + 1)) ;;
        "did not build") unbuilt=$((unbuilt + 1)) ;;
        "did not apply") unapplied=$((unapplied + 1)) ;;
    esac
    printf '[%d/%d] %-26s %-13s %s%s (%d s)\n' "$index" "${#rows[@]}" "$id" "$status" "$shown" \
        "${note:+ [$note]}" "$seconds"
    cell=$shown
    [ -n "$note" ] && cell="${cell:+$cell; }$note"
    cell_fault=${fault//|/\\|}
    result_lines+=("| $id | $cell_fault | $status | ${cell//|/\\|} | $seconds |")
    reason=
    write_results "running"
done

write_results "complete"
echo "mutants: total ${#rows[@]}: killed $killed, survived $survived, did not build $unbuilt, did not apply $unapplied" \
     "in $(( ($(date +%s) - started_at) / 60 )) min"
echo "mutants: results in $results, logs in $logs"
