#!/usr/bin/env bash
# Makes the demo media folder: short videos and sounds made with the ffmpeg
# tool and a demo project (demo.pjn) with clips, titles and a score.
# Usage: demo/make-demo.sh FOLDER   (existing media files are kept)
set -euo pipefail
folder=${1:?usage: make-demo.sh FOLDER}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$folder"
make_media() {
  local name=$1; shift
  [ -s "$folder/$name" ] && return 0
  ffmpeg -hide_banner -loglevel error -y "$@" "$folder/$name.partial.${name##*.}"
  mv "$folder/$name.partial.${name##*.}" "$folder/$name"
}
make_media harbour.mp4 -f lavfi -i "testsrc2=size=1280x720:rate=30:duration=8" \
  -f lavfi -i "sine=frequency=330:duration=8" -c:v libx264 -pix_fmt yuv420p -g 60 -c:a aac -shortest
make_media skyline.mp4 -f lavfi -i "smptehdbars=size=1280x720:rate=30:duration=6" \
  -f lavfi -i "sine=frequency=523.25:duration=6" -c:v libx264 -pix_fmt yuv420p -g 60 -c:a aac -shortest
make_media portrait.mp4 -f lavfi -i "testsrc=size=720x1280:rate=30:duration=5" \
  -c:v libx264 -pix_fmt yuv420p -g 60 -an
make_media rhythm.wav -f lavfi -i "aevalsrc=0.4*sin(2*PI*110*t)*exp(-8*mod(t\,0.5)):s=48000:d=10" -ac 2
make_media theme.m4a -f lavfi -i "aevalsrc=0.25*sin(2*PI*220*t)+0.15*sin(2*PI*277.18*t)+0.12*sin(2*PI*329.63*t):s=44100:d=12" -c:a aac
cp "$here/demo.pjn" "$folder/demo.pjn"
printf 'demo.pjn\n' > "$folder/.active-project"
echo "demo media folder: $folder"
