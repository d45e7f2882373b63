#!/bin/bash
# Two rename runs of the real program at once into one folder.
#
#   bench/concurrent-renames.sh [ZUMO] [FILES] [REPEATS]
#
# ZUMO is the built program (default: build/release/bin/zumo, else
# build/test/bin/zumo), FILES the files per run (3000), REPEATS the runs per
# setting (5). For copy and move, with "ファイルの上書きをする" off and on,
# two programs rename FILES files each (their sources lie side by side in
# one folder) to numbered names in that folder at the same time. Counted per
# repetition: files that failed (named on standard error), files lost (a
# source's content held by no file of the folder), sources whose content is
# under no numbered name ("unnum": failed, or replaced by the other run's
# copy), contents under more than one numbered name, sources found exactly
# once, temporary files left, and whether two undos bring back exactly the
# sources. Everything happens in a temporary
# folder that is removed at the end.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")/.." && pwd)
zumo=${1:-}
if [[ -z $zumo ]]; then
    for candidate in "$here/build/release/bin/zumo" "$here/build/test/bin/zumo"; do
        [[ -x $candidate ]] && zumo=$candidate && break
    done
fi
files=${2:-3000}
repeats=${3:-5}
[[ -x $zumo ]] || { echo "no zumo program: build the target zumo first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zumo-concurrent-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/config" "$work/state"
cp "$zumo" "$work/app/zumo"
pics=$work/pictures

# The sanitizer build checks for leaks at exit; that is not measured here.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
run_zumo() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
        XDG_CACHE_HOME="$work/cache" "$work/app/zumo" "$@"
}

write_settings() { # transfer overwrite
    cat >"$work/app/zumo.ini" <<EOF
[Form1]
RadioGroup10.ItemIndex=2
RadioGroup3.ItemIndex=0
RadioGroup4.ItemIndex=$1
CheckBox4.Checked=$2
CheckBox8.Checked=0
RadioGroup9.ItemIndex=1
Edit5.Text=new
EOF
}

make_sources() {
    rm -rf "$pics"
    mkdir -p "$pics"
    local run i
    for run in a b; do
        for ((i = 0; i < files; i++)); do
            printf '%s %05d %s\n' "$run" "$i" "$RANDOM$RANDOM" >"$pics/$run$(printf %05d "$i").dat"
        done
    done
    (cd "$pics" && md5sum -- *.dat | sort >"$work/sources.md5")
}

printf '%-5s %-9s %3s  %6s %6s %6s %6s %6s %6s %6s %6s  %s\n' \
    mode overwrite rep exitA exitB failed lost unnum twice once temps undo
total_lost=0 total_failed=0 total_twice=0 total_unnumbered=0
for transfer in 0 1; do
    mode=$([[ $transfer == 0 ]] && echo copy || echo move)
    for overwrite in 0 1; do
        for ((rep = 1; rep <= repeats; rep++)); do
            make_sources
            write_settings "$transfer" "$overwrite"
            rm -rf "$work/state"/*
            set +e
            (cd "$pics" && run_zumo -- "$pics"/a*.dat 2>"$work/a.err" >/dev/null) &
            pid_a=$!
            (cd "$pics" && run_zumo -- "$pics"/b*.dat 2>"$work/b.err" >/dev/null) &
            pid_b=$!
            wait "$pid_a"; exit_a=$?
            wait "$pid_b"; exit_b=$?
            set -e
            failed=$(cat "$work/a.err" "$work/b.err" | grep -c '^zumo: .*: failed$' || true)
            # Each source's digest: under a numbered name exactly once is
            # right; lost is a content that no file of the folder holds.
            (cd "$pics" && find . -maxdepth 1 -name 'new*' -type f -print0 |
                xargs -0r md5sum | cut -d' ' -f1) >"$work/numbered.md5"
            (cd "$pics" && find . -maxdepth 1 -type f -print0 |
                xargs -0r md5sum | cut -d' ' -f1) >"$work/all.md5"
            read -r lost unnumbered twice once < <(awk '
                FILENAME == ARGV[1] { numbered[$1]++; next }
                FILENAME == ARGV[2] { anywhere[$1]++; next }
                {
                    if (!($1 in anywhere)) lost++
                    if (!($1 in numbered)) unnumbered++
                    else if (numbered[$1] > 1) twice++
                    else once++
                }
                END { print lost + 0, unnumbered + 0, twice + 0, once + 0 }' \
                "$work/numbered.md5" "$work/all.md5" "$work/sources.md5")
            temps=$(find "$pics" -maxdepth 1 -name '.zumo-*' | wc -l)
            # Two undos, newest run first, must give back exactly the sources.
            run_zumo --undo >/dev/null 2>&1 || true
            run_zumo --undo >/dev/null 2>&1 || true
            if (cd "$pics" && find . -maxdepth 1 -type f -print0 | xargs -0r md5sum |
                sed 's| \./| |' | sort | cmp -s - "$work/sources.md5"); then
                undo=restored
            else
                undo=DIFFERS
            fi
            printf '%-5s %-9s %3d  %6d %6d %6d %6d %6d %6d %6d %6d  %s\n' \
                "$mode" "$([[ $overwrite == 1 ]] && echo on || echo off)" "$rep" \
                "$exit_a" "$exit_b" "$failed" "$lost" "$unnumbered" "$twice" "$once" "$temps" "$undo"
            total_lost=$((total_lost + lost))
            total_failed=$((total_failed + failed))
            total_twice=$((total_twice + twice))
            total_unnumbered=$((total_unnumbered + unnumbered))
        done
    done
done
echo "total: $total_failed failed, $total_lost lost, $total_unnumbered not under a numbered name," \
    "$total_twice under more than one" \
    "($((2 * files)) files per repetition)"
