// The x86 thunk: the stack pointer is kept in a callee-saved register across the call, compared
// afterwards, and restored, so a wrong convention is measured instead of crashing the host.
#include "call_main.h"

const bool kStackCheckApplies = true;

extern "C" int StackCheckedCall(void* fn, int nCommand, void* pContext, void* pData,
                                int* pBytesLeft);

asm(R"(
    .text
    .globl _StackCheckedCall
_StackCheckedCall:
    pushl %ebp
    movl  %esp, %ebp
    pushl %esi
    movl  %esp, %esi
    pushl 20(%ebp)
    pushl 16(%ebp)
    pushl 12(%ebp)
    call  *8(%ebp)
    movl  %esi, %ecx
    subl  %esp, %ecx
    movl  %esi, %esp
    movl  24(%ebp), %edx
    movl  %ecx, (%edx)
    popl  %esi
    popl  %ebp
    ret
)");

int CallWithStackCheck(void* fn, int nCommand, void* pContext, void* pData, int* pBytesLeft) {
    return StackCheckedCall(fn, nCommand, pContext, pData, pBytesLeft);
}

static __attribute__((noinline, cdecl)) int TinyCdecl(int nCommand, void*, void*) {
    return nCommand;
}

int BytesLeftByCdeclCallee() {
    int left = 0;
    StackCheckedCall(reinterpret_cast<void*>(&TinyCdecl), 1, nullptr, nullptr, &left);
    return left;
}
