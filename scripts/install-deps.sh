#!/usr/bin/env bash
# Installs every Debian package the builds, the Wine bench and the demo need,
# and makes 32-bit Windows programs run under Wine (see run32_ready below).
# Idempotent: a second run finds everything present and only checks.
set -euo pipefail

pkgs=(
  build-essential cmake ninja-build git python3 file
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  googletest libgtest-dev libbenchmark-dev
  wine wine64 xvfb xauth x11-apps imagemagick fonts-ipafont-gothic
  locales osslsigncode openssl
  clang-14 libclang-rt-14-dev libssl-dev
)

die() {
  echo "install-deps: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${pkgs[@]}"; do
  installed "$p" || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine reads the ANSI code page from LANG; 932 needs the Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  $SUDO sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# --- 32-bit programs --------------------------------------------------------
# The deliverables are 32-bit. A 64-bit prefix made once wine32 is installed
# has syswow64, and wine64 hands a 32-bit program to the i386 loader
# /usr/lib/wine/wine. That loader runs on the kernel when the kernel runs i386
# code; where it cannot, qemu-i386 registered with binfmt_misc runs it.
# Debian 12's own qemu (7.2) cannot: every 32-bit Wine process dies with
# "failed to map the shared user data". The next release's qemu (10) can.
loader32=/usr/lib/wine/wine
qemu_dir=/opt/krn-qemu
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/krn-qemu-i386
next_release() { case $1 in bookworm) echo trixie ;; *) return 1 ;; esac; }

if ! installed wine32:i386; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  apt-cache show wine32:i386 >/dev/null 2>&1 ||
    die "no i386 packages: the configured Debian source offers no wine32:i386"
  # Others use wine64 on this machine: take wine32 only if nothing goes away.
  removals=$(apt-get -s install --no-install-recommends wine32:i386 | grep '^Remv' || true)
  [ -z "$removals" ] || die "installing wine32:i386 would remove packages:"$'\n'"$removals"
  $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
fi

loader_runs() { timeout 60 "$loader32" --version >/dev/null 2>&1; }

# The kernel's own answer, with our emulator entry set aside for the probe.
native_runs() {
  local ok=1
  [ -e "$entry" ] && echo 0 | $SUDO tee "$entry" >/dev/null
  loader_runs && ok=0
  [ -e "$entry" ] && echo 1 | $SUDO tee "$entry" >/dev/null
  return $ok
}

# The URI and keyring of the configured Debian source that serves this
# release, from one-line or deb822 files; the mirror is the machine's own.
debian_source() {
  local codename=$1 f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$f" ] || continue
    awk -v want="$codename" '$1 == "deb" {
      signed = ""; i = 2
      if ($2 ~ /^\[/) { for (; i <= NF; i++) { if ($i ~ /signed-by=/) { signed = $i; sub(/.*signed-by=/, "", signed); sub(/\]$/, "", signed) } if ($i ~ /\]$/) break } i++ }
      if ($(i + 1) == want) { print $i, signed; exit }
    }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    awk -v want="$codename" 'BEGIN { RS = ""; FS = "\n" } {
      types = uris = suites = signed = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^#/ || !match($i, /^[A-Za-z-]+:/)) continue
        key = tolower(substr($i, 1, RLENGTH - 1)); value = substr($i, RLENGTH + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (key == "types") types = value; else if (key == "uris") uris = value
        else if (key == "suites") suites = value; else if (key == "signed-by") signed = value
      }
      if ((" " types " ") ~ / deb / && (" " suites " ") ~ (" " want " ")) { split(uris, u, " "); print u[1], signed; exit }
    }' "$f"
  done
}

# qemu-user of the next release, fetched through a private apt state: a
# source made from this machine's Debian source with only the suite changed.
# It never enters the system's apt configuration, so no install (ours or a
# concurrent one) can take anything from that release; deleting the folder
# removes it. Only qemu-i386 is kept.
fetch_qemu() {
  local codename next uri signed tmp version
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  next=$(next_release "$codename") || die "no known next Debian release after '$codename' for qemu-user"
  read -r uri signed < <(debian_source "$codename" | head -n1) || true
  [ -n "${uri:-}" ] || die "no Debian source for '$codename' in /etc/apt/sources.list{,.d}"
  tmp=$(mktemp -d /tmp/krn-qemu.XXXXXX)
  mkdir -p "$tmp/lists/partial" "$tmp/parts"
  {
    echo "Types: deb"
    echo "URIs: $uri"
    echo "Suites: $next"
    echo "Components: main"
    echo "Architectures: amd64"
    [ -z "$signed" ] || echo "Signed-By: $signed"
  } >"$tmp/next.sources"
  local apt=(-o "Dir::Etc::SourceList=$tmp/next.sources" -o "Dir::Etc::SourceParts=$tmp/parts"
    -o "Dir::State::Lists=$tmp/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
    -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
  (
    cd "$tmp"
    apt-get "${apt[@]}" -qq update >/dev/null &&
      apt-get "${apt[@]}" -qq download qemu-user >/dev/null
  ) || {
    rm -rf "$tmp"
    die "could not fetch qemu-user from '$next' at $uri"
  }
  version=$(dpkg-deb -f "$tmp"/qemu-user_*.deb Version)
  if ! dpkg --compare-versions "$version" ge 1:10; then
    rm -rf "$tmp"
    die "qemu-user $version of '$next' is too old (10 or later runs 32-bit Wine)"
  fi
  dpkg-deb -x "$tmp"/qemu-user_*.deb "$tmp/x"
  $SUDO mkdir -p "$qemu_dir"
  $SUDO install -m 755 "$tmp/x/usr/bin/qemu-i386" "$qemu_dir/qemu-i386"
  rm -rf "$tmp"
}

# i386 ELF executables and shared objects (the mask lets ET_EXEC and ET_DYN
# through). F: the kernel opens the emulator now, so it works in any mount
# namespace and chroot.
register_qemu() {
  if ! mountpoint -q "$binfmt"; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      die "binfmt_misc is not mounted at $binfmt and cannot be mounted (needed to run qemu-i386)"
  fi
  if [ -e "$entry" ] && grep -qx "interpreter $qemu_dir/qemu-i386" "$entry" && grep -qx enabled "$entry"; then
    return
  fi
  [ ! -e "$entry" ] || echo -1 | $SUDO tee "$entry" >/dev/null
  printf '%s' ':krn-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu_dir/qemu-i386"':F' |
    $SUDO tee "$binfmt/register" >/dev/null ||
    die "binfmt_misc refused the qemu-i386 entry"
}

# KRN_I386=qemu takes the emulator even where the kernel could run i386.
if [ "${KRN_I386:-}" != qemu ] && native_runs; then
  # Our entry would only slow the kernel's own i386 code down.
  [ ! -e "$entry" ] || echo -1 | $SUDO tee "$entry" >/dev/null
  route="the kernel runs i386 code"
else
  if [ ! -x "$qemu_dir/qemu-i386" ] || ! "$qemu_dir/qemu-i386" --version | grep -q 'version \(1[0-9]\|[2-9][0-9]\)\.'; then
    fetch_qemu
  fi
  register_qemu
  route="qemu-i386 $("$qemu_dir/qemu-i386" --version | head -n1 | awk '{print $3}') through binfmt_misc"
fi
loader_runs || die "32-bit Wine ($loader32) does not start ($route)"
echo "dependencies ready; 32-bit programs: $route"
