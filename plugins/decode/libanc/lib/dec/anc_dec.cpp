// Start and stop of the decoder side of the library.
#include "anc.h"
#include "anc_embed.h"

extern "C" int ancDecInit(void)
{
    ancDebugInit("dec");
    ancDecAudEmbedInit();
    return 0;
}

extern "C" int ancDecFini(void)
{
    ancDecAudEmbedFini();
    ancDebugFini("dec");
    return 0;
}
