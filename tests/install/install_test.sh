#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop and a
# user find there; packs a .deb and checks its names when cpack is at hand.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/iwinstall.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/inboxwarden bin/inboxwarden-scan share/applications/inboxwarden.desktop \
         share/icons/hicolor/scalable/apps/inboxwarden.svg \
         share/metainfo/example.inboxwarden.InboxWarden.metainfo.xml; do
    [ -s "$prefix/$f" ] || fail "missing $f"
done
for size in 16 24 32 48 64 128 256; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/inboxwarden.png
    [ -s "$png" ] || fail "missing ${size}px icon"
    # The PNG header holds width and height: they must match the folder.
    dims=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ')
    want=$(printf ' 0 0 %d %d 0 0 %d %d' $((size / 256)) $((size % 256)) $((size / 256)) $((size % 256)))
    [ "$dims" = "$want" ] || fail "${size}px icon is $dims"
done
for f in lib/systemd/user/inboxwarden-scan.service lib/systemd/user/inboxwarden-scan.timer \
         share/man/man1/inboxwarden.1.gz share/man/man1/inboxwarden-scan.1.gz \
         share/doc/inboxwarden/copyright share/doc/inboxwarden/changelog.gz; do
    [ -s "$prefix/$f" ] || fail "missing $f"
done
grep -qx "ExecStart=$prefix/bin/inboxwarden-scan" "$prefix/lib/systemd/user/inboxwarden-scan.service" ||
    fail "the service does not start the installed scanner"
# Every option of the scanner is in its manual page.
for option in --loop --readonly --full --help; do
    zcat "$prefix/share/man/man1/inboxwarden-scan.1.gz" | sed 's/\\-/-/g' | grep -q -- "$option" ||
        fail "manual page lacks $option"
done
if command -v systemd-analyze >/dev/null; then
    mkdir -p "$work/run"
    XDG_RUNTIME_DIR=$work/run MANPATH=$prefix/share/man systemd-analyze --user verify \
        "$prefix/lib/systemd/user/inboxwarden-scan.service" \
        "$prefix/lib/systemd/user/inboxwarden-scan.timer" >"$work/verify.out" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$work/verify.out")"
fi
[ -x "$prefix/bin/inboxwarden" ] || fail "inboxwarden not executable"
grep -qx 'Exec=inboxwarden' "$prefix/share/applications/inboxwarden.desktop" || fail "Exec line"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/inboxwarden.desktop" || fail "desktop entry"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net \
        "$prefix/share/metainfo/example.inboxwarden.InboxWarden.metainfo.xml" >/dev/null ||
        fail "metainfo"
fi

# Installed, the user's folders hold settings and data.
export HOME=$work/home XDG_RUNTIME_DIR=$work
unset INBOXWARDEN_HOME XDG_CONFIG_HOME XDG_DATA_HOME
mkdir -p "$HOME"
timeout 60 "$prefix/bin/inboxwarden-scan" >"$work/out" 2>&1 || fail "scan: $(cat "$work/out")"
[ -f "$HOME/.config/InboxWarden/InboxWarden.log" ] || fail "no log in ~/.config/InboxWarden"
[ -f "$HOME/.local/share/InboxWarden/InboxWarden.mdb" ] || fail "no database in ~/.local/share"
[ ! -e "$prefix/bin/InboxWarden.mdb" ] || fail "database beside the program"

# XDG variables move both folders.
XDG_CONFIG_HOME=$work/cfg XDG_DATA_HOME=$work/data timeout 60 "$prefix/bin/inboxwarden-scan" \
    >"$work/out" 2>&1 || fail "scan with XDG folders: $(cat "$work/out")"
[ -f "$work/cfg/InboxWarden/InboxWarden.log" ] || fail "XDG_CONFIG_HOME not used"
[ -f "$work/data/InboxWarden/InboxWarden.mdb" ] || fail "XDG_DATA_HOME not used"

# A settings file beside the program keeps everything in the program folder.
printf '[General]\n' >"$prefix/bin/InboxWarden.ini"
timeout 60 "$prefix/bin/inboxwarden-scan" >"$work/out" 2>&1 || fail "portable scan"
[ -f "$prefix/bin/InboxWarden.mdb" ] || fail "portable database not in the program folder"
rm "$prefix/bin/InboxWarden.ini"

# INBOXWARDEN_HOME wins over both.
mkdir -p "$work/iwhome"
INBOXWARDEN_HOME=$work/iwhome timeout 60 "$prefix/bin/inboxwarden-scan" >"$work/out" 2>&1 ||
    fail "scan with INBOXWARDEN_HOME"
[ -f "$work/iwhome/InboxWarden.mdb" ] || fail "INBOXWARDEN_HOME not used"

# The package: Debian names in its dependencies, the same files inside.
if [ "${IW_SKIP_CPACK:-0}" != 1 ] && command -v dpkg-deb >/dev/null; then
    (cd "$work" && timeout 120 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" \
        >"$work/cpack.out" 2>&1) || fail "cpack: $(tail -5 "$work/cpack.out")"
    deb=$(ls "$work"/pkg/*.deb | head -1)
    [ -n "$deb" ] || fail "no .deb"
    depends=$(dpkg-deb -f "$deb" Depends)
    for p in libqt6widgets6 libsqlite3-0 libcurl4 qt6-qpa-plugins; do
        grep -q "$p" <<<"$depends" || fail "Depends lacks $p: $depends"
    done
    contents=$(dpkg-deb -c "$deb")
    for f in ./usr/bin/inboxwarden ./usr/bin/inboxwarden-scan \
             ./usr/share/applications/inboxwarden.desktop \
             ./usr/share/icons/hicolor/48x48/apps/inboxwarden.png \
             ./usr/lib/systemd/user/inboxwarden-scan.timer ./usr/share/man/man1/inboxwarden.1.gz; do
        grep -q " $f\$" <<<"$contents" || fail ".deb lacks $f"
    done
    mkdir -p "$work/deb"
    dpkg-deb -x "$deb" "$work/deb"
    grep -qx "ExecStart=/usr/bin/inboxwarden-scan" \
        "$work/deb/usr/lib/systemd/user/inboxwarden-scan.service" || fail ".deb service ExecStart"
    # What a Debian user expects of a package: no lintian error or warning.
    if command -v lintian >/dev/null; then
        timeout 240 lintian "$deb" >"$work/lintian.out" 2>&1 || true
        if grep -E '^[EW]: ' "$work/lintian.out"; then
            fail "lintian"
        fi
    fi
fi
echo "install test passed"
