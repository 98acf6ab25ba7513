#!/bin/sh
# /usr/bin/velmor: starts Velmor from the user's own program folder.
#
# The package installs a template of the program folder under ../lib/velmor/P (relative to this
# launcher, so /usr/lib/velmor/P). Velmor keeps its rule files beside its program and its Updater
# rewrites the program folder, so the program runs from a copy that belongs to the user:
# $XDG_DATA_HOME/velmor/P (default ~/.local/share/velmor/P). The copy is made on the first start
# and refreshed when the packaged version is newer than the copy's VERSION; a copy that the
# Updater brought to a newer version than the package is left alone. Only the template's files
# are written, so invader/ and the other data folders are kept. The copy never carries file
# capabilities (cp copies no extended attributes).
set -eu

self=$(readlink -f "$0")
template=$(dirname "$(dirname "$self")")/lib/velmor/P

case "${XDG_DATA_HOME:-}" in
/*) data_home=$XDG_DATA_HOME ;;
*) data_home=${HOME:?velmor: HOME is not set}/.local/share ;;
esac
data=$data_home/velmor
folder=$data/P

# True when version $1 is newer than $2 (dotted decimal parts compared as numbers, as dpkg does).
newer() {
    dpkg --compare-versions "$1" gt "$2"
}

stale() {
    [ -x "$folder/velmor" ] || return 0
    [ -s "$folder/VERSION" ] || return 0
    newer "$(cat "$template/VERSION")" "$(cat "$folder/VERSION")"
}

refresh() {
    # Each file goes in beside its target and is renamed over it, so a running copy keeps its
    # old files whole. VERSION comes last: an interrupted refresh is done again on the next start.
    (cd "$template" && find . -type f ! -name VERSION && echo ./VERSION) | while IFS= read -r name; do
        target=$folder/${name#./}
        mkdir -p "$(dirname "$target")"
        cp "$template/$name" "$target.new.$$"
        mv -f "$target.new.$$" "$target"
    done
}

if [ ! -f "$template/VERSION" ] || [ ! -x "$template/velmor" ]; then
    echo "velmor: the program folder $template is missing; reinstall the package" >&2
    exit 1
fi
if stale; then
    mkdir -p "$folder"
    # Two launchers started at once (menu and autostart) copy one after the other.
    exec 9>"$data/launcher.lock"
    flock 9
    if stale; then refresh; fi
    exec 9>&-
fi
exec "$folder/velmor" "$@"
