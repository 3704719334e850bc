// The version plug-in.
