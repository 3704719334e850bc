// The platform seam: Linux implementation, the choice of a simulator by the
// environment, and discovery from the PCI list and the UIO sysfs tree.
#include "kt33_internal.h"

#include <kerrow/path.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace kt33 {
namespace {

void *linux_map_uio(int fd, unsigned, unsigned map, size_t size)
{
    // The UIO driver selects map n by an offset of n pages.
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                   static_cast<off_t>(map) * sysconf(_SC_PAGESIZE));
    return p == MAP_FAILED ? nullptr : p;
}

void *linux_map_mem(int fd, uint64_t phys, size_t size)
{
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(phys));
    return p == MAP_FAILED ? nullptr : p;
}

void linux_unmap(void *addr, size_t size) { munmap(addr, size); }

// Single 16- or 32-bit stores: the FPGA latches a register on each access.
void linux_store(void *reg, const void *bytes, unsigned len)
{
    switch (len) {
    case 1:
        *static_cast<volatile uint8_t *>(reg) = *static_cast<const uint8_t *>(bytes);
        break;
    case 2: {
        uint16_t v;
        std::memcpy(&v, bytes, 2);
        *static_cast<volatile uint16_t *>(reg) = v;
        break;
    }
    case 4: {
        uint32_t v;
        std::memcpy(&v, bytes, 4);
        *static_cast<volatile uint32_t *>(reg) = v;
        break;
    }
    case 8: {
        uint32_t v[2];
        std::memcpy(v, bytes, 8);
        static_cast<volatile uint32_t *>(reg)[0] = v[0];
        static_cast<volatile uint32_t *>(reg)[1] = v[1];
        break;
    }
    default:
        break;
    }
}

constexpr kt33_platform linux_platform = {"linux", linux_map_uio, linux_map_mem, linux_unmap, linux_store};

std::atomic<const kt33_platform *> current{&linux_platform};

// A simulator stays loaded for the life of the process: mappings and
// register stores may refer to it at any time.
const kt33_platform *load_sim(const char *path)
{
    static std::mutex m;
    static std::string loaded_path;
    static const kt33_platform *loaded = nullptr;
    std::lock_guard lock(m);
    if (loaded && loaded_path == path)
        return loaded;
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return nullptr;
    auto entry = reinterpret_cast<kt33_sim_entry_fn>(dlsym(h, KT33_SIM_ENTRY));
    const kt33_platform *p = entry ? entry() : nullptr;
    if (!p || !p->map_uio || !p->map_mem || !p->unmap || !p->store)
        return nullptr;
    loaded = p;
    loaded_path = path;
    return p;
}

} // namespace

const kt33_platform *select_platform()
{
    const char *sim = std::getenv(KT33_SIM_ENV);
    const kt33_platform *p = (sim && *sim) ? load_sim(sim) : &linux_platform;
    if (p)
        current.store(p, std::memory_order_release);
    return p;
}

const kt33_platform &plat() { return *current.load(std::memory_order_acquire); }

bool read_first_line(const std::string &path, char *buf, size_t size)
{
    if (size == 0)
        return false;
    buf[0] = '\0';
    FILE *f = std::fopen(path.c_str(), "re");
    if (!f)
        return false;
    // fgets keeps one byte for the terminator.
    bool ok = std::fgets(buf, static_cast<int>(size), f) != nullptr;
    std::fclose(f);
    if (!ok) {
        buf[0] = '\0';
        return false;
    }
    buf[std::strcspn(buf, "\n")] = '\0';
    return true;
}

std::optional<uint64_t> read_hex_file(const std::string &path)
{
    char buf[40];
    if (!read_first_line(path, buf, sizeof buf))
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(buf, &end, 16);
    if (end == buf || errno)
        return std::nullopt;
    return v;
}

// The PCI list has one line per function: bus and device-function, vendor
// and device id, interrupt, then the base addresses.
int find_bar(uint64_t *bar)
{
    std::ifstream in(kd::rooted("/proc/bus/pci/devices"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string busdevfn, id, irq, bar0;
        if (!(fields >> busdevfn >> id >> irq >> bar0))
            continue;
        if (id != "10ee7011")
            continue;
        char *end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(bar0.c_str(), &end, 16);
        if (end == bar0.c_str() || *end || errno)
            return -1;
        *bar = v;
        return 1;
    }
    return 0;
}

std::string sysfs_uio(unsigned dev) { return kd::rooted("/sys/class/uio/uio" + std::to_string(dev)); }

int find_uio(std::string_view name_prefix)
{
    for (unsigned i = 0; i < 5; ++i) {
        std::string dir = sysfs_uio(i);
        if (access(dir.c_str(), F_OK) != 0)
            break;
        char name[32];
        if (!read_first_line(dir + "/name", name, sizeof name))
            continue;
        if (std::string_view(name).substr(0, name_prefix.size()) == name_prefix)
            return static_cast<int>(i);
    }
    return -1;
}

std::optional<Region> find_region(std::string_view map_name)
{
    for (unsigned dev = 0;; ++dev) {
        std::string dir = sysfs_uio(dev);
        unsigned map = 0;
        for (;; ++map) {
            std::string mdir = dir + "/maps/map" + std::to_string(map);
            char name[32];
            if (!read_first_line(mdir + "/name", name, sizeof name))
                break;
            if (map_name != name)
                continue;
            auto addr = read_hex_file(mdir + "/addr");
            auto size = read_hex_file(mdir + "/size");
            if (!addr || !size || *addr == 0 || *size == 0)
                return std::nullopt;
            return Region{dev, map, *addr, *size};
        }
        if (map == 0) // a device without maps ends the search
            return std::nullopt;
    }
}

int open_uio(unsigned dev)
{
    return open(kd::rooted("/dev/uio" + std::to_string(dev)).c_str(), O_RDWR | O_CLOEXEC);
}

} // namespace kt33
