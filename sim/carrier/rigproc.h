// Processes and leftovers of the test rigs. A rig run can be killed at any
// point (SIGKILL from a CI timeout, Ctrl-C on ctest), so cleaning up in
// destructors is not enough:
// - every child a rig starts dies with the thread that started it
//   (spawn(), die_with_parent());
// - every rig, when it starts, sweeps what runs of its kind that died left
//   (sweep_dead_runs()). Such a run is recognised by its pid, which is in
//   every name it makes: namespaces "kdrg<pid>x..", "kdrc<pid>x..",
//   "kdrs<pid>x..", "kdrx<pid>x.." (forwarder rig), "kdcard<pid>x..",
//   "kdchas<pid>x.." (chassis rig), directories "/tmp/kdrig.<pid>.*" and
//   "/tmp/kdt.<pid>.*". Only names whose pid is no longer running are
//   touched, so runs side by side (other worktrees included) never meet.
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rigproc {

// In a child right after fork(): SIGKILL when the thread that forked it
// ends. The parent may already be gone by the time the signal is armed,
// hence the check against the pid recorded before the fork.
inline void die_with_parent(pid_t parent) noexcept
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
}

// Starts `args` (looked up in PATH) with die_with_parent(); standard output
// and error are appended to `log` (empty: inherited). `env` replaces the
// environment when given. Throws when the program cannot be started.
// The signal comes when the calling thread ends: call it from a thread
// that outlives the child (the test's own).
inline pid_t spawn(const std::vector<std::string> &args, const std::string &log = {},
                   const std::vector<std::string> *env = nullptr)
{
    if (args.empty())
        throw std::invalid_argument("spawn: no program");
    // Everything the child needs is made before the fork: after it, in a
    // process that may have threads, only async-signal-safe calls are made.
    std::vector<char *> argv, envp;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (env) {
        for (const auto &e : *env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
    }
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("spawn: pipe: " + std::string(std::strerror(errno)));
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        close(err[0]);
        close(err[1]);
        throw std::runtime_error("spawn: fork: " + std::string(std::strerror(errno)));
    }
    if (pid == 0) {
        die_with_parent(parent);
        if (!log.empty()) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
                _exit(127);
        }
        if (env)
            execvpe(argv[0], argv.data(), envp.data());
        else
            execvp(argv[0], argv.data());
        const int e = errno;
        (void)!write(err[1], &e, sizeof e);
        _exit(127);
    }
    close(err[1]);
    int e = 0;
    ssize_t n;
    do
        n = read(err[0], &e, sizeof e);
    while (n < 0 && errno == EINTR);
    close(err[0]);
    if (n == sizeof e) {
        waitpid(pid, nullptr, 0);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(e));
    }
    return pid;
}

// Runs `args` to its end (no shell); its exit status, or -1.
inline int run(const std::vector<std::string> &args)
{
    const pid_t pid = spawn(args, "/dev/null");
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// True while `pid` runs (a zombie no longer does).
inline bool alive(pid_t pid)
{
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH))
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close_paren = stat.rfind(')');
    return close_paren == std::string::npos || stat.size() < close_paren + 3 || stat[close_paren + 2] != 'Z';
}

// The pid a rig put into `name` right after one of `prefixes`, followed by
// `sep`; none when `name` is not such a name.
inline std::optional<pid_t> owner_in(const std::string &name, std::span<const char *const> prefixes, char sep)
{
    for (const char *p : prefixes) {
        const size_t len = std::strlen(p);
        if (name.compare(0, len, p) != 0)
            continue;
        size_t i = len;
        pid_t pid = 0;
        while (i < name.size() && name[i] >= '0' && name[i] <= '9' && pid < 100000000)
            pid = pid * 10 + (name[i++] - '0');
        if (i > len && i < name.size() && name[i] == sep)
            return pid;
    }
    return std::nullopt;
}

inline constexpr const char *namespace_prefixes[] = {"kdrg", "kdrc", "kdrs", "kdrx", "kdcard", "kdchas"};
inline constexpr const char *directory_prefixes[] = {"kdrig.", "kdt."};

// A temporary directory "/tmp/<kind>.<pid>.XXXXXX" that the sweep knows
// (kind: "kdrig" or "kdt"; short, for unix socket paths below it).
inline std::string make_temp_dir(const std::string &kind)
{
    std::string tmpl = "/tmp/" + kind + "." + std::to_string(getpid()) + ".XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp " + tmpl + ": " + std::strerror(errno));
    return tmpl;
}

// What runs that are gone left: namespace names and directory paths.
struct leftovers {
    std::vector<std::string> namespaces, directories;
};

inline leftovers find_dead_runs()
{
    namespace fs = std::filesystem;
    leftovers found;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/run/netns", ec)) {
        const std::string name = e.path().filename();
        if (const auto pid = owner_in(name, namespace_prefixes, 'x'); pid && !alive(*pid))
            found.namespaces.push_back(name);
    }
    for (const auto &e : fs::directory_iterator("/tmp", ec)) {
        const std::string name = e.path().filename();
        if (const auto pid = owner_in(name, directory_prefixes, '.'); pid && !alive(*pid))
            found.directories.push_back(e.path());
    }
    return found;
}

// The processes that live in one of the namespaces or name one of the
// directories (in their command line or environment).
inline std::vector<pid_t> processes_of(const leftovers &dead)
{
    std::vector<std::pair<dev_t, ino_t>> nets;
    for (const auto &ns : dead.namespaces) {
        struct stat st{};
        if (stat(("/run/netns/" + ns).c_str(), &st) == 0)
            nets.emplace_back(st.st_dev, st.st_ino);
    }
    auto slurp = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = std::atoi(name.c_str());
        if (pid == getpid())
            continue;
        struct stat st{};
        bool hit = stat((e.path() / "ns/net").c_str(), &st) == 0 &&
                   std::find(nets.begin(), nets.end(), std::make_pair(st.st_dev, st.st_ino)) != nets.end();
        if (!hit && !dead.directories.empty()) {
            const std::string text = slurp(e.path() / "cmdline") + '\0' + slurp(e.path() / "environ");
            for (const auto &d : dead.directories)
                hit = hit || text.find(d + '/') != std::string::npos || text.find(d + '\0') != std::string::npos;
        }
        if (hit)
            pids.push_back(pid);
    }
    return pids;
}

// Removes what runs of the rigs that are gone left: their processes first
// (SIGKILL), then their namespaces (with the links in them) and their
// directories. Answers what it removed.
inline leftovers sweep_dead_runs()
{
    const leftovers dead = find_dead_runs();
    if (dead.namespaces.empty() && dead.directories.empty())
        return dead;
    for (pid_t pid : processes_of(dead))
        kill(pid, SIGKILL);
    for (const auto &ns : dead.namespaces)
        run({"ip", "netns", "del", ns});
    for (const auto &d : dead.directories) {
        std::error_code ec;
        std::filesystem::remove_all(d, ec);
    }
    return dead;
}

// sweep_dead_runs() once per process: each rig calls it when it starts.
inline void sweep_once()
{
    static std::once_flag once;
    std::call_once(once, [] { sweep_dead_runs(); });
}

} // namespace rigproc
