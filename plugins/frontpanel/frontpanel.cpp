// The frontpanel plug-in.
