#!/usr/bin/env bash
# No include runs from a lower layer up: each folder includes the headers of its own layer and of the
# layers below it (docs/architecture.md), never those of a layer above or beside it.
#   tests/include_layers.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0
# folder, then the velmor/ header paths it may include (an extended regular expression)
allow() {
  local folder=$1 allowed=$2 found
  found=$(grep -rnE '#include "velmor/' "$folder" --include='*.h' --include='*.cpp' --include='*.c' |
    grep -vE "#include \"velmor/($allowed)" || true)
  if [ -n "$found" ]; then
    echo "include_layers: $folder includes from a layer it must not reach:"
    echo "$found"
    status=1
  fi
}
guard_client='guard/(protocol|guard_link|guard_events)\.h'
allow platform 'platform/'
allow guard/protocol 'guard/protocol\.h|platform/address_text\.h'
allow common 'common/|platform/'
allow guard/client "$guard_client|platform/"
allow monitor/rules 'rules/|common/|platform/'
allow monitor/fleet 'fleet/|common/|platform/'
allow monitor/lists 'lists/|rules/|common/|platform/|guard/protocol\.h'
allow monitor/engine "engine/|rules/|common/|platform/|$guard_client"
allow monitor/shell "shell/|engine/|rules/|lists/|fleet/|common/|platform/|$guard_client"
allow hostlet 'hostlet/|engine/(host_names|exchange_file|module_tcp_table)\.h|common/|platform/'
allow fetchel 'fetchel/|common/|platform/'
allow updater/src 'updater/|common/|platform/'
allow updater/include 'updater/|common/|platform/'
allow guard/src 'guard/|platform/'
allow guard/linux 'guard/|platform/'
allow guard/events 'guard/|platform/'
[ "$status" -ne 0 ] || echo "include_layers: every include runs down the layers"
exit "$status"
