// snmpbridge: snmpd's pass_persist program for the device MIB.
#include "bridge.h"
#include "mib_map.h"

#include <kerrow/path.h>

#include <csignal>
#include <ctime>
#include <exception>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Notices go to a log file that each start begins afresh. The bridge runs
// as root in a directory anyone may write to: the log is never reached
// through a symbolic link, nor kept when it is not our own regular file.
void open_log()
{
    const std::string path = kd::rooted("/tmp/tarnwick_log");
    const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    // Truncated only once known to be ours: a hard link to another of
    // root's files must not be emptied.
    int fd = ::open(path.c_str(), flags | O_CREAT, 0600);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
                    st.st_nlink != 1 || ::ftruncate(fd, 0) != 0)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0 && ::unlink(path.c_str()) == 0)
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return;
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

} // namespace

int main()
{
    // A CLI server that goes away must not take the bridge with it.
    std::signal(SIGPIPE, SIG_IGN);
    open_log();
    snmpbridge::load_mib();
    const std::time_t now = std::time(nullptr);
    std::cerr << "Just init " << std::ctime(&now) << std::flush;
    try {
        snmpbridge::main_loop(std::cin, std::cout);
    } catch (const std::exception &e) {
        std::cerr << "Main loop encountered error: " << e.what() << std::endl;
        return -1;
    }
    return 0;
}
