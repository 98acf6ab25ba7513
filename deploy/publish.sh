#!/usr/bin/env bash
# Publishes one release of Velmor on the update site: builds the package with velmor-pack, signs
# it, writes the update page, the page without an update, and the version map that sends every
# older version to the update page.
#
# usage: deploy/publish.sh -k PRIVATE_KEY [-K PUBLIC_KEY] [-p VELMOR_PACK] [-l LAUNCH]
#                          SITE VERSION BASE_URL SOURCE...
#   SITE      folder of the update site (/srv/velmor-update): gets published.map and site/client/
#   VERSION   the published version, dotted decimal (1.0704.01)
#   BASE_URL  address of the site as clients reach it (https://update.velmor.example)
#   SOURCE    folders and files of the new product folder, as velmor-pack takes them
#   -k        the release private key (velmor-pack keygen); the page carries the signature
#   -K        check the signed page against this public key first (the one the clients ship,
#             deploy/keys/release-public.pem); nothing is published when they disagree
#   -l        program and arguments to start after unpacking (default: velmor)
#   -p        the velmor-pack program (default: velmor-pack on PATH)
set -euo pipefail
pack=velmor-pack
launch=velmor
key=
public_key=
usage() { sed -n '2,19p' "$0" >&2; exit 2; }
while getopts "p:l:k:K:" option; do
  case $option in
    p) pack=$OPTARG ;;
    l) launch=$OPTARG ;;
    k) key=$OPTARG ;;
    K) public_key=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -lt 4 ] || [ -z "$key" ]; then
  usage
fi
site=$1 version=$2 base=${3%/}
shift 3
case $base in
  https://*) ;;
  *) echo "publish.sh: warning: $base is not https; clients fetch the package over https" >&2 ;;
esac

older=$("$pack" --older-than "$version")
client="$site/site/client"
mkdir -p "$client"
package="TmpNewVer-$version.jar"
staging=$(mktemp -d "$site/.publish.XXXXXX")
trap 'rm -rf "$staging"' EXIT

"$pack" -o "$staging/$package" -l "$launch" --page "$staging/update.html" --label "$version" \
  --url "$base/client/$package" --key "$key" "$@" >&2
if [ -n "$public_key" ]; then
  "$pack" --check "$staging/update.html" "$staging/$package" "$public_key" >&2
fi
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
