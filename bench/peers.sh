#!/usr/bin/env bash
# Runs zumo-bench's workloads with ImageMagick, GraphicsMagick and libvips on
# the same pictures and prints zumo's time per picture and output size as a
# ratio to each peer's.
#
#   bench/peers.sh build/bench/bin/zumo-bench [W1 W2 ...]
#
# Everything runs single-threaded. Each peer runs in its batch mode where it
# has one (mogrify, gm mogrify, vipsthumbnail with many files), otherwise one
# process per picture. zumo is timed the same way from outside: one
# zumo-bench process per workload over the whole folder, start-up included.
# Time per picture = wall time of the whole run / number of pictures.
set -euo pipefail

bench=$(realpath "${1:?usage: peers.sh path/to/zumo-bench [W1 W2 ...]}")
shift
selected=("$@")
[ ${#selected[@]} -gt 0 ] || selected=(W1 W2 W3 W4 W5 W6)
pictures=$(dirname "$(dirname "$bench")")/bench-pictures
export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1

install_peers() {
    local missing=()
    [ -x /usr/bin/mogrify ] || missing+=(imagemagick)
    command -v gm >/dev/null || missing+=(graphicsmagick)
    command -v vipsthumbnail >/dev/null || missing+=(libvips-tools)
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
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }

# measure LABEL WORKLOAD 'COMMAND': runs COMMAND (a shell text, so that its
# wildcards match in the picture folder) in the workload's picture folder
# with $OUT set to a fresh output folder; prints "ms_per_picture
# kb_per_picture", or "n/a" when the command failed or missed a picture.
measure() {
    local label=$1 workload=$2 command=$3
    local in="$pictures/$workload"
    export OUT="$work/$label-$workload"
    mkdir -p "$OUT"
    local count
    count=$(find "$in" -maxdepth 1 -type f | wc -l)
    local start end
    start=$(now_ns)
    if ! (cd "$in" && eval "$command") >"$work/log-$label-$workload" 2>&1; then
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
    awk -v t=$((end - start)) -v n="$count" -v b="$bytes" 'BEGIN {printf "%.1f %.1f\n", t / 1e6 / n, b / 1024 / n}'
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

run_workload() {
    local w=$1
    echo "zumo $(measure zumo "$w" 'zumo $w')"
    case $w in
    W1)
        echo "ImageMagick $(measure im "$w" 'im -resize x960 -quality 92 ./*.jpg')"
        echo "ImageMagick(jpeg:size) $(measure imhint "$w" 'im -define jpeg:size=1440x960 -resize x960 -quality 92 ./*.jpg')"
        echo "GraphicsMagick $(measure gm "$w" 'gmm -resize x960 -quality 92 ./*.jpg')"
        echo "vipsthumbnail $(measure vips "$w" 'vipsthumbnail --size x960 -o "$OUT/%s.jpg[Q=92]" ./*.jpg')"
        ;;
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

printf '%-4s %-24s %10s %10s %11s %11s\n' "" "tool" "ms/pic" "kB/pic" "zumo time" "zumo size"
for w in "${selected[@]}"; do
    run_workload "$w" | awk -v w="$w" '
        $2 == "n/a" { printf "%-4s %-24s %10s\n", w, $1, "n/a"; next }
        $1 == "zumo" { zt = $2; zs = $3; printf "%-4s %-24s %10.1f %10.1f\n", w, $1, $2, $3; next }
        { printf "%-4s %-24s %10.1f %10.1f %10.2fx %10.2fx\n", w, $1, $2, $3, zt / $2, zs / $3 }'
done
echo
echo "zumo time / zumo size: zumo's figure divided by the peer's (below 1 is faster / smaller)."
