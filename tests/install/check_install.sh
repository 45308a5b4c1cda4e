#!/bin/sh
# check_install.sh CMAKE BUILD_DIR APP_ID VERSION
set -eu
cmake=$1 build=$2 id=$3 version=$4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"
for file in bin/pelk-bouncer share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
            share/icons/hicolor/scalable/apps/$id.svg share/man/man1/pelk-bouncer.1.gz \
            share/doc/pelk-bouncer/copyright share/doc/pelk-bouncer/changelog.gz \
            share/doc/pelk-bouncer/examples/pelk-bouncer.service; do
    [ -f "$file" ] || fail "$file is not installed"
done
for size in 16 22 24 32 48 64 128 256; do
    png=share/icons/hicolor/${size}x$size/apps/$id.png
    # Width and height, big-endian, at bytes 16 to 23 of a PNG.
    set -- $(od -An -tu1 -j16 -N8 "$png")
    [ "$(( $3 * 256 + $4 )) $(( $7 * 256 + $8 ))" = "$size $size" ] || fail "$png is not $size px"
done

# --version needs no display; the changelog and metadata name the same version.
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bin/pelk-bouncer --version)" \
    = "pelk-bouncer $version" ] || fail "pelk-bouncer --version does not say $version"
gzip -dc share/doc/pelk-bouncer/changelog.gz | head -n 1 | grep -q "^pelk-bouncer ($version) " \
    || fail "the changelog's first entry is not $version"
grep -q "<release version=\"$version\"" share/metainfo/$id.metainfo.xml \
    || fail "the metainfo has no release $version"

command -v desktop-file-validate >/dev/null && command -v appstreamcli >/dev/null || {
    echo "SKIP: the files are installed, but desktop-file-validate or appstreamcli is missing"
    exit 77
}
out=$(desktop-file-validate "share/applications/$id.desktop" 2>&1) && [ -z "$out" ] \
    || fail "desktop-file-validate: $out"
appstreamcli validate --no-net "share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
