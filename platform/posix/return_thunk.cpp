// The return of the members marked KAVREL_RETURN_BY_JUMP
// (platform/hot_path.h): it takes the return address off the stack and
// jumps to it, a jump the processor predicts by where it was made from.
// Local to the library, and beside the read's functions.
#include "platform/hot_path.h"

#if defined(KAVREL_RETURN_THUNK)
asm(R"(
  .pushsection .text.hot.kavrel_return_thunk,"ax",@progbits
  .globl __x86_return_thunk
  .hidden __x86_return_thunk
  .type __x86_return_thunk, @function
__x86_return_thunk:
  .cfi_startproc
  popq %r11
  .cfi_adjust_cfa_offset -8
  .cfi_register %rip, %r11
  jmpq *%r11
  .cfi_endproc
  .size __x86_return_thunk, .-__x86_return_thunk
  .popsection
)");
#endif
