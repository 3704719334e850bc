// The command runner: posix_spawn (no shell, safe with threads), then wait;
// off the card only stand-ins from KD_CMD_DIR run (see kerrow/command.h).
#include <kerrow/command.h>
#include <kerrow/log.h>
#include <kerrow/path.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// The runner is linked into programs that have no framework too: there its
// lines go to standard error.
extern "C" void kd_log_print(int priority, const char *file, int line, const char *func, const char *fmt, ...)
    __attribute__((weak));

namespace {

std::atomic<unsigned> g_refusals{0};

#define CMD_LOG(prio, ...)                                                                                            \
    do {                                                                                                              \
        if (kd_log_print)                                                                                             \
            KD_LOG(prio, __VA_ARGS__);                                                                                \
        else                                                                                                          \
            std::fprintf(stderr, __VA_ARGS__);                                                                        \
    } while (0)

const char *env_text(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::string joined(const std::vector<std::string> &argv)
{
    std::string s;
    for (const std::string &a : argv) {
        if (!s.empty())
            s += ' ';
        s += a;
    }
    return s;
}

// One line per event, written with one append so that the processes of a
// test (the test and the hosts it starts) can share the file.
void note(const char *kind, const std::string &program, const std::vector<std::string> &argv)
{
    const std::string path = kd::command_log_path();
    if (path.empty())
        return;
    std::string line = std::string(kind) + " " + program + " pid " + std::to_string(getpid()) + " root " +
                       (*kd_root() ? kd_root() : "/") + ": " + joined(argv);
    for (char &c : line)
        if (c == '\n')
            c = ' ';
    line += '\n';
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        CMD_LOG(KD_LOG_ERR, "[frame] Cannot write the command log %s (%s)\n", path.c_str(), std::strerror(errno));
        return;
    }
    if (write(fd, line.data(), line.size()) != ssize_t(line.size()))
        CMD_LOG(KD_LOG_ERR, "[frame] Cannot write the command log %s (%s)\n", path.c_str(), std::strerror(errno));
    close(fd);
}

} // namespace

namespace kd {

bool card_marker_present()
{
    struct stat st;
    return stat(kd::rooted("/opt/pkg/var/oem").c_str(), &st) == 0;
}

bool off_card() { return *kd_root() != '\0' || !card_marker_present(); }

unsigned command_refusals() { return g_refusals.load(std::memory_order_relaxed); }

std::string command_log_path()
{
    if (const char *log = env_text("KD_CMD_LOG"))
        return log;
    const char *root = kd_root();
    return *root ? std::string(root) + "/kd-commands.log" : std::string();
}

std::optional<std::string> system_bus_address()
{
    const char *address = env_text("DBUS_SYSTEM_BUS_ADDRESS");
    if (!off_card())
        return std::string(address ? address : "");
    if (!address)
        return std::nullopt;
    return std::string(address);
}

std::string command_path(const std::string &argv0)
{
    const char *dir = env_text("KD_CMD_DIR");
    if (!dir)
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
    const bool stand_in = env_text("KD_CMD_DIR") != nullptr;
    if (!stand_in && off_card()) {
        // Off the card the operating system belongs to someone else (a
        // developer's machine, a test, the demo).
        g_refusals.fetch_add(1, std::memory_order_relaxed);
        end = command_end::refused;
        CMD_LOG(KD_LOG_WARNING, "[frame] Not on the card: %s refused (no KD_CMD_DIR)\n", argv[0].c_str());
        note("refused", argv[0], argv);
        return -1;
    }
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
            return eq != std::string::npos && var.size() > eq &&
                   var.substr(0, eq + 1) == std::string_view(v).substr(0, eq + 1);
        });
        if (!replaced)
            envp.push_back(*e);
    }
    for (const std::string &v : opts.env)
        envp.push_back(const_cast<char *>(v.c_str()));
    envp.push_back(nullptr);
    if (!stand_in)
        note("started", path, argv);
    pid_t pid = -1;
    // A bare name is searched in PATH, a name with a "/" is taken as is.
    const bool search = path.find('/') == std::string::npos;
    // The program starts with every signal deliverable and at its default
    // action, whatever the calling thread blocks or ignores (worker threads
    // block them all): it can be stopped, and a closed pipe ends it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int rc = search ? posix_spawnp(&pid, path.c_str(), &fa, &attr, args.data(), envp.data())
                          : posix_spawn(&pid, path.c_str(), &fa, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        CMD_LOG(KD_LOG_ERR, "[frame] Cannot run %s (%s)\n", path.c_str(), std::strerror(rc));
        return -1;
    }
    int status = 0;
    pid_t w;
    do {
        w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        end = command_end::wait_failed;
        CMD_LOG(KD_LOG_ERR, "[frame] Waiting for %s failed (%s)\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (WIFEXITED(status)) {
        end = command_end::exited;
        return WEXITSTATUS(status);
    }
    end = command_end::signalled;
    CMD_LOG(KD_LOG_ERR, "[frame] %s ended by signal %d\n", path.c_str(), WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

} // namespace kd
