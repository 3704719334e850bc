/* The parameter tree: every setting and status value of the device. */
#ifndef KERROW_PARAM_H
#define KERROW_PARAM_H

#include <kerrow/types.h>

KD_BEGIN_DECLS

typedef enum param_type {
    PARAMTYPE_NONE = 0,
    PARAMTYPE_LIST,
    PARAMTYPE_TABLE,
    PARAMTYPE_NUMBER,
    PARAMTYPE_CHOICE,
    PARAMTYPE_STRING,
    PARAMTYPE_SET
} param_type;

typedef enum param_control {
    PARAMCTRL_RDONLY = 0,
    PARAMCTRL_WRONLY = 1,
    PARAMCTRL_RDWR = 2,
    PARAMCTRL_RDWR_NOPERSIST = 3
} param_control;

KD_API void kd_param_init(void);
KD_API void kd_param_fini(void);

/* The owner's top list (route: the owner's name), made at the first call. */
KD_API param_context *kd_param_create_cfg(plugin_load_info *owner);
KD_API param_context *kd_param_get_cfg(plugin_load_info *owner);

KD_END_DECLS

#endif
