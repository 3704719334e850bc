// The SDI audio embedder: nothing is embedded until the audio path feeds
// it; start and stop keep their places.
#include "anc_embed.h"

extern "C" int ancDecAudEmbedInit(void) { return 0; }
extern "C" int ancDecAudEmbedFini(void) { return 0; }
