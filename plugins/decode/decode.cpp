// The decode plug-in.
