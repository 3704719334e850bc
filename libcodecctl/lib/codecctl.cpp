// Codec-chip control library.
