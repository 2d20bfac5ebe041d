#!/bin/sh
# Installer sizes and pack times: saverpack at each level against makensis
# with zlib and lzma, for the same four files.
#
#   bench/compare-sizes.sh SAVERPACK STUB SAVER_PE [WORKDIR]
#
# SAVERPACK  the native tool (e.g. build/native/saverpack)
# STUB       the installer executable (e.g. build/win32/installer.exe)
# SAVER_PE   a real PE of the win32 build, packed as the saver
# The other files are made here, the same on every run: a large data file
# (the first 6 MB of a tar of the C++ library headers), a WAV (8 s of a
# synthesised chord, 22,050 Hz, 16-bit mono) and a 640x480 24-bit bitmap
# (ImageMagick's plasma fractal, seed 1).
set -eu
[ $# -ge 3 ] || { sed -n 4,13p "$0"; exit 2; }
tool=$(realpath "$1"); stub=$(realpath "$2"); saver=$(realpath "$3")
work=${4:-/tmp/saverpack-compare}
mkdir -p "$work"
cd "$work"

cp "$saver" saver.scr
tar -cf - -C /usr/include c++/12 2>/dev/null | head -c 6000000 > data.dat
python3 - <<'PY'
import math, struct, wave
rate, seconds = 22050, 8
frames = bytearray()
for i in range(rate * seconds):
    t = i / rate
    envelope = math.exp(-3 * (t % 1.0))
    v = sum(math.sin(2 * math.pi * f * t) for f in (220.0, 277.18, 329.63)) / 3
    frames += struct.pack('<h', int(12000 * envelope * v))
with wave.open('tune.wav', 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
PY
convert -seed 1 -size 640x480 plasma:fractal BMP3:sky.bmp

size() { stat -c %s "$1"; }
now() { date +%s.%N; }
row() {  # label, file, start, end
    awk -v l="$1" -v b="$(size "$2")" -v n="$inputs" -v s="$3" -v e="$4" \
        'BEGIN { printf "%-28s %12d %7.1f%% %9.2f\n", l, b, 100 * b / n, e - s }'
}
inputs=$(( $(size saver.scr) + $(size data.dat) + $(size tune.wav) + $(size sky.bmp) ))
echo "files: saver.scr $(size saver.scr), data.dat $(size data.dat), tune.wav $(size tune.wav), sky.bmp $(size sky.bmp); total $inputs bytes"
echo "stub: $stub ($(size "$stub") bytes)"
echo
printf '%-28s %12s %8s %9s\n' "installer" "bytes" "of files" "seconds"

for level in store fast default best; do
    if [ $level = store ]; then opts=--store; else opts="--level $level"; fi
    start=$(now)
    "$tool" pack --stub "$stub" --saver saver.scr --data data.dat --file tune.wav --file sky.bmp \
        --title "Clouds" --first-number 15 $opts --quiet -o "Clouds-$level.exe"
    end=$(now)
    row "saverpack $level" "Clouds-$level.exe" "$start" "$end"
done

cat > clouds.nsi <<'NSI'
Name "Clouds"
OutFile "${OUT}"
SetCompressor ${COMPRESSOR}
RequestExecutionLevel admin
Section
  SetOutPath "$WINDIR"
  File "/oname=CLOUDS.SCR" "saver.scr"
  SetOutPath "$WINDIR\TORVANEK\LUMAVERN\Clouds"
  File "/oname=Clouds.DAT" "data.dat"
  File "/oname=FILE0015.wav" "tune.wav"
  File "/oname=FILE0016.bmp" "sky.bmp"
  WriteINIStr "$WINDIR\system.ini" "boot" "SCRNSAVE.EXE" "$WINDIR\CLOUDS.SCR"
SectionEnd
NSI
for compressor in zlib bzip2 lzma "/SOLID lzma"; do
    name=nsis-$(echo "$compressor" | tr -d '/' | tr ' ' '-').exe
    start=$(now)
    makensis -V1 "-DOUT=$name" "-DCOMPRESSOR=$compressor" clouds.nsi
    end=$(now)
    row "makensis $compressor" "$name" "$start" "$end"
done
