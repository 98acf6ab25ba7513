#!/usr/bin/env bash
# Publishes one release of Velmor on the update site: builds the package with velmor-pack, writes
# the update page, the page without an update, and the version map that sends every older
# version to the update page.
#
# usage: deploy/publish.sh [-p VELMOR_PACK] [-l LAUNCH] SITE VERSION BASE_URL SOURCE...
#   SITE      folder of the update site (/srv/velmor-update): gets published.map and site/client/
#   VERSION   the published version, dotted decimal (1.0704.01)
#   BASE_URL  address of the site as clients reach it (http://update.velmor.example)
#   SOURCE    folders and files of the new product folder, as velmor-pack takes them
#   -l        program and arguments to start after unpacking (default: velmor)
#   -p        the velmor-pack program (default: velmor-pack on PATH)
set -euo pipefail
pack=velmor-pack
launch=velmor
while getopts "p:l:" option; do
  case $option in
    p) pack=$OPTARG ;;
    l) launch=$OPTARG ;;
    *) sed -n '2,14p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 4 ]; then
  sed -n '2,14p' "$0" >&2
  exit 2
fi
site=$1 version=$2 base=${3%/}
shift 3

older=$("$pack" --older-than "$version")
client="$site/site/client"
mkdir -p "$client"
package="TmpNewVer-$version.jar"
staging=$(mktemp -d "$site/.publish.XXXXXX")
trap 'rm -rf "$staging"' EXIT

"$pack" -o "$staging/$package" -l "$launch" --page "$staging/update.html" --label "$version" \
  --url "$base/client/$package" "$@" >&2
printf '<html><head><title>Velmor update</title></head><body>No update.</body></html>\r\n' \
  >"$staging/noupdate.html"
# The query's product id and version, matched against every version older than this one.
cat >"$staging/published.map" <<MAP
# Written by publish.sh for version $version.
map "\$arg_proid:\$arg_ver" \$velmor_update_page {
    default /client/noupdate.html;
    "~^KQ:${older#^}" /client/update.html;
}
MAP

# The package goes first, so the page never announces a package that is not there yet.
chmod 644 "$staging"/*
mv "$staging/$package" "$client/$package"
mv "$staging/update.html" "$client/update.html"
mv "$staging/noupdate.html" "$client/noupdate.html"
mv "$staging/published.map" "$site/published.map"
echo "published $version as $base/client/$package; reload nginx to apply the version map" >&2
