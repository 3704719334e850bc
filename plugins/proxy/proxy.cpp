// The proxy plug-in.
