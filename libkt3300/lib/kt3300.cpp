// FPGA carrier board library.
