#!/usr/bin/env bash
# The client's folders, bottom up: each includes only itself and the folders
# below it, and builds one library.
#   layer_order_test.sh [source dir]
set -u
cd "${1:-$(dirname "$0")/../..}"

layers=(platform settings audio pipewire transport media playout session control app)
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
  folder=${layers[i]}
  allowed=" ${layers[*]:0:i+1} "
  while IFS=: read -r file line included; do
    case $allowed in
      *" $included "*) ;;
      *) echo "$file:$line: $folder/ includes $included/, which is not below it"; status=1 ;;
    esac
  done < <(grep -HnoE '^#include "[^/"]+/' "$folder"/*.h "$folder"/*.cpp | sed -E 's/#include "([^/]+)\/$/\1/')
  libraries=$(grep -c '^add_library(' "$folder/CMakeLists.txt")
  if [ "$libraries" -ne 1 ]; then
    echo "$folder/CMakeLists.txt: $libraries libraries, not one"
    status=1
  fi
done
exit $status
