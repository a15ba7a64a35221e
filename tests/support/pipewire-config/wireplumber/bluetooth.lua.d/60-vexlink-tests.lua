-- See main.lua.d: no Bluetooth devices in the tests' private session.
bluez_monitor.enabled = false
