/* The SDI audio embedder of the decoder side. */
#ifndef KD_ANC_EMBED_H
#define KD_ANC_EMBED_H

#ifdef __cplusplus
extern "C" {
#endif

int ancDecAudEmbedInit(void);
int ancDecAudEmbedFini(void);

#ifdef __cplusplus
}
#endif

#endif
