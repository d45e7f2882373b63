#!/bin/bash
# The zumo program's batches one file at a time (--jobs 1) against all cores
# (its default), run as a user runs them: the program with file names on its
# command line and its settings file beside it.
#
#   bench/jobs.sh ZUMO PICTURES [ROUNDS]
#
# ZUMO is the built program, PICTURES the bench's picture folder (W1p and W5
# in it, see bench/README.md). Three batches:
#   photos   W1p's photographs three times over: height 960, JPEG 92
#   gifs     1,000 GIF files (W5's, copied round): BMP, in the GIF mode
#   pngs     1,000 640x480 PNG files (made from W5 by the program): JPEG 92
# For each the median of ROUNDS (default 3) wall times, the processor time
# and the peak memory of the process; the two runs of a batch must leave the
# same files, byte for byte. For the photographs also vipsthumbnail with its
# own threads and `xargs -P <cores>` over single-threaded vipsthumbnail.
set -euo pipefail

zumo=$(realpath "$1")
pictures=$(realpath "$2")
rounds=${3:-3}
cores=$(nproc)

[ -d "$pictures/W5" ] || {
    echo "jobs.sh: $pictures lacks W5 (run make bench first)" >&2
    exit 1
}
photos=$([ -d "$pictures/W1p" ] && echo yes || echo no)

work=$(mktemp -d "${TMPDIR:-/tmp}/zumo-bench-jobs-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/config" "$work/state" "$work/cache"
ln "$zumo" "$work/app/zumo" 2>/dev/null || cp "$zumo" "$work/app/zumo"

# settings KEY=VALUE...: the settings file, every other option at its default.
settings() {
    local -A v=(
        [CheckBox1.Checked]=0 [CheckBox3.Checked]=0 [CheckBox4.Checked]=0
        [CheckBox5.Checked]=0 [CheckBox6.Checked]=1 [CheckBox7.Checked]=0
        [CheckBox8.Checked]=0 [" UpDown1.Position"]=92 [" UpDown2.Position"]=0
        [" UpDown3.Position"]=100 [RadioGroup1.ItemIndex]=0 [RadioGroup2.ItemIndex]=1
        [RadioGroup3.ItemIndex]=0 [RadioGroup4.ItemIndex]=0 [RadioGroup5.ItemIndex]=1
        [RadioGroup6.ItemIndex]=0 [RadioGroup7.ItemIndex]=3 [RadioGroup8.ItemIndex]=0
        [RadioGroup9.ItemIndex]=1 [RadioGroup10.ItemIndex]=0 [Edit1.Text]=
        [Edit5.Text]=new [Edit6.Text]= [Edit7.Text]=out [CheckBox9.Checked]=1
        [CheckBox10.Checked]=1 [CheckBox11.Checked]=1)
    local pair
    for pair in "$@"; do v[${pair%%=*}]=${pair#*=}; done
    {
        echo "[Form1]"
        local key
        for key in CheckBox1.Checked CheckBox3.Checked CheckBox4.Checked CheckBox5.Checked \
            CheckBox6.Checked CheckBox7.Checked CheckBox8.Checked " UpDown1.Position" \
            " UpDown2.Position" " UpDown3.Position" RadioGroup1.ItemIndex RadioGroup2.ItemIndex \
            RadioGroup3.ItemIndex RadioGroup4.ItemIndex RadioGroup5.ItemIndex \
            RadioGroup6.ItemIndex RadioGroup7.ItemIndex RadioGroup8.ItemIndex \
            RadioGroup9.ItemIndex RadioGroup10.ItemIndex Edit1.Text Edit5.Text Edit6.Text \
            Edit7.Text CheckBox9.Checked CheckBox10.Checked CheckBox11.Checked; do
            echo "$key=${v[$key]}"
        done
    } >"$work/app/zumo.ini"
}

# run_zumo OUTLIST ARGS...: the program headless over the files; prints
# "wall cpu peak_kb" and fails when it does.
run_zumo() {
    local times=$work/times
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME="$work/config" \
        XDG_STATE_HOME="$work/state" XDG_CACHE_HOME="$work/cache" \
        /usr/bin/time -o "$times" -f "%e %U %S %M" "$work/app/zumo" "$@" \
        >"$work/stdout" 2>"$work/stderr" || {
        echo "jobs.sh: zumo failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    }
    awk '{ printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' "$times"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# batch NAME FOLDER: runs the folder's files with 1 job and with the default,
# taking turns; prints one line per setting and checks the outputs agree.
batch() {
    local name=$1 folder=$2
    local files=("$folder"/*)
    local r jobs label one all
    declare -A walls cpus peaks
    for ((r = 0; r < rounds; r++)); do
        for jobs in 1 default; do
            rm -rf "$folder/out"
            if [ "$jobs" = 1 ]; then
                read -r w c p < <(run_zumo --jobs 1 "${files[@]}")
            else
                read -r w c p < <(run_zumo "${files[@]}")
            fi
            walls[$jobs]+="$w "
            cpus[$jobs]+="$c "
            peaks[$jobs]+="$p "
            rm -rf "$work/out-$jobs"
            mv "$folder/out" "$work/out-$jobs"
        done
    done
    diff -r "$work/out-1" "$work/out-default" >/dev/null || {
        echo "jobs.sh: $name: the outputs of 1 job and of $cores differ" >&2
        exit 1
    }
    local count
    count=$(find "$work/out-1" -type f | wc -l)
    for jobs in 1 default; do
        label=$([ "$jobs" = 1 ] && echo "1 job" || echo "default ($cores)")
        w=$(tr ' ' '\n' <<<"${walls[$jobs]}" | grep . | median)
        c=$(tr ' ' '\n' <<<"${cpus[$jobs]}" | grep . | median)
        p=$(tr ' ' '\n' <<<"${peaks[$jobs]}" | grep . | median)
        printf '%-7s %-12s %5d files  %7.2f s wall  %7.2f s cpu  %6.1f ms cpu/file  peak %4d MB\n' \
            "$name" "$label" "$count" "$w" "$c" "$(awk -v c="$c" -v n="$count" 'BEGIN { print c * 1000 / n }')" \
            $((p / 1024))
        [ "$jobs" = 1 ] && one=$w || all=$w
    done
    awk -v a="$all" -v o="$one" -v n="$name" 'BEGIN { printf "%-7s default / 1 job: %.2fx (speed-up %.2f)\n", n, a / o, o / a }'
}

# ---- the inputs ---------------------------------------------------------------
mkdir -p "$work/photos" "$work/gifs" "$work/pngs"
if [ "$photos" = yes ]; then
    for copy in a b c; do
        for f in "$pictures"/W1p/*.jpg; do
            cp "$f" "$work/photos/$copy-$(basename "$f")"
        done
    done
fi
gifs=("$pictures"/W5/*.gif)
for ((i = 0; i < 1000; i++)); do
    ln "${gifs[i % ${#gifs[@]}]}" "$work/gifs/$(printf 'g%04d.gif' "$i")" 2>/dev/null ||
        cp "${gifs[i % ${#gifs[@]}]}" "$work/gifs/$(printf 'g%04d.gif' "$i")"
done
# The PNGs: W5's GIFs converted by the program itself (GIF mode, PNG out).
mkdir -p "$work/seed"
cp "${gifs[@]}" "$work/seed/"
settings RadioGroup10.ItemIndex=1 RadioGroup2.ItemIndex=2
run_zumo "$work"/seed/*.gif >/dev/null
pngs=("$work"/seed/out/*.png)
for ((i = 0; i < 1000; i++)); do
    cp "${pngs[i % ${#pngs[@]}]}" "$work/pngs/$(printf 'p%04d.png' "$i")"
done

echo "zumo batches on $cores cores, median of $rounds (load $(cut -d' ' -f1 /proc/loadavg))"
if [ "$photos" = yes ]; then
    settings CheckBox7.Checked=1 RadioGroup5.ItemIndex=1 RadioGroup1.ItemIndex=3
    batch photos "$work/photos"
else
    echo "photos  skipped: no photographs in $pictures/W1p"
fi
settings RadioGroup10.ItemIndex=1 RadioGroup2.ItemIndex=1
batch gifs "$work/gifs"
settings RadioGroup1.ItemIndex=3
batch pngs "$work/pngs"

# ---- vipsthumbnail over the same photographs --------------------------------
if [ "$photos" = yes ] && command -v vipsthumbnail >/dev/null; then
    vips_run() { # vips_run COMMAND: "wall cpu peak_kb" of the shell text
        rm -rf "$work/vout" && mkdir "$work/vout"
        (cd "$work/photos" && /usr/bin/time -o "$work/times" -f "%e %U %S %M" bash -c "$1")
        awk '{ printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' "$work/times"
    }
    for label in "vipsthumbnail (its threads)" "xargs -P $cores vipsthumbnail"; do
        walls=""
        for ((r = 0; r < rounds; r++)); do
            if [[ $label == xargs* ]]; then
                read -r w c p < <(vips_run "ls ./*.jpg | VIPS_CONCURRENCY=1 xargs -P $cores -n 6 \
                    vipsthumbnail --size x960 -o '$work/vout/%s.jpg[Q=92]'")
            else
                read -r w c p < <(vips_run "vipsthumbnail --size x960 -o '$work/vout/%s.jpg[Q=92]' ./*.jpg")
            fi
            walls+="$w"$'\n'
        done
        printf 'photos  %-30s %7.2f s wall (last run: %.2f s cpu, peak %d MB of one process)\n' \
            "$label" "$(grep . <<<"$walls" | median)" "$c" $((p / 1024))
    done
fi
