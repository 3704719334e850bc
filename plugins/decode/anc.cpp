// Ancillary data: the embedder and ST 352 inserters are driven from here
// once they exist; the calls keep their place in start-up and tear-down.
#include "anc.h"

void ancCarrierSetLowerRow(bool) {}
int ancDecInit() { return 0; }
void ancDecFini() {}
int ancS352mUpdate(void *, const DecAudHdrS352VidInfo *info) { return info ? 0 : -1; }
