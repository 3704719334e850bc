// tablesdump: prints the PSI and ATSC tables of a transport-stream file, or
// follows a BISS-CA protected service (ECM/EMM to a receiver, CISSA
// descrambling, the processed packets written out).
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "dumper.h"

namespace {

const char kUsage[] = "tablesdump prints information about tables in TS file\n\n"
                      "  tablesdump [OPTIONS] [FILE]\n\n"
                      "Options:\n"
                      "  -p | --pid=PID        Only report table sections in PID\n"
                      "  -c | --ca=PRIVKEYFILE Only report CA table sections\n"
                      "  --emm=PID             Externally specify EMM PID\n"
                      "  --ecm=PID             Externally specify ECM PID\n"
                      "  -o | --out=FILE       Write processed packet data out\n"
                      "  -v | --verbose        Enable verbose output\n"
                      "  -h | --help           Show this message";

void on_log(void *, enum mpegts_log_level, const char *fmt, ...)
{
    std::fputs("mpegts: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// A PID in any base strtol accepts; -1 for text that is no PID.
int parse_pid(const char *text)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != 0 || v < 0 || v >= TS_PID_NULL)
        return -1;
    return int(v);
}

ssize_t read_full(int fd, uint8_t *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += size_t(n);
    }
    return ssize_t(got);
}

// Up to 4096 bytes of the key file; empty when it cannot be read.
std::string read_key(const char *path)
{
    std::string text;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Private Key not found %s\n", path);
        return text;
    }
    text.resize(4096);
    ssize_t n = read_full(fd, reinterpret_cast<uint8_t *>(text.data()), text.size());
    ::close(fd);
    text.resize(n < 0 ? 0 : size_t(n));
    return text;
}

struct free_mem {
    void operator()(void *p) const { std::free(p); }
};

struct fd_owner {
    int fd = -1;
    ~fd_owner()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

int run(int argc, char **argv)
{
    enum { opt_emm = 256, opt_ecm };
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},   {"verbose", no_argument, nullptr, 'v'},
        {"pid", required_argument, nullptr, 'p'}, {"ca", required_argument, nullptr, 'c'},
        {"emm", required_argument, nullptr, opt_emm}, {"ecm", required_argument, nullptr, opt_ecm},
        {"out", required_argument, nullptr, 'o'}, {nullptr, 0, nullptr, 0},
    };
    bool verbose = false;
    int pid = -1, emm_pid = -1, ecm_pid = -1;
    const char *key_file = nullptr, *out_file = nullptr;
    for (int c; (c = getopt_long(argc, argv, "hvp:o:c:", long_options, nullptr)) != -1;) {
        switch (c) {
        case 'v':
            verbose = true;
            break;
        case 'p':
        case opt_emm:
        case opt_ecm: {
            int v = parse_pid(optarg);
            if (v < 0) {
                std::fprintf(stderr, "tablesdump: invalid PID %s\n", optarg);
                return 1;
            }
            (c == 'p' ? pid : c == opt_emm ? emm_pid : ecm_pid) = v;
            break;
        }
        case 'c':
            key_file = optarg;
            break;
        case 'o':
            out_file = optarg;
            break;
        default: // -h and unknown options
            std::printf("%s\n", kUsage);
            return 0;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "tablesdump: no input file\n%s\n", kUsage);
        return 1;
    }
    const char *in_file = argv[optind];

    mpegts_set_on_log(on_log, nullptr);
    const tdump::mode m = key_file ? tdump::mode::ca : pid >= 0 ? tdump::mode::pid : tdump::mode::summary;
    tdump::dumper d(m, verbose, stdout, stderr);
    fd_owner out;
    if (m == tdump::mode::summary) {
        d.add_summary_slots();
    } else if (m == tdump::mode::pid) {
        if (verbose)
            std::fprintf(stderr, "option PID with value %d\n", pid);
        d.add_slot(uint16_t(pid), 2048);
    } else {
        d.add_slot(0, 1024);
        d.add_slot(1, 1024);
        if (emm_pid >= 0) {
            if (verbose)
                std::fprintf(stderr, "Adding BISS2CA EMM PID %d (0x%X)\n", emm_pid, unsigned(emm_pid));
            d.set_emm_pid(uint16_t(emm_pid));
            d.add_slot(uint16_t(emm_pid), 4096);
        }
        if (ecm_pid >= 0) {
            if (verbose)
                std::fprintf(stderr, "Adding BISS2CA ECM PID %d (0x%X)\n", ecm_pid, unsigned(ecm_pid));
            d.set_ecm_pid(uint16_t(ecm_pid));
            d.add_slot(uint16_t(ecm_pid), 4096);
        }
        if (!d.set_receiver(read_key(key_file))) {
            std::fprintf(stderr, "Failed constructing decrypter\n");
            return 1;
        }
        std::printf("Decrypter ekid %s\n", d.receiver_key_id().c_str());
        if (out_file) {
            out.fd = ::open(out_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
            if (out.fd < 0) {
                std::perror(out_file);
                return -1;
            }
            d.set_output(out.fd);
        }
    }

    fd_owner in;
    in.fd = ::open(in_file, O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        std::perror(in_file);
        return -1;
    }
    if (verbose)
        std::fprintf(stderr, "Performing analysis of file %s\n", in_file);

    // On a page boundary: the kernel copies into a misaligned buffer some
    // 25% slower, and the copy is most of the run. Not cleared first: every
    // read writes it before it is looked at.
    static_assert(tdump::kReadSize % 4096 == 0);
    const std::unique_ptr<uint8_t, free_mem> buf(static_cast<uint8_t *>(std::aligned_alloc(4096, tdump::kReadSize)));
    if (!buf) {
        std::perror("tablesdump");
        return -1;
    }
    for (;;) {
        ssize_t n = read_full(in.fd, buf.get(), tdump::kReadSize);
        if (n < 0) {
            std::perror("tablesdump");
            return -1;
        }
        if (n == 0)
            break;
        if (!d.process_read(std::span<uint8_t>(buf.get(), size_t(n)))) {
            std::perror(out_file);
            return -1;
        }
    }
    if (m == tdump::mode::summary)
        d.print_summary();
    if (out.fd >= 0) {
        int fd = out.fd;
        out.fd = -1;
        if (::close(fd) != 0) {
            std::perror(out_file);
            return -1;
        }
    }
    return 0; // main flushes the output and reports a failed write
}

} // namespace

int main(int argc, char **argv)
{
    int rc = run(argc, argv);
    // Output that could not be written is a failure too (a full disk, a
    // closed pipe).
    errno = 0;
    bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
        std::fprintf(stderr, "tablesdump: cannot write the output: %s\n", std::strerror(errno ? errno : EIO));
        return rc != 0 ? rc : 1;
    }
    return rc;
}
