# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=bash disable=SC2034
# Sourced by scripts/cross-check and scripts/package --arch: what building for the
# ARM boards with Debian's cross compilers takes, shared by both.
#   cross_install PACKAGE...   install the missing ones for this run only
#   cross_uninstall            purge exactly what cross_install added (not with keep=1)
#   cross_build_depends        the Build-Depends of debian/control, one name a line
#   cross_target_packages ...  the target's libraries a sysroot holds
#   make_sysroot ARCH DIR PACKAGE...
#
# The target's libraries are not installed: apt, with a state of its own in the
# build directory (DIR/apt) and the machine's sources, resolves them for the
# target architecture, downloads them, and dpkg-deb unpacks them into DIR/sysroot.
# The compiler takes their headers and libraries from there, and qemu the
# target's loader and C library (-L, QEMU_LD_PREFIX). So no foreign architecture
# is added, the dpkg database is not touched, and no native package has to match
# a target's version (multiarch would need, for example, the same liblzma5 on
# both, and Debian's security archive builds no armel).

declare -A triplet=([arm64]=aarch64-linux-gnu [armhf]=arm-linux-gnueabihf [armel]=arm-linux-gnueabi)
declare -A qemu=([arm64]=aarch64 [armhf]=arm [armel]=arm)

sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Other users of apt on the machine: wait for their lock rather than fail.
apt_get() { $sudo apt-get -o DPkg::Lock::Timeout=900 "$@"; }

installed() { dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' 2>/dev/null | awk '$1 ~ /^ii/ {print $2}' | sort; }
versions() { dpkg-query -W -f='${binary:Package} ${Version}\n' 2>/dev/null | sort; }

versions_before=$(versions)
keep=${keep:-0}
ours=""  # what this run's installs added, taken right around them (other users of apt are not ours)

# cross_install PACKAGE...: installs those that are missing, unless that would
# remove an installed package; what it added is purged by cross_uninstall.
cross_install() {
  local missing=() p removed before status=0
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "== installing ${missing[*]}"
  apt_get update -qq
  removed=$(apt-get install -s --no-install-recommends "${missing[@]}" 2>/dev/null | awk '/^Remv / {print $2}')
  if [ -n "$removed" ]; then
    echo "${0##*/}: installing would remove $(echo $removed); nothing installed" >&2
    return 1
  fi
  before=$(installed)
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=1
  ours=$(printf '%s\n%s\n' "$ours" "$(comm -13 <(echo "$before") <(installed))" | sed '/^$/d' | sort -u)
  [ "$status" -eq 0 ] || echo "${0##*/}: installing failed" >&2
  return $status
}

# cross_uninstall: removes exactly what cross_install installed, and only when
# apt would remove nothing else; says which installed packages it upgraded.
cross_uninstall() {
  local native new plan others upgraded
  native=$(dpkg --print-architecture)
  norm() { sed -e "s/:$native\$//" -e 's/:all$//' | sort -u; }
  new=$(comm -12 <(echo "$ours" | sort) <(installed))
  if [ "$keep" -eq 1 ]; then
    [ -n "$new" ] && echo "== kept (--keep): $(echo $new)"
  elif [ -n "$new" ]; then
    plan=$(apt-get -s purge $new 2>/dev/null | awk '/^(Purg|Remv) / {print $2}' | norm)
    others=$(comm -23 <(echo "$plan") <(echo "$new" | norm))
    if [ -n "$others" ]; then
      echo "== NOT removing what this run added: apt would also remove $(echo $others)" >&2
      echo "   kept: $(echo $new)" >&2
    else
      echo "== removing what this run installed ($(echo "$new" | wc -l) packages)"
      apt_get purge -y -qq $new >/dev/null
    fi
  fi
  upgraded=$(join <(echo "$versions_before") <(versions) | awk '$2 != $3 {print $1}')
  [ -n "$upgraded" ] && echo "== upgraded by this run (they stay upgraded): $(echo $upgraded)"
  return 0
}

# The names in Build-Depends and Build-Depends-Arch of debian/control, without
# versions, architecture lists or build profiles (the first of alternatives).
cross_build_depends() {
  awk '/^Build-Depends(-Arch)?:/ {on = 1; sub(/^[^:]*:/, ""); print; next}
       /^[^ \t]/ {on = 0}
       on {print}' debian/control |
    tr ',' '\n' | sed -e 's/|.*//' -e 's/[[(<].*//' | awk 'NF {print $1}'
}

# cross_target_packages EXTRA...: what a sysroot holds: the libraries the build
# depends on (the -dev packages of Build-Depends, so debian/control is the one
# place that names them), the runtime the binaries need on the board and under
# qemu (libatomic1: armel has no 64-bit atomic instructions), and EXTRA.
cross_target_packages() {
  { cross_build_depends | grep -- '-dev$'
    printf '%s\n' libc6 libgcc-s1 libstdc++6 libatomic1 "$@"; } | awk '!seen[$0]++'
}

# make_sysroot ARCH DIR PACKAGE...: unpacks the packages and their dependencies
# into DIR/sysroot. DIR/sysroot/DEBIAN holds their symbols and shlibs files, so
# dpkg-shlibdeps -S<sysroot> takes the dependencies of a binary linked against
# them from there, as from a package being built.
make_sysroot() {
  local arch=$1 apt="$PWD/$2/apt" root="$PWD/$2/sysroot" wanted link deb control
  shift 2
  local opts=(-o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
              -o "Dir::State=$apt" -o "Dir::State::Lists=$apt/lists" -o "Dir::State::status=$apt/status"
              -o "Dir::Cache=$apt" -o "Dir::Cache::archives=$apt/archives" -o "APT::Sandbox::User=$(id -un)")
  mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  : > "$apt/status"  # nothing is installed there: apt resolves the whole closure
  apt-get "${opts[@]}" -qq update || return 1
  wanted=$(apt-get "${opts[@]}" -s install --no-install-recommends "$@" |
           awk '/^Inst / {sub(/^\(/, "", $3); print $2 "=" $3}' | sort) || return 1
  [ -n "$wanted" ] || return 1
  if [ -f "$root/.packages" ] && [ "$(cat "$root/.packages")" = "$wanted" ]; then
    echo "   sysroot $root is current ($(echo "$wanted" | wc -l) packages)"
    return 0
  fi
  rm -rf "$root" "$apt/archives"/*.deb
  mkdir -p "$root/DEBIAN"
  # shellcheck disable=SC2086
  (cd "$apt/archives" && apt-get "${opts[@]}" -qq download $wanted) || return 1
  for deb in "$apt/archives"/*.deb; do
    dpkg-deb -x "$deb" "$root" || return 1
    for control in symbols shlibs; do
      dpkg-deb --info "$deb" "$control" >>"$root/DEBIAN/$control" 2>/dev/null || true
    done
  done
  # Debian's absolute links (/lib/ld-linux-aarch64.so.1, libfoo.so in /usr/lib)
  # must stay inside the sysroot.
  find "$root" -type l -lname '/*' | while read -r link; do
    ln -sfnr "$root$(readlink "$link")" "$link"
  done
  echo "$wanted" > "$root/.packages"
  echo "   sysroot $root: $(echo "$wanted" | wc -l) packages of $arch unpacked"
}
