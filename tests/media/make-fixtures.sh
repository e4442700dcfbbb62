#!/usr/bin/env bash
# Makes the media files the tests decode, with the ffmpeg tool. Pictures whose
# colour encodes their frame number (red = 8 x (n mod 30), green = 64 x (n div
# 30)) let the tests check decoding at a time exactly; tones check the sound.
set -euo pipefail
out=${1:?usage: make-fixtures.sh FOLDER}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$out"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
coded="color=c=black:s=320x240:r=30:d=4,format=gbrp,geq=r='8*mod(N\,30)':g='64*floor(N/30)':b='128'"
ff -f lavfi -i "$coded" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 -bf 2 "$out/coded.mp4"
ff -f lavfi -i "$coded" -c:v libvpx-vp9 -lossless 1 -g 60 "$out/coded.webm"
ff -f lavfi -i "$coded" -c:v mjpeg -q:v 1 -pix_fmt yuvj420p "$out/coded.avi"
# The same pictures in more containers, each with a key picture at 2 s; the
# MPEG streams with groups of 60 pictures, as broadcasts and cameras make them.
ff -f lavfi -i "$coded" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 -bf 2 "$out/coded.mov"
ff -f lavfi -i "$coded" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 -bf 2 "$out/coded.mkv"
ff -f lavfi -i "$coded" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 -bf 2 -x264-params scenecut=0 "$out/coded.m2ts"
ff -f lavfi -i "$coded" -c:v mpeg2video -q:v 1 -g 60 -bf 2 "$out/coded.ts"
ff -f lavfi -i "$coded" -c:v mpeg2video -q:v 1 -g 60 -bf 2 "$out/coded.mpg"
# A raw H.264 stream: no time stamps at all.
ff -f lavfi -i "$coded" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 -bf 2 "$out/coded.h264"
# A 64 x 32 picture whose top-left quarter is red, stored with display
# rotations, and next to each the ffmpeg tool's own upright picture as raw
# B, G, R, X (the tool applies the display matrix).
ff -f lavfi -i "color=c=blue:s=64x32:r=30:d=0.1,drawbox=x=0:y=0:w=32:h=16:color=red:t=fill" \
   -c:v libx264 -qp 0 -pix_fmt yuv420p "$out/corner.mp4"
for angle in 90 180 270; do
  ff -i "$out/corner.mp4" -c copy -metadata:s:v:0 rotate=$angle "$out/corner-$angle.mp4"
done
for name in corner corner-90 corner-180 corner-270; do
  ff -i "$out/$name.mp4" -frames:v 1 -f rawvideo -pix_fmt bgr0 "$out/$name.bgr0"
done
ff -f lavfi -i "$coded" -f lavfi -i "sine=frequency=440:duration=4" -c:v libx264 -qp 0 -pix_fmt yuv420p -g 60 \
   -c:a aac -shortest "$out/coded-with-sound.mp4"
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.25*sin(2*PI*880*t):s=48000:d=2" -c:a pcm_s16le "$out/tone-stereo.wav"
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=3" -c:a pcm_s16le "$out/tone-mono-44k.wav"
# A rising chirp: each stretch of it shows where in the file it was taken.
ff -f lavfi -i "aevalsrc=0.5*sin(2*PI*(200*t+150*t*t))|0.25*sin(2*PI*880*t):s=48000:d=2" -c:a pcm_s16le \
   "$out/chirp-stereo.wav"
ff -f lavfi -i "aevalsrc=0.1|0.2|0.3|0.4|0.5|0.6:s=48000:d=1" -c:a pcm_s16le "$out/six-channels.wav"
ff -f lavfi -i "aevalsrc=0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1|0.1:s=48000:d=0.5" \
   -c:a pcm_s16le "$out/seventeen-channels.wav"
ff -f lavfi -i "aevalsrc=-1:s=48000:d=0.5" -c:a pcm_s16le "$out/full-scale.wav"
ff -f lavfi -i "sine=frequency=440:duration=2:sample_rate=44100" -c:a libmp3lame -b:a 128k "$out/tone.mp3"
ff -f lavfi -i "sine=frequency=440:duration=2:sample_rate=48000" -ac 2 -c:a aac "$out/tone.m4a"
# A sound file whose only picture is an attached cover.
ff -f lavfi -i "color=c=red:s=64x64:d=1" -frames:v 1 "$out/cover.png"
ff -i "$out/tone.mp3" -i "$out/cover.png" -map 0 -map 1 -c copy -disposition:v:0 attached_pic "$out/cover.mp3"
# A tone with a half-second hole in its time stamps from 0.5 s to 1 s.
ff -f lavfi -i "sine=frequency=440:duration=1:sample_rate=48000" -af "asetpts='PTS+if(gte(T\,0.5)\,0.5/TB\,0)'" \
   -c:a pcm_s16le "$out/gap.mka"
ff -f lavfi -i "sine=frequency=220:duration=300:sample_rate=48000" -ac 2 -c:a aac -b:a 96k "$out/five-minutes.m4a"
ff -f lavfi -i "color=c=gray:s=5000x2000:r=1:d=1" -c:v mjpeg -q:v 5 "$out/too-wide.avi"
ff -f lavfi -i "color=c=gray:s=4096x4096:r=1:d=1" -c:v mjpeg -q:v 5 "$out/largest.avi"
# Damaged and wrong inputs.
size=$(stat -c %s "$out/coded-with-sound.mp4"); head -c $((size / 2)) "$out/coded-with-sound.mp4" > "$out/truncated.mp4"
head -c 65536 /dev/urandom > "$out/random.mp4"
: > "$out/empty.mp4"
# Damaged files kept in the source tree (tests/media/bad), each named after what it does to a decoder.
mkdir -p "$out/bad"
cp "$here"/bad/* "$out/bad/"
touch "$out/stamp"
