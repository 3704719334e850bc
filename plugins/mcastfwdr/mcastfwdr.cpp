// The mcastfwdr plug-in.
