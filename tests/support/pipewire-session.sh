#!/bin/sh
# The daemons of a private PipeWire session:
#   pipewire-session.sh <pid of the test process>
# PipeWireSession runs this under dbus-run-session, in a process group of its
# own, with the session's environment; it prints "ready" once all three
# daemons answer, and ends the group when the test process is gone.
#
# WirePlumber and pipewire-pulse give up at once when PipeWire's socket is not
# there yet (a desktop gets the order from socket activation), so they start
# once the PipeWire daemon answers. WirePlumber is up once it has made the
# "default" metadata.
owner=$1
poll() {  # <command...>: until it succeeds, for 30 s at most
    tries=0
    until "$@" >/dev/null 2>&1; do
        [ "$tries" -lt 600 ] || { echo "pipewire-session: no answer to: $*" >&2; kill 0; }
        tries=$((tries + 1))
        sleep 0.05
    done
}
pipewire &
poll pw-cli info 0
wireplumber &
pipewire-pulse &
poll pactl info
poll sh -c 'pw-metadata -n default | grep -q "Found \"default\" metadata"'
echo ready
while kill -0 "$owner" 2>/dev/null; do
    sleep 1
done
kill 0
