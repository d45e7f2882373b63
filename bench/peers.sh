#!/usr/bin/env bash
# Runs zumo-bench's workloads with ImageMagick, GraphicsMagick and libvips on
# the same pictures and prints zumo's time per picture and output size as a
# ratio to each peer's.
#
#   bench/peers.sh build/bench/bin/zumo-bench [W1 W1p W2 ... W10]
#
# Everything runs single-threaded. Each peer runs in its batch mode where it
# has one (mogrify, gm mogrify, vipsthumbnail with many files), otherwise one
# process per picture. zumo is timed the same way from outside: one
# zumo-bench process per workload over the whole folder, start-up included.
# Time per picture = wall time of the whole run / number of pictures; CPU
# time (user + system) the same way, which varies less on a busy machine;
# peak memory is the largest resident size of any process of the run.
#
# The reductions W1, W1p and W7-W10 (zumo against vipsthumbnail; for the
# HEIC of W7, heif-convert to PNG first, as vipsthumbnail alone reads HEIC
# through the same libheif) run ROUNDS times
# (default 3), the two tools taking turns so that both meet the same load;
# the median of the rounds is printed. Both tools' outputs are then scored
# by the same code, `zumo-bench --score` (mean SSIM against a float Lanczos3
# reduction of the full-size picture, see bench/README.md).
set -euo pipefail

bench=$(realpath "${1:?usage: peers.sh path/to/zumo-bench [W1 W1p W2 ...]}")
shift
selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=(W1 W1p W2 W3 W4 W5 W6 W7 W8 W9 W10)
pictures=$(dirname "$(dirname "$bench")")/bench-pictures
rounds=${ROUNDS:-3}
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1

install_peers() {
    local missing=()
    [ -x /usr/bin/mogrify ] || missing+=(imagemagick)
    command -v gm >/dev/null || missing+=(graphicsmagick)
    command -v vipsthumbnail >/dev/null || missing+=(libvips-tools)
    command -v heif-convert >/dev/null || missing+=(libheif-examples)
    [ -x /usr/bin/time ] || missing+=(time)
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing ${missing[*]} ..." >&2
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get install -y -q "${missing[@]}" >/dev/null ||
        { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q "${missing[@]}" >/dev/null; } ||
        echo "peers.sh: could not install ${missing[*]}; their rows show n/a" >&2
}

install_peers
"$bench" --make-inputs "$pictures"
"$(dirname "$0")/make-photo-formats" "$pictures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }

# measure LABEL WORKLOAD 'COMMAND': runs COMMAND (a shell text, so that its
# wildcards match in the picture folder) in the workload's picture folder
# with $OUT set to a fresh output folder; prints "ms_per_picture
# cpu_ms_per_picture kb_per_picture peak_mb", or "n/a" when the command
# failed or missed a picture.
measure() {
    local label=$1 workload=$2 command=$3
    local in="$pictures/$workload"
    export OUT="$work/$label-$workload"
    rm -rf "$OUT"
    mkdir -p "$OUT"
    local count
    count=$(find "$in" -maxdepth 1 -type f | wc -l)
    local start end
    start=$(now_ns)
    if ! (cd "$in" && /usr/bin/time -f '%U %S %M' -o "$work/time" bash -c "$command") \
        >"$work/log-$label-$workload" 2>&1; then
        echo "n/a"
        return
    fi
    end=$(now_ns)
    local bytes outputs
    outputs=$(find "$OUT" -type f ! -name '*.v' | wc -l)
    bytes=$(find "$OUT" -type f ! -name '*.v' -printf '%s\n' | awk '{s += $1} END {print s + 0}')
    if [ "$outputs" -ne "$count" ]; then
        echo "n/a"
        return
    fi
    awk -v t=$((end - start)) -v n="$count" -v b="$bytes" '
        { printf "%.1f %.1f %.1f %.1f\n", t / 1e6 / n, ($1 + $2) * 1000 / n, b / 1024 / n, $3 / 1024 }
    ' "$work/time"
}

# Per-picture loops for the tools without a batch mode.
each() { # each EXT COMMAND-TEMPLATE: runs the template with $f and $o set
    local ext=$1 template=$2 f o
    for f in ./*; do
        o="$OUT/${f%.*}.$ext"
        eval "$template"
    done
}

zumo()     { "$bench" "$1" . --out "$OUT" --summary; }
im()       { mogrify -path "$OUT" "$@"; }
gmm()      { gm mogrify -output-directory "$OUT" "$@"; }
export bench
export -f each zumo im gmm

# The median of each column over the lines read ("n/a" when any was).
median_columns() {
    awk '$1 == "n/a" { bad = 1 } { for (i = 1; i <= NF; ++i) v[i, NR] = $i; nf = NF }
        END {
            if (bad || NR == 0) { print "n/a"; exit }
            for (i = 1; i <= nf; ++i) {
                for (r = 1; r <= NR; ++r) {
                    c[r] = v[i, r] + 0
                    for (k = r; k > 1 && c[k - 1] > c[k]; --k) { t = c[k]; c[k] = c[k - 1]; c[k - 1] = t }
                }
                m = NR % 2 ? c[(NR + 1) / 2] : (c[NR / 2] + c[NR / 2 + 1]) / 2
                printf "%s%.1f", (i > 1 ? " " : ""), m
                delete c
            }
            printf "\n"
        }'
}

# vipsthumbnail over one workload's pictures. W7's HEIC pictures go through
# heif-convert first, one at a time, the PNG deleted before the next.
vips_thumbnail() {
    case $1 in
    W7) echo 'for f in ./*.heic; do heif-convert -q 100 "$f" "$OUT/${f%.*}.png" >/dev/null &&
            vipsthumbnail --size x960 -o "%s.jpg[Q=92]" "$OUT/${f%.*}.png" && rm "$OUT/${f%.*}.png"; done' ;;
    W8) echo 'vipsthumbnail --size x960 -o "$OUT/%s.jpg[Q=92]" ./*.webp' ;;
    W9) echo 'vipsthumbnail --size x960 -o "$OUT/%s.jpg[Q=92]" ./*.jxl' ;;
    W10) echo 'vipsthumbnail --size x960 -o "$OUT/%s.jpg[Q=92]" ./*.tif' ;;
    *) echo 'vipsthumbnail --size x960 -o "$OUT/%s.jpg[Q=92]" ./*.jpg' ;;
    esac
}

# zumo against vipsthumbnail, taking turns, then both scored.
run_reduction() {
    local w=$1 r zumo_runs="" vips_runs=""
    for ((r = 0; r < rounds; ++r)); do
        zumo_runs+="$(measure zumo "$w" "zumo $w")"$'\n'
        vips_runs+="$(measure vips "$w" "$(vips_thumbnail "$w")")"$'\n'
    done
    local zumo_line vips_line scores
    zumo_line=$(printf '%s' "$zumo_runs" | median_columns)
    vips_line=$(printf '%s' "$vips_runs" | median_columns)
    scores=$("$bench" --score "$pictures/$w" "$work/zumo-$w" "$work/vips-$w" 2>/dev/null |
        sed 's/ssim=//g') || scores="n/a n/a"
    echo "zumo $zumo_line ${scores%% *}"
    echo "vipsthumbnail $vips_line ${scores##* }"
}

run_workload() {
    local w=$1
    case $w in
    W7 | W8 | W9 | W10)
        run_reduction "$w"
        return
        ;;
    W1 | W1p)
        run_reduction "$w"
        echo "ImageMagick $(measure im "$w" 'im -resize x960 -quality 92 ./*.jpg')"
        echo "ImageMagick(jpeg:size) $(measure imhint "$w" 'im -define jpeg:size=1440x960 -resize x960 -quality 92 ./*.jpg')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -resize x960 -quality 92 ./*.jpg')"
        return
        ;;
    esac
    echo "zumo $(measure zumo "$w" "zumo $w")"
    case $w in
    W2)
        echo "ImageMagick $(measure im "$w" 'im -format png -rotate 90 ./*.jpg')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -format png -rotate 90 ./*.jpg')"
        echo "libvips $(measure vips "$w" 'each png "vips rot \"\$f\" \"\$o\" d90"')"
        ;;
    W3)
        echo "ImageMagick $(measure im "$w" 'im -format gif ./*.png')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -format gif ./*.png')"
        echo "libvips $(measure vips "$w" 'each gif "vips gifsave \"\$f\" \"\$o\""')"
        ;;
    W4)
        echo "ImageMagick $(measure im "$w" 'im -background black -rotate 30 -resize x480 -quality 92 ./*.jpg')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -background black -rotate 30 -resize x480 -quality 92 ./*.jpg')"
        echo "libvips $(measure vips "$w" 'each jpg "vips rotate \"\$f\" \"\$OUT/t.v\" 30 --background 0 && vips thumbnail \"\$OUT/t.v\" \"\$o[Q=92]\" 100000 --height 480 && rm \"\$OUT/t.v\""')"
        ;;
    W5)
        echo "ImageMagick $(measure im "$w" 'im -format bmp ./*.gif')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -format bmp ./*.gif')"
        echo "libvips $(measure vips "$w" 'each bmp "vips magicksave \"\$f\" \"\$o\""')"
        ;;
    W6)
        echo "ImageMagick $(measure im "$w" 'im -format png -interlace PNG ./*.jpg')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -format png -interlace Line ./*.jpg')"
        echo "libvips $(measure vips "$w" 'each png "vips pngsave \"\$f\" \"\$o\" --interlace"')"
        ;;
    esac
}

printf '%-4s %-22s %9s %9s %9s %8s %8s %9s %9s %9s\n' "" "tool" "ms/pic" "cpu ms" "kB/pic" \
    "peak MB" "SSIM" "zumo time" "zumo cpu" "zumo size"
for w in "${selected[@]}"; do
    if [ ! -d "$pictures/$w" ]; then
        echo "$w   skipped: no pictures in $pictures/$w (W1p needs the Debian package mate-backgrounds, W7-W10 are made from W1p)"
        continue
    fi
    run_workload "$w" | awk -v w="$w" '
        $2 == "n/a" { printf "%-4s %-22s %9s\n", w, $1, "n/a"; next }
        { ssim = NF >= 6 ? $6 : "-" }
        $1 == "zumo" { zt = $2; zc = $3; zs = $4
            printf "%-4s %-22s %9.1f %9.1f %9.1f %8.1f %8s\n", w, $1, $2, $3, $4, $5, ssim; next }
        { printf "%-4s %-22s %9.1f %9.1f %9.1f %8.1f %8s %8.2fx %8.2fx %8.2fx\n", w, $1, $2, $3, $4, $5,
            ssim, zt / $2, zc / $3, zs / $4 }'
done
echo
echo "ms/pic: wall time of the whole run / pictures; cpu ms: user + system time / pictures."
echo "zumo time / cpu / size: zumo's figure divided by the peer's (below 1 is faster / smaller)."
