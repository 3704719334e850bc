// The websocket plug-in.
