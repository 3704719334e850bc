/* Every public header must be accepted by a C compiler. */
#include <kerrow/export.h>
#include <kerrow/types.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/command.h>
#include <kerrow/ref.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/plugin.h>
#include <kerrow/param.h>
#include <kerrow/pipe.h>
#include <kerrow/dataset.h>
#include <kerrow/worker.h>
#include <kerrow/alarm.h>
#include <kerrow/remote.h>
#include <kerrow/store.h>
#include <kerrow/carrier.h>
#include <kerrow/system.h>
#include <kerrow/profile.h>

int kd_c_headers_compile(void) { return (int)sizeof(plugin_load_info) + CUVENT_NAME_SIZE; }
