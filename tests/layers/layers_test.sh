#!/usr/bin/env bash
# The client's folders, bottom up: each includes only itself and the folders
# below it, and builds one library; threads and locks come from the platform
# layer alone.
#   layers_test.sh [source dir]
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
# Only platform/ reaches POSIX threads and mutexes; no standard ones anywhere.
sources=()
for folder in "${layers[@]}"; do sources+=("$folder"/*.h "$folder"/*.cpp); done
if grep -nE 'std::(thread|jthread|mutex|condition_variable|call_once)|pthread_(create|mutex_)' "${sources[@]}" |
    grep -vE '^platform/(Thread|Mutex)\.'; then
  echo "threads and locks go through platform/Thread.h, Mutex.h and Semaphore.h"
  status=1
fi
exit $status
