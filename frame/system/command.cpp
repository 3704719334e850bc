// External programs: posix_spawn (no shell, safe with threads), then wait.
#include "command.h"

#include <kerrow/log.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace kd {

std::string command_path(const std::string &argv0)
{
    const char *dir = std::getenv("KD_CMD_DIR");
    if (!dir || !*dir)
        return argv0;
    const size_t slash = argv0.rfind('/');
    return std::string(dir) + "/" + (slash == std::string::npos ? argv0 : argv0.substr(slash + 1));
}

int run_command(const std::vector<std::string> &argv, command_opts opts)
{
    command_end unused = command_end::exited;
    command_end &end = opts.end ? *opts.end : unused;
    end = command_end::not_started;
    if (argv.empty() || argv[0].empty())
        return -1;
    const std::string path = command_path(argv[0]);
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (opts.quiet) {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    // The inherited environment, with the caller's variables replacing any
    // of the same name.
    std::vector<char *> envp;
    for (char **e = environ; e && *e; ++e) {
        std::string_view var(*e);
        const bool replaced = std::any_of(opts.env.begin(), opts.env.end(), [&](const std::string &v) {
            const size_t eq = v.find('=');
            return eq != std::string::npos && var.size() > eq && var.substr(0, eq + 1) == std::string_view(v).substr(0, eq + 1);
        });
        if (!replaced)
            envp.push_back(*e);
    }
    for (const std::string &v : opts.env)
        envp.push_back(const_cast<char *>(v.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    // A bare name is searched in PATH, a name with a "/" is taken as is.
    const bool search = path.find('/') == std::string::npos;
    const int rc = search ? posix_spawnp(&pid, path.c_str(), &fa, nullptr, args.data(), envp.data())
                          : posix_spawn(&pid, path.c_str(), &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        KD_LOG(KD_LOG_ERR, "[frame] Cannot run %s (%s)\n", path.c_str(), std::strerror(rc));
        return -1;
    }
    int status = 0;
    pid_t w;
    do {
        w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        end = command_end::wait_failed;
        KD_LOG(KD_LOG_ERR, "[frame] Waiting for %s failed (%s)\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (WIFEXITED(status)) {
        end = command_end::exited;
        return WEXITSTATUS(status);
    }
    end = command_end::signalled;
    KD_LOG(KD_LOG_ERR, "[frame] %s ended by signal %d\n", path.c_str(),
           WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

} // namespace kd
