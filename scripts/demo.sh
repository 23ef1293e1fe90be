#!/usr/bin/env bash
# The main job: installs what the builds need, builds everything, then builds
# an example patch with krnpatch and installs it into an example installation
# in a private Wine prefix, headless under Xvfb, with the test driver answering
# Yes. Prints the outcome and saves a screenshot of the progress dialog.
#
#   bash scripts/demo.sh             everything
#   bash scripts/demo.sh --no-build  reuse the builds already there
# KRN_NATIVE, KRN_WIN64, KRN_WIN32 and KRN_WIN32_TESTS name other build folders.
# Where 32-bit Wine runs (scripts/install-deps.sh sets it up), the patch
# installed is the one to ship, on the 32-bit update.exe, driven by the 32-bit
# test driver; elsewhere the same patch on the 64-bit test twin.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${1:-}" != "--inside-x" ]; then
  if [ "${1:-}" != "--no-build" ]; then
    bash scripts/install-deps.sh
    bash scripts/build.sh
  fi
  # One X server for the whole run; the screenshot is taken from it.
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --inside-x
fi

native=$root/${KRN_NATIVE:-build/native}
win64=$root/${KRN_WIN64:-build/win64}
win32=$root/${KRN_WIN32:-build/win32}
krnpatch=$native/tools/krnpatch
twin=$win64/update/update.exe
shipping=$win32/update/update.exe
driver32=$root/${KRN_WIN32_TESTS:-build/win32-tests}/tests/e2e/uidriver.exe
demo=$root/build/demo

# The driver runs programs of its own width (its hook and registry view).
if [ -e "$shipping" ] && [ -e "$driver32" ] && [ -e "${driver32%/*}/uihook.dll" ] &&
  timeout 60 /usr/lib/wine/wine --version >/dev/null 2>&1; then
  width=32 driver=$driver32
else
  width=64 driver=$win64/tests/e2e/uidriver.exe
fi

missing=0
for f in "$krnpatch" "$twin" "$driver" "${driver%/*}/uihook.dll"; do
  [ -e "$f" ] || { echo "missing: $f (build it first)" >&2; missing=1; }
done
[ $missing -eq 0 ] || exit 1

export WINEPREFIX=$demo/wineprefix WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES=mscoree,mshtml=
wine=/usr/lib/wine/wine64
win() { echo "Z:${1//\//\\}"; } # a Unix path as Windows programs see it
section() { printf '\n== %s ==\n' "$1"; }

mkdir -p "$demo"
rm -f "$demo"/*.exe "$demo"/progress.png

section "Building the example patch"
# The example files, and a large generated one so that the progress dialog
# stays up long enough to be seen.
files=$demo/patch-files
rm -rf "$files"
cp -r examples/patch-files "$files"
mkdir -p "$files/Movie"
python3 - "$files/Movie/opening.mpg" <<'PY'
import random, sys
block = random.Random(1).randbytes(1 << 20)
with open(sys.argv[1], "wb") as f:
    for i in range(96):
        f.write(bytes([i]) + block[1:])
PY
echo "files:  examples/patch-files and a generated 96 MiB Movie/opening.mpg"
echo "title:  $(cat examples/title.txt)"
if [ -e "$shipping" ]; then
  "$krnpatch" build --stub "$shipping" --title-file examples/title.txt \
    --from "$files" --out "$demo/quillmere-patch-1.02.exe"
  echo "        ^ the patch to ship: its stub is the 32-bit build/win32/update/update.exe"
  "$krnpatch" verify "$demo/quillmere-patch-1.02.exe" | sed 's/^/        verify: /'
else
  echo "(no $shipping: the patch to ship is not built)"
fi
twin_flag=()
if [ $width = 32 ]; then
  patch=$demo/quillmere-patch-1.02.exe
  echo "        32-bit Wine runs here: the demo installs this patch"
else
  twin_flag=(--allow-test-twin)
  "$krnpatch" build "${twin_flag[@]}" --stub "$twin" --title-file examples/title.txt \
    --from "$files" --out "$demo/quillmere-patch-1.02-win64.exe"
  patch=$demo/quillmere-patch-1.02-win64.exe
  echo "        ^ the same patch on the 64-bit test twin of update.exe: this machine's Wine"
  echo "          runs no 32-bit programs (or build/win32-tests is not built), so the demo"
  echo "          installs this one"
fi
echo
"$krnpatch" list "${twin_flag[@]}" "$patch"

section "Setting up the example installation"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix build/demo/wineprefix (once; about a minute)"
  "$wine" wineboot -i >/dev/null 2>&1
  wineserver -w
elif [ $width = 32 ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "adding the 32-bit half to build/demo/wineprefix (made before wine32 was installed)"
  "$wine" wineboot -u >/dev/null 2>&1
  wineserver -w
fi
install_win='C:\Games\クイルミア'
install=$WINEPREFIX/drive_c/Games/クイルミア
rm -rf "$install"
mkdir -p "$install/Archive" "$install/Movie"
echo "system archive 1.01" >"$install/system.arc"
echo "data archive 01000 1.01" >"$install/Archive/data01000.arc"
echo "data archive 01001 1.01" >"$install/Archive/data01001.arc"
echo "game 1.01" >"$install/Quillmere.exe"
# The installed version list: every file with its digest, and a record of a
# file that an earlier version removed (the update prunes it).
records=()
for f in Quillmere.exe system.arc Archive/data01000.arc Archive/data01001.arc; do
  records+=("$("$krnpatch" digest "$install/$f" | cut -d' ' -f1) ${f//\//\\}")
done
records+=("0000000000000000 Archive\\data00999.arc")
python3 - "$install/KRN.hvl" "${records[@]}" <<'PY'
import struct, sys
records = sys.argv[2:]
with open(sys.argv[1], "wb") as f:
    f.write(b"BHV_V2__" + struct.pack("<II", 0, len(records)))
    for record in records:
        digest, path = record.split(" ", 1)
        f.write(path.encode("cp932").ljust(248, b"\0") + bytes.fromhex(digest))
PY
printf 'Quillmere.exe\r\nsystem.arc\r\nArchive\\data01000.arc\r\nArchive\\data01001.arc\r\n$Archive\r\n' \
  >"$install/uninst.lst"
"$wine" "$driver" set-folder "$install_win" >/dev/null
echo "install folder: $install_win  (registry value InstalledFolder set)"
echo "installed version list before:"
"$krnpatch" show-list "$install/KRN.hvl" | sed 's/^/  /'
before=$(cd "$install" && find . -type f ! -name KRN.hvl ! -name uninst.lst | sed 's|^\./||' | sort)
declare -A old
for f in $before; do old[$f]=$("$krnpatch" digest "$install/$f" | cut -d' ' -f1); done

section "Running the patch (test driver answers Yes)"
cp "$patch" "$WINEPREFIX/drive_c/quillmere-patch-1.02.exe"
if [ $width = 32 ]; then
  echo "program: the patch to ship, on the 32-bit build/win32/update/update.exe (PE32, i386)"
else
  echo "program: the patch on the 64-bit test twin build/win64/update/update.exe (PE32+, x64)"
fi
exit_line=""
while IFS= read -r line; do
  line=${line%$'\r'}
  echo "  $line"
  case $line in
    paused)
      # The driver holds the program still with its progress dialog up.
      xwd -root -silent | convert xwd:- -trim +repage "$demo/progress.png"
      echo "  (screenshot of the progress dialog: build/demo/progress.png)"
      ;;
    exit=*) exit_line=$line ;;
  esac
done < <("$wine" "$driver" run 'C:\quillmere-patch-1.02.exe' --answer yes --pause-ms 2000 \
           --timeout-ms 120000 2>/dev/null)

section "Outcome"
code=${exit_line#exit=}
case $code in
  0x00000000) meaning="UPDATE_OK: every file installed, lists updated" ;;
  0x80000001) meaning="UPDATE_E_PACKAGE: the package is damaged" ;;
  0x80000004) meaning="UPDATE_E_FAILED: the installation could not be written" ;;
  *) meaning="see patch/result_codes.h" ;;
esac
echo "exit status of update.exe: ${code:-none} ($meaning)"
echo "files:"
for f in $(cd "$install" && find . -type f ! -name KRN.hvl ! -name uninst.lst | sed 's|^\./||' | sort); do
  new=$("$krnpatch" digest "$install/$f" | cut -d' ' -f1)
  if [ -z "${old[$f]:-}" ]; then
    state="new       $new"
  elif [ "${old[$f]}" = "$new" ]; then
    state="unchanged"
  else
    state="replaced  ${old[$f]} -> $new"
  fi
  printf '  %-24s %s\n' "$f" "$state"
done
echo "installed version list after:"
"$krnpatch" show-list "$install/KRN.hvl" | sed 's/^/  /'
echo "uninst.lst after:"
tr -d '\0' <"$install/uninst.lst" | sed 's/^/  /'
echo "the installation as a support person checks it (krnpatch check):"
check_status=0
"$krnpatch" check "$install" >"$demo/check.txt" || check_status=$?
sed 's/^/  /' "$demo/check.txt"
[ -e "$demo/progress.png" ] && echo "screenshot: build/demo/progress.png"
"$wine" "$driver" clear-folder >/dev/null 2>&1 || true
wineserver -k 2>/dev/null || true
[ "$code" = "0x00000000" ] && [ "$check_status" = 0 ]
