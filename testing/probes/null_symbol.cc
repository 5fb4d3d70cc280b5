// A loadable library exporting one symbol whose address is 0: looking it up
// succeeds in the loader yet yields a null pointer and no loader error.
asm(".globl zentrik_null_symbol\n.set zentrik_null_symbol, 0\n");
