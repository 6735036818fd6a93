#!/usr/bin/env bash
# The Debian packages as a user gets them: made by CPack from the built tree,
# installed into a private root (dpkg --root, no change to the system), then used
# from there: a host project built against libkav-t8-dev, the installed kav
# and Python module run, and lintian with no error.
#   run.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR VERSION
# CPACK and CMAKE name the build's cpack and cmake (default: from PATH).
set -euo pipefail
build=$1 consumer=$2 work=$3 version=$4
rm -rf "$work"
mkdir -p "$work/root"

"${CPACK:-cpack}" --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "cpack failed" >&2; exit 1; }
mapfile -t debs < <(find "$work/cpack" -maxdepth 1 -name '*.deb' | sort)
printf '%s\n' "${debs[@]##*/}"
for name in libkav-t8-0 libkav-t8-dev kav-t8-tools python3-kav-t8 kav-t8-description; do
  printf '%s\n' "${debs[@]##*/}" | grep -q "^${name}_${version}_" || { echo "no package $name $version" >&2; exit 1; }
done
# Installed by dpkg into a root of their own (its own package database; the
# system's packages they depend on are not in it, hence --force-depends):
# dpkg refuses two packages that ship the same file, and runs their scripts.
mkdir -p "$work/root/var/lib/dpkg/updates" "$work/root/var/lib/dpkg/info"
touch "$work/root/var/lib/dpkg/status"
dpkg --root="$work/root" --log=/dev/null --force-depends --force-script-chrootless --force-not-root \
  -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; echo "dpkg -i failed" >&2; exit 1; }

usr=$work/root/usr
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
export LD_LIBRARY_PATH=$usr/lib/$multiarch

# The host project against the installed development files.
"${CMAKE:-cmake}" -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
"${CMAKE:-cmake}" --build "$work/consumer" >/dev/null
"$work/consumer/consumer" | grep -q "consumer ok"
got=$(PKG_CONFIG_PATH=$usr/lib/$multiarch/pkgconfig pkg-config --modversion kav_t8)
[[ $got == "$version" ]] || { echo "pkg-config names $got, not $version" >&2; exit 1; }

# The installed programs and module, not the build tree's.
got=$("$usr/bin/kav" --version)
[[ $got == "kav $version" ]] || { echo "kav --version printed '$got'" >&2; exit 1; }
got=$(env -u PYTHONPATH PYTHONPATH="$usr/lib/python3/dist-packages" PYTHONNOUSERSITE=1 \
  /usr/bin/python3 -c "import kav_t8; print(kav_t8.__file__, kav_t8.__version__)")
[[ $got == "$usr/lib/python3/dist-packages/kav_t8/__init__.py $version" ]] ||
  { echo "python3 imported: $got" >&2; exit 1; }

# lintian exits non-zero on errors; warnings are listed.
lintian --tag-display-limit 0 "${debs[@]}"
echo "packages ok"
