#!/bin/sh
# The daemons of a private PipeWire session:
#   pipewire-session.sh <pid of the test process>
# PipeWireSession runs this under dbus-run-session, in a process group of its
# own, with the session's environment, and ends the group when the test is
# done. Should the test process die first (a time-out kills it), the script
# ends the group itself.
#
# WirePlumber and pipewire-pulse give up at once when PipeWire's socket is not
# there yet (a desktop gets the order from socket activation), so they start
# once the PipeWire daemon answers.
owner=$1
pipewire &
daemon=$!
tries=0
until pw-cli info 0 >/dev/null 2>&1; do
    if ! kill -0 "$daemon" 2>/dev/null || [ "$tries" -ge 600 ]; then
        echo "pipewire-session: the PipeWire daemon did not come up" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
done
wireplumber &
pipewire-pulse &
while kill -0 "$owner" 2>/dev/null; do
    sleep 1
done
kill 0
