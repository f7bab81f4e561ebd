#pragma once

// Marks a function on the path every CommRead and CommWrite takes (and the
// steps of Invoke a script calls them through). The compiler places such
// functions together (.text.hot, which the linker puts in one stretch), so
// that the path spans two or three pages of code instead of a dozen
// scattered over the library. On kernels that flush the TLB at every system
// call (page-table isolation without PCID) each page the path touches after
// the read or write costs a page walk, and the scattered layout cost a
// 64-byte CommWrite about 4% of a raw write in the device bench.
#if defined(__GNUC__) || defined(__clang__)
#define KAVREL_HOT_PATH __attribute__((hot))
#else
#define KAVREL_HOT_PATH
#endif

// Makes a member one frame: its apartment check, reference, error trap and
// body are inlined into it, and so is every call below them the compiler can
// see. The kernel leaves the processor's return predictions empty after a
// system call (AMD's return-stack mitigation), so each frame between a member
// and its read or write costs a mispredicted return on the way back.
#if defined(__GNUC__) || defined(__clang__)
#define KAVREL_ONE_FRAME __attribute__((flatten))
#else
#define KAVREL_ONE_FRAME
#endif
