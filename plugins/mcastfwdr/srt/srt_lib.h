// libsrt's API for the forwarder. The library's connect call has the name
// of the forwarder's connection-mode type (srt_connect, the records' type),
// so the header declares it under another name here and the call is made
// through srt_lib_connect, bound to the library's symbol.
#pragma once

#include <sys/socket.h>

#define srt_connect srt_connect_of_libsrt_
#include <srt/srt.h>
#undef srt_connect

extern "C" int srt_lib_connect(SRTSOCKET u, const struct sockaddr *name, int namelen) __asm__("srt_connect");
// The option calls with the option as a plain number, for options the
// header does not list (the library refuses those).
extern "C" int srt_lib_setsockflag(SRTSOCKET u, int opt, const void *optval, int optlen) __asm__("srt_setsockflag");
extern "C" int srt_lib_getsockflag(SRTSOCKET u, int opt, void *optval, int *optlen) __asm__("srt_getsockflag");
