// How the Wine host program calls Main: through a thunk that checks the calling convention at
// run time on x86, where a module exported with the wrong one corrupts the host's stack.
#pragma once

// True where the check means something: only x86 has two conventions to confuse.
extern const bool kStackCheckApplies;

// Calls fn(nCommand, pContext, pData) as a stdcall caller does (arguments pushed right to left,
// nothing removed afterwards) and stores in *pBytesLeft what the callee left on the stack: 0 for
// a stdcall callee, 12 for a cdecl one, -12 for one that removed 12 bytes too many.
int CallWithStackCheck(void* fn, int nCommand, void* pContext, void* pData, int* pBytesLeft);

// The same call against a deliberately cdecl function: what the check reports for it.
int BytesLeftByCdeclCallee();
