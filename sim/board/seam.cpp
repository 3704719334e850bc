// The board library's platform seam for the simulated board: loaded by the
// library when KT3300_SIM names this shared object. The register window is
// the shared board file; the other UIO maps are plain shared files.
#include "sim_board.h"

#include <kerrow/export.h>

#include "kt33_platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace {

using boardsim::Board;

struct Window {
    uint8_t *base;
    size_t len;
};

std::mutex windows_mutex;
std::vector<Window> windows;

void *map_file(const std::string &path, size_t len)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
}

void *map_window()
{
    void *p = map_file(boardsim::board_file(), sizeof(Board));
    if (p) {
        std::lock_guard lock(windows_mutex);
        windows.push_back({static_cast<uint8_t *>(p), sizeof(Board)});
    }
    return p;
}

void *sim_map_uio(int, unsigned dev, unsigned map, size_t size)
{
    if (dev == 0 && map == 0)
        return size <= boardsim::window_size ? map_window() : nullptr;
    return map_file(boardsim::region_file(dev, map), size);
}

void *sim_map_mem(int fd, uint64_t phys, size_t size)
{
    if (phys == boardsim::bar_phys && size <= boardsim::window_size)
        return map_window();
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(phys));
    return p == MAP_FAILED ? nullptr : p;
}

void sim_unmap(void *addr, size_t size)
{
    {
        std::lock_guard lock(windows_mutex);
        for (auto it = windows.begin(); it != windows.end(); ++it)
            if (it->base == addr) {
                size = it->len;
                windows.erase(it);
                break;
            }
    }
    munmap(addr, size);
}

void sim_store(void *reg, const void *bytes, unsigned len)
{
    auto *p = static_cast<uint8_t *>(reg);
    {
        std::lock_guard lock(windows_mutex);
        for (const Window &w : windows)
            if (p >= w.base && p < w.base + boardsim::window_size) {
                boardsim::store(reinterpret_cast<Board *>(w.base), static_cast<uint32_t>(p - w.base),
                                static_cast<const uint8_t *>(bytes), len);
                return;
            }
    }
    std::memcpy(p, bytes, len); // memory outside the simulated window
}

constexpr kt33_platform sim_platform = {"kt3300sim", sim_map_uio, sim_map_mem, sim_unmap, sim_store};

} // namespace

extern "C" KD_API const kt33_platform *kt33_sim_platform(void) { return &sim_platform; }
