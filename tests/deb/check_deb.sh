#!/usr/bin/env bash
# The Debian package as a user gets it, after `ninja installer` in a Linux
# build folder:
#   check_deb.sh BUILD_DIR
# lintian finds no error in it; unpacked, the updater runs and tells its
# version; every manual page renders without a warning and names every option
# its program's --help lists; Depends names the package of every shared
# library the programs link. Prints one line per check; exits non-zero when
# any fails.
set -uo pipefail

build=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/../..")
version=$(sed -n 's/^project(qsr470 VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
deb=$build/qsr470-updater_${version}_$(dpkg --print-architecture).deb
root=$build/deb-check
failed=0

fail() {
  echo "  FAIL: $*" >&2
  failed=1
}

[[ -f $deb ]] || { echo "check_deb.sh: no $deb; 'ninja -C $1 installer' makes it" >&2; exit 1; }

# lintian refuses to run as root unless told; the test command may be root.
allow_root=()
(($(id -u) == 0)) && allow_root=(--allow-root)
if lintian "${allow_root[@]}" --fail-on error "$deb" >"$build/lintian.log" 2>&1; then
  echo "  lintian: no error ($(grep -c '^[WI]:' "$build/lintian.log") warnings and notes)"
else
  fail "lintian found errors:"
  cat "$build/lintian.log" >&2
fi

rm -rf "$root"
dpkg -x "$deb" "$root" || fail "dpkg -x could not unpack $deb"
said=$("$root/usr/bin/qsr470-update" --version 2>&1)
[[ $said == "qsr470-update $version" ]] || fail "qsr470-update --version said '$said'"
[[ -d $root/etc/qsr470-updater/keys ]] || fail "no /etc/qsr470-updater/keys"
# A new version needs its changelog entry; nothing else notices a stale one.
entry=$(zcat "$root/usr/share/doc/qsr470-updater/changelog.gz" | head -n 1)
[[ $entry == "qsr470-updater ($version) "* ]] || fail "the changelog's last entry is '$entry', not $version"

programs=(qsr470-update qsr470-gang qsr470-svf2effect qsr470-unitsim)
for program in "${programs[@]}"; do
  binary=$root/usr/bin/$program
  page=$root/usr/share/man/man1/$program.1.gz
  [[ -x $binary ]] || { fail "no /usr/bin/$program"; continue; }
  [[ -f $page ]] || { fail "no manual page for $program"; continue; }
  text=$(LC_ALL=C MANWIDTH=100 man --warnings -P cat -l "$page" 2>"$root/man.err" | col -b)
  [[ -s $root/man.err ]] && fail "man -l $program.1.gz warns: $(head -3 "$root/man.err")"
  missing=()
  for option in $("$binary" --help 2>&1 | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "$option" <<<"$text" || missing+=("$option")
  done
  ((${#missing[@]} == 0)) || fail "the manual page of $program lacks ${missing[*]} from its --help"
done
echo "  unpacked: qsr470-update --version said '$said'; ${#programs[@]} manual pages render and cover --help"

# Depends against the libraries the programs name (NEEDED), each found where
# the loader finds it and traced to its package.
depends=$(dpkg-deb -f "$deb" Depends)
# The package names alone, one a line, without versions or alternatives' bars.
depends_names=$(sed 's/([^)]*)//g; s/[|,]/\n/g' <<<"$depends" | tr -d ' ')
for program in "${programs[@]}"; do
  binary=$root/usr/bin/$program
  for soname in $(objdump -p "$binary" | awk '$1 == "NEEDED" {print $2}'); do
    path=$(ldd "$binary" | awk -v so="$soname" '$1 == so {print $3}')
    [[ -n $path ]] || { fail "$program: $soname not found by the loader"; continue; }
    package=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$(realpath "$path")" 2>/dev/null ||
      dpkg -S "/usr$path" 2>/dev/null)
    package=${package%%:*}
    if [[ -z $package ]]; then
      fail "$program: no package holds $path"
    elif ! grep -Fxq -- "$package" <<<"$depends_names"; then
      fail "$program links $soname ($package), which Depends does not name: $depends"
    fi
  done
done
echo "  Depends: $depends"
exit $failed
