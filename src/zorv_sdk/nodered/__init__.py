"""Access to the Node-RED server that the SDK's node programs run beside."""
