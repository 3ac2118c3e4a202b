// x64 has one calling convention: the caller owns the stack, so there is nothing to measure.
#include "call_main.h"

const bool kStackCheckApplies = false;

int CallWithStackCheck(void* fn, int nCommand, void* pContext, void* pData, int* pBytesLeft) {
    *pBytesLeft = 0;
    return reinterpret_cast<int (*)(int, void*, void*)>(fn)(nCommand, pContext, pData);
}

int BytesLeftByCdeclCallee() {
    return 0;
}
