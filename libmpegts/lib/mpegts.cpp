// MPEG-TS library.
