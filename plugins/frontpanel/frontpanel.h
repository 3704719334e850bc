/* The front-panel plug-in's entry points (libsv-frontpanel.so). */
#ifndef KERROW_FRONTPANEL_H
#define KERROW_FRONTPANEL_H

#include <kerrow/plugin.h>

KD_BEGIN_DECLS

KD_API void frontpanel_init(plugin_load_info *pli) KD_NOEXCEPT;
KD_API cuvent_action frontpanel_fini(void) KD_NOEXCEPT;

KD_END_DECLS

#endif
