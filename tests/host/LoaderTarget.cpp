// Loaded by name in the loader tests.
extern "C" int kx_loader_answer() { return 42; }

// An absolute symbol at address 0: its look-up succeeds with a null address.
asm(".globl kx_null_symbol\n.set kx_null_symbol, 0");
