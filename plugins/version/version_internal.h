// The version plug-in's engine: installed firmware versions, uploaded
// packages and other files, their actions, and the task state machine that
// the worker tool runs under. Everything here runs on the loop thread except
// version_task, which runs on a pool thread and touches only its task data.
#pragma once

#include <kerrow/param.h>
#include <kerrow/types.h>
#include <kerrow/worker.h>

#include <list>
#include <memory>
#include <string>

namespace version {

enum task_state {
    TASKSTATE_INIT = 0,
    TASKSTATE_READY = 1,
    TASKSTATE_PKG_ADD = 2,
    TASKSTATE_INSTALLING = 3,
    TASKSTATE_UNINSTALLING = 4,
    TASKSTATE_SELECTING = 5
};
extern const char *const task_state_str[];

enum version_ftype { VERFTYPE_VORPT = 0, VERFTYPE_PUBCSV = 1, VERFTYPE_PEM = 2 };
enum vtmode { VTMODE_SELECT = 0, VTMODE_UNINSTALL = 1, VTMODE_INSTALL = 2 };
enum fileact { FILEACT_INSTALL = 0, FILEACT_DELETE = 1 };

struct vtmode_entry {
    const char *description;
    const char *option;
};
extern const vtmode_entry vtmode_table[];

// Fixed places on the card (resolved under KD_ROOT).
inline constexpr const char *kMediaDir = "/media/hd0/media";
inline constexpr const char *kFirmwareDir = "/opt/pkg/usr/kerrow/solvera";
inline constexpr const char *kOemLink = "/opt/pkg/var/oem";
inline constexpr const char *kTool = "/usr/local/sbin/vrsn";
inline constexpr const char *kPublishDir = "/usr/local/share/sv-version";

struct version_installed {
    std::string name;
    bool current = false;
    param_context *param = nullptr;  // its row; null while its row name is taken
    param_context *action = nullptr; // none for the current version
};

struct version_file {
    std::string name; // row name
    std::string file; // the file's own name in its directory
    std::string path; // directory, "/" and the file name
    version_ftype ftype = VERFTYPE_VORPT;
    param_context *param = nullptr;
    param_context *action = nullptr;
};

struct version_config {
    plugin_load_info *pli = nullptr;
    std::list<version_installed> installed;
    param_context *installed_param = nullptr;
    std::list<version_file> files;
    param_context *files_param = nullptr;
    std::list<version_file> other_files;
    param_context *other_files_param = nullptr;
    std::string banner;
    param_context *banner_param = nullptr;
    param_context *state_param = nullptr;
    param_context *reboot_param = nullptr;
    task_state state = TASKSTATE_INIT;
    unsigned master_has_slaves = 0;
    unsigned task_completed_at_local = 0;
    unsigned task_completed_at_remote = 0;
    bool pending_sync = false;
    bool reboot_pending = false;
};
extern version_config version_cfg;
extern version_config *const version_cfg_p;

// One run of the tool; owned by the engine until its completion.
struct version_task_data {
    vtmode mode = VTMODE_SELECT;
    std::string arg;
    int status = 0;     // the tool's exit code
    int task_errno = 0; // a kd_err code, 0 when the tool ran and exited 0
};
std::unique_ptr<version_task_data> version_task_data_ctor(vtmode mode, std::string arg);
void version_task_data_dtor(std::unique_ptr<version_task_data> &data);

// Entry points (the shell calls these).
void init(plugin_load_info *pli);
cuvent_action fini();

plugin_load_info *version_cfg_get_pli();
task_state version_cfg_get_state();
// 0, or -1 for a refused transition (logged).
int version_cfg_set_state(task_state next);
int version_cfg_sync_files(const std::string &dir);
int version_cfg_sync_installed(const std::string &dir);
unsigned version_cfg_master_has_slaves();
unsigned version_cfg_task_completed_at_remote();
void version_cfg_set_task_completed_at_remote(unsigned v);
unsigned version_cfg_task_completed_at_local();
void version_cfg_set_task_completed_at_local(unsigned v);

// The tool run (pool thread) and its completion (loop thread).
void version_task(kd_worker_task *task);
void version_task_done(kd_worker_task *task);

// The running version named by the oem link, "" when there is none.
std::string version_get_current_from_oem();
// The row name of a package file: the name cut before its package suffix.
std::string package_row_name(const std::string &file);

} // namespace version
