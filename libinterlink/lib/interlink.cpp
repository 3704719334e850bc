// XSB interconnect library.
