#pragma once

// Marks a function on the path every CommRead and CommWrite takes (and the
// steps of Invoke a script calls them through). On kernels that flush the
// TLB at every system call (page-table isolation without PCID) each page of
// code a member touches costs a page walk, before its read or write and
// again after it, so the path's functions are placed together instead of
// scattered over the library by the order of its source files.
//
// They are placed by path, in this order: what only a read runs, what both
// transfers run, what only a write runs, and what only a script's Invoke
// runs. A read then runs over one stretch of pages, and a write through
// Invoke over the next, the two sharing only what both run. A read's
// functions go to .text.hot, which the linker puts first; on ELF targets
// the others go to sections named .text.sorted.*, which it sorts by name
// and puts right after. (A function with a section of its own is not split
// into hot and cold parts, and a read's members are the largest on the
// path, so they keep the plain attribute.) Elsewhere all of them go to
// .text.hot, as before.
#if defined(__GNUC__) || defined(__clang__)
#define KAVREL_HOT_ATTRIBUTE __attribute__((hot))
#else
#define KAVREL_HOT_ATTRIBUTE
#endif
#if defined(__GNUC__) && defined(__ELF__)
#define KAVREL_PLACED(order) __attribute__((hot, section(".text.sorted.kavrel_" order)))
#else
#define KAVREL_PLACED(order) KAVREL_HOT_ATTRIBUTE
#endif
#define KAVREL_READ_PATH KAVREL_HOT_ATTRIBUTE
#define KAVREL_HOT_PATH KAVREL_PLACED("1_both")
#define KAVREL_WRITE_PATH KAVREL_PLACED("2_write")
#define KAVREL_SCRIPT_PATH KAVREL_PLACED("3_script")

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
