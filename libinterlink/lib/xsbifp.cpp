// IFP flash operations on one carrier: id, update, verify, erase, program,
// read and refresh, with the image chosen through a package file.
#include "ifp.h"

#include <kerrow/path.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

extern "C" {
const err_num_msg_t err_num_msg[] = {
    {ERR_ID_NO_CARRIER, "id no carrier"},
    {ERR_NO_MEMORY, "no memory"},
    {ERR_IFNAME_ARG, "interface argument"},
    {ERR_SOURCE_ARG, "source argument"},
    {ERR_DESTINATION_ARG, "destination argument"},
    {ERR_LIBRARY_ARG, "library argument"},
    {ERR_PACKAGE_ARG, "package argument"},
    {ERR_FILE_ARG, "file argument"},
    {ERR_OFFSET_ARG, "offset argument"},
    {ERR_SIZE_ARG, "size argument"},
    {ERR_OP_ARG, "operation argument"},
    {ERR_FILE_READ, "file read error"},
    {ERR_FILE_WRITE, "file write error"},
    {ERR_FILE_MODE, "file mode error"},
    {ERR_FILE_OPEN, "unable to open file"},
    {ERR_FILE_SEEK, "unable to seek in file"},
    {ERR_REQUEST_SEND, "request send"},
    {ERR_REQUEST_SIZE, "request size"},
    {ERR_RESPONSE_RECV, "response receive"},
    {ERR_RESPONSE_SIZE, "response size"},
    {ERR_RESPONSE_TIMEOUT, "response timeout"},
    {ERR_RESPONSE_POLL, "response poll"},
    {ERR_REQRSP_SOCKET, "request-response socket"},
    {ERR_REQRSP_RETRIES, "request-response retries"},
    {ERR_LIBRARY_NONE, "library none"},
    {ERR_PACKAGE_NONE, "package none"},
    {ERR_GROUP_NONE, "group none"},
    {ERR_FILE_NONE, "file none"},
    {ERR_TARGET, "target"},
    {ERR_TARGET_DESIGN, "target design"},
    {ERR_TARGET_PREAMBLE, "target preamble"},
    {ERR_VERIFY_FAIL, "verify fail"},
    {ERR_VERIFY_NONE, "verify none"},
    {ERR_ERASE_FAIL, "erase failed"},
    {ERR_ERASE_NONE, "erase none"},
    {ERR_ERASE_TIMEOUT, "erase timeout"},
    {ERR_PROGRAM_FAIL, "program failed"},
    {ERR_PROGRAM_NONE, "program none"},
    {ERR_PROGRAM_TIMEOUT, "program timeout"},
    {ERR_READ_FAIL, "read fail"},
    {ERR_NONE, nullptr},
};
}

namespace xsb::ifp {

namespace {

constexpr const char *DEFAULT_LIBRARY = "/usr/local/share/xsbifp";
constexpr int HEADER_SCAN = 1024; // the image header that names the design
constexpr uint8_t PREAMBLE = 0xBD;
constexpr int ERASE_POLLS = 150;
constexpr int PROGRAM_POLLS = 100;

// Lattice MachXO3 device identification codes (JTAG IDCODE). The flash
// variants (XO3LF) carry bit 29 in addition.
struct fpga_name_entry {
    uint32_t id;
    const char *suffix;
};
constexpr fpga_name_entry fpga_id_name[] = {
    {0xC12B2043, "640E"},   {0x412B2043, "1300E"},  {0xC12BB043, "1300C"}, {0xC12B3043, "1200E"},
    {0x412B3043, "2100E"},  {0x412BB043, "2100C"},  {0xC12B4043, "2100E"}, {0xC12BC043, "2100C"},
    {0x412B4043, "4300E"},  {0x412BC043, "4300C"},  {0xC12BD043, "4300C"}, {0x412B5043, "6900E"},
    {0x412BD043, "6900C"},  {0x412B6043, "9400E"},  {0x412BE043, "9400C"},
};
constexpr uint32_t FLASH_VARIANT_BIT = 1u << 29;

const char *ssf_mfg_name(uint8_t id)
{
    switch (id) {
    case 0x20:
        return "Micron/ST";
    case 0xEF:
        return "Micron/Numonyx";
    default:
        return nullptr;
    }
}

const char *err_text(int e)
{
    for (const err_num_msg_t *m = err_num_msg; m->msg; ++m)
        if (m->num == e)
            return m->msg;
    return "???";
}

// Request data of the identification: a Wishbone byte stream that reads the
// device id (0xE0), trace id (0x19), user code (0xC0) and status (0x3C)
// through the configuration port. Each F3 FF pair reads one byte, which the
// response carries at the FF's position.
const uint8_t WB_ID_REQUEST[89] = {
    0x00,
    0x70, 0x80, 0x71, 0xE0, 0x71, 0x00, 0x71, 0x00, 0x71, 0x00,
    0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0x70, 0x00,
    0x70, 0x80, 0x71, 0x19, 0x71, 0x00, 0x71, 0x00, 0x71, 0x00,
    0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF,
    0x70, 0x00,
    0x70, 0x80, 0x71, 0xC0, 0x71, 0x00, 0x71, 0x00, 0x71, 0x00,
    0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0x70, 0x00,
    0x70, 0x80, 0x71, 0x3C, 0x71, 0x00, 0x71, 0x00, 0x71, 0x00,
    0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0xF3, 0xFF, 0x70, 0x00,
};
// Wishbone REFRESH (0x79): the FPGA reloads its configuration from flash.
const uint8_t WB_REFRESH_REQUEST[11] = {0x05, 0x70, 0x80, 0x71, 0x79, 0x71, 0x00, 0x71, 0x00, 0x70, 0x00};

enum class kind { id, update, verify, program, erase, refresh, read };

// An XSB address text "exy" (exactly three hexadecimal digits) as a number;
// -1 for anything else.
long parse_hex(const char *s)
{
    if (!s || std::strlen(s) != 3)
        return -1;
    long v = 0;
    for (const char *c = s; *c; ++c) {
        if (!std::isxdigit(static_cast<unsigned char>(*c)))
            return -1;
        v = v * 16 + (std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0' : (std::tolower(*c) - 'a' + 10));
    }
    return v;
}

// A whole text as an integer of any base (0x.., 0.., decimal), at least min.
bool parse_int(const char *text, long min, int &out)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (end == text || *end || errno || v < min || v > 0x7FFFFFFF)
        return false;
    out = int(v);
    return true;
}

bool is_dir(const std::string &p)
{
    struct stat st{};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool is_file(const std::string &p)
{
    struct stat st{};
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Copies text into a fixed field; false when it does not fit.
template <size_t N> bool set_field(char (&dst)[N], std::string_view s)
{
    const size_t n = std::min(s.size(), N - 1);
    std::memcpy(dst, s.data(), n);
    dst[n] = '\0';
    return s.size() < N;
}

// One run of xsbifp_op.
class operation {
public:
    operation(xsbifp &x, const printer &p) : x_(x), p_(p), ctx_(x, p) {}
    int run();

private:
    int fail(ERR e)
    {
        x_.err = e;
        return -1;
    }
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void word(const char *w) { add("  %s", w); }
    // Errors of the target file follow its "  TGF=..." entry without a gap,
    // like the other "...(ERR)" entries of the summary.
    void error_word(const char *w) { add("%s", w); }
    int prepare_paths();
    int find_target();
    int confirm_target();
    int check_fit();
    int dispatch();
    int op_id();
    int op_update();
    int erase_sequence(int span);
    // Flash steps.
    int read_page(uint8_t (&page)[PAGE], int &n);
    template <class Step> int file_pages(const char *title, int &bytes, Step step);
    int verify();
    int erase_check(int span);
    int erase();
    int program();
    int read_flash();
    int wait_ready(int polls, std::chrono::microseconds pause, ERR timeout);
    void dot_every(int pos, int mask, int value)
    {
        if ((pos & mask) == value)
            p_.out(".");
    }

    xsbifp &x_;
    const printer &p_;
    exchange ctx_;
    std::string op_;
    kind kind_ = kind::id;
    long file_size_ = 0;
};

void operation::add(const char *fmt, ...)
{
    const size_t used = std::strlen(x_.log_msg);
    if (used + 1 >= sizeof x_.log_msg)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(x_.log_msg + used, sizeof x_.log_msg - used, fmt, ap);
    va_end(ap);
}

int operation::run()
{
    x_.err = ERR_NONE;
    x_.log_msg[0] = '\0';
    x_.needs_refresh = 0;
    // The caller's fixed text fields are read as texts: keep them terminated.
    x_.dst[sizeof x_.dst - 1] = '\0';
    x_.carrier[sizeof x_.carrier - 1] = '\0';
    x_.fpga[sizeof x_.fpga - 1] = '\0';
    if (!x_.op) {
        p_.err("Error: No Operation, requires one of \"id\", \"update\", \"verify\", \"erase\", "
               "\"program\", \"read\", or \"refresh\".\n");
        return fail(ERR_OP_ARG);
    }
    // Upper-cased in a copy: the caller's text may be read-only.
    op_ = x_.op;
    for (char &c : op_)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    static constexpr struct {
        const char *name;
        kind k;
        FILEMODE mode;
    } ops[] = {
        {"ID", kind::id, FILEMODE_NONE},           {"UPDATE", kind::update, FILEMODE_READ},
        {"VERIFY", kind::verify, FILEMODE_READ},   {"PROGRAM", kind::program, FILEMODE_READ},
        {"ERASE", kind::erase, FILEMODE_NONE},     {"REFRESH", kind::refresh, FILEMODE_NONE},
        {"READ", kind::read, FILEMODE_WRITE},
    };
    const auto *o = std::find_if(std::begin(ops), std::end(ops), [&](const auto &e) { return op_ == e.name; });
    if (o == std::end(ops)) {
        p_.err("Error: Unknown Operation, \"%s\" ???\n", x_.op);
        return fail(ERR_OP_ARG);
    }
    kind_ = o->k;
    x_.filemode = o->mode;

    const long src = parse_hex(x_.source);
    const long dst = parse_hex(x_.dst);
    const bool src_ok = src >= 0xE00 && src <= 0xE7F;
    const bool dst_ok = dst >= 0xE00 && dst <= 0xE70 && (dst & 0xF) == 0;
    if (kind_ == kind::id) {
        p_.out("%s\n", std::string(80, '=').c_str());
        const char label = dst_ok ? char('0' + hw_enum_to_slot_num[x_.dst[1] - '0']) : '?';
        p_.out("Carrier Slot %c, HW Enum %c Identification\n", label, dst_ok ? x_.dst[1] : '?');
        if (!src_ok) {
            p_.err("Error: XSB source address (-d %s) is invalid- must be 'exy'.\n",
                   x_.source ? x_.source : "<NULL>");
            return fail(ERR_SOURCE_ARG);
        }
        if (!dst_ok) {
            p_.err("Error: XSB destination address (-d %s) is invalid- must be 'exy'.\n", x_.dst);
            return fail(ERR_DESTINATION_ARG);
        }
    } else {
        p_.out("%s\n", std::string(40, '~').c_str());
        p_.out("Operation is \"%s\"\n", op_.c_str());
    }
    if (!x_.ifname) {
        p_.err("Error: No Ethernet interface name (-i [eth2])\n");
        return fail(ERR_IFNAME_ARG);
    }
    p_.out("(ifname=%s", x_.ifname);
    p_.out(", source=%s, destination=%s", x_.source ? x_.source : "<NULL>", x_.dst);
    if (prepare_paths() < 0)
        return -1;
    p_.out(")\n");

    int rc = ctx_.open();
    if (rc == 0)
        rc = dispatch();

    // Closing: the file first; a failed read leaves no output behind.
    const bool had_file = ctx_.fstream != nullptr;
    ctx_.fstream.reset();
    if (kind_ == kind::read && x_.err != ERR_NONE && had_file)
        unlink(x_.target_file);
    if (x_.err == ERR_NONE)
        p_.out("SUCCESS [0]\n");
    else if (x_.err == ERR_ID_NO_CARRIER)
        p_.out("Repeater\nSUCCESS [-1]\n");
    else
        p_.out("FAILURE (%s)\n", err_text(x_.err));
    return x_.err == ERR_NONE ? 0 : -1;
}

int operation::prepare_paths()
{
    if (!x_.file && x_.filemode == FILEMODE_READ) {
        std::string lib;
        if (x_.library) {
            lib = x_.library;
            while (lib.size() > 1 && lib.back() == '/')
                lib.pop_back();
            p_.out(", library=%s", lib.c_str());
        } else {
            lib = kd::rooted(DEFAULT_LIBRARY);
        }
        if (!set_field(x_.library_dir, lib) || !is_dir(lib)) {
            p_.err("Error: Library directory \"%s\" is not accessible\n", lib.c_str());
            add("  LIB=\"%s\"NONE(ERR)", lib.c_str());
            return fail(ERR_LIBRARY_ARG);
        }
        std::string pkg = lib + "/pkg";
        if (x_.package) {
            pkg = (x_.package[0] == '.' || x_.package[0] == '/') ? std::string(x_.package)
                                                                  : lib + "/" + x_.package;
            p_.out(", package=%s", x_.package);
        }
        if (!set_field(x_.package_file, pkg) || !is_file(pkg)) {
            p_.err("Error: Package file \"%s\" is not accessible\n", pkg.c_str());
            add("  PKG=\"%s\"NONE(ERR)", pkg.c_str());
            return fail(ERR_PACKAGE_ARG);
        }
        if (x_.group)
            p_.out(", group=%s", x_.group);
        set_field(x_.group_name, x_.group ? x_.group : "default");
    }
    if (x_.file) {
        if (!set_field(x_.target_file, x_.file)) {
            p_.err("Error: File name \"%s\" is too long\n", x_.file);
            add("  FILE=\"%s\"MODE(ERR)", x_.file);
            return fail(ERR_FILE_ARG);
        }
        p_.out(", file=%s", x_.file);
    } else if (kind_ == kind::read) {
        p_.err("Error: File (-f) not specified, required for \"read\" operations\n");
        add("  FILE=\"%s\"MODE(ERR)", "");
        return fail(ERR_FILE_ARG);
    }
    if (kind_ == kind::read) {
        if (x_.offset) {
            if (!parse_int(x_.offset, 0, x_.image_offset)) {
                p_.err("Error: Offset (-o %s) is invalid, must be >= 0\n", x_.offset);
                return fail(ERR_OFFSET_ARG);
            }
            p_.out(", offset=0x%.6X", x_.image_offset);
        }
        if (x_.size) {
            if (!parse_int(x_.size, 1, x_.image_size)) {
                p_.err("Error: Size (-s %s) is invalid, must be > 0\n", x_.size);
                return fail(ERR_SIZE_ARG);
            }
            p_.out(", size=0x%.6X", x_.image_size);
        }
    }
    return 0;
}

int operation::find_target()
{
    p_.out("Library Directory = \"%s\"\n", x_.library_dir);
    p_.out("Package File      = \"%s\"\n", x_.package_file);
    p_.out("Group Name        = \"%s\"\n", x_.group_name);
    char key[64];
    if (x_.function)
        std::snprintf(key, sizeof key, "%s__%s__%u", x_.carrier, x_.fpga, unsigned(x_.function));
    else
        std::snprintf(key, sizeof key, "%s__%s", x_.carrier, x_.fpga);

    std::unique_ptr<FILE, file_closer> pkg(std::fopen(x_.package_file, "r"));
    if (!pkg) {
        p_.err("Error: \"%s\" package file not opened\n", x_.package_file);
        add("  PKG=\"%s\"OPEN(ERR)", x_.package_file);
        return fail(ERR_PACKAGE_NONE);
    }
    bool matching = false, group_seen = false;
    std::string image;
    char line[512];
    while (image.empty() && std::fgets(line, sizeof line, pkg.get())) {
        char w1[512] = "", w2[512] = "";
        if (std::sscanf(line, "%511s %511s", w1, w2) < 1)
            continue;
        if (w1[0] == '@') {
            // "@name" opens the group; a lone "@" closes it. Once the
            // wanted group is open another group's name does not close it.
            if (w1[1] == '\0')
                matching = false;
            else if (std::strcmp(w1 + 1, x_.group_name) == 0)
                matching = group_seen = true;
            continue;
        }
        if (matching && std::strstr(w1, key))
            image = w2[0] ? w2 : w1;
    }
    if (!group_seen) {
        p_.err("Error: \"%s\" package file does not have a \"%s\" group\n", x_.package_file,
               x_.group_name);
        add("  GRP=\"%s\"NONE(ERR)", x_.group_name);
        return fail(ERR_GROUP_NONE);
    }
    const std::string target = image.empty() ? std::string() : std::string(x_.library_dir) + "/" + image;
    if (!set_field(x_.target_file, target) || (x_.filemode == FILEMODE_READ && !is_file(target))) {
        p_.err("Error: \"%s\" target file is not accessible\n", target.c_str());
        add("  TGF=\"%s\"OPEN(ERR)", target.c_str());
        return fail(ERR_TARGET);
    }
    p_.out("Target File       = \"%s\"\n", x_.target_file);
    add("  TGF=\"%s\"", x_.target_file);
    return 0;
}

int operation::confirm_target()
{
    if (x_.filemode == FILEMODE_WRITE) {
        ctx_.fstream.reset(std::fopen(x_.target_file, "w+"));
        if (!ctx_.fstream) {
            error_word("OPEN(ERR)");
            return fail(ERR_FILE_OPEN);
        }
        return 0;
    }
    if (x_.filemode != FILEMODE_READ) {
        error_word("MODE(ERR)");
        return fail(ERR_FILE_MODE);
    }
    ctx_.fstream.reset(std::fopen(x_.target_file, "r"));
    if (!ctx_.fstream) {
        error_word("OPEN(ERR)");
        return fail(ERR_FILE_OPEN);
    }
    FILE *f = ctx_.fstream.get();
    uint8_t head[HEADER_SCAN];
    size_t n = std::fread(head, 1, sizeof head, f);
    if (n < sizeof head) {
        // A file still being copied into place may come up short once.
        std::rewind(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = std::fread(head, 1, sizeof head, f);
        if (n < sizeof head) {
            error_word("READ(ERR)");
            return fail(ERR_FILE_READ);
        }
    }
    struct stat st{};
    file_size_ = fstat(fileno(f), &st) == 0 ? long(st.st_size) : 0;

    bool comment = false;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = head[i];
        if (b == PREAMBLE) {
            p_.out("Preamble found in target file @ 0x%.4X\n", unsigned(i));
            // The design's names must appear in the header before the
            // preamble; in the FPGA name a "-" of the file stands for "_".
            std::string text(reinterpret_cast<const char *>(head), i);
            const std::string_view carrier(x_.carrier), fpga(x_.fpga);
            const bool car = !carrier.empty() && text.find(carrier) != std::string::npos;
            std::replace(text.begin(), text.end(), '-', '_');
            const bool dev = !fpga.empty() && text.find(fpga) != std::string::npos;
            if (car && dev) {
                p_.out("Target File Confirmed\n");
                return 0;
            }
            error_word("DESIGN(ERR)");
            return fail(ERR_TARGET_DESIGN);
        }
        if (!comment && b == 0) {
            comment = true;
            p_.out("Comments found in target file @ 0x%.4X\n", unsigned(i));
        } else if (comment) {
            if (b == 0)
                p_.out("\n");
            else if (std::isprint(b))
                p_.out("%c", char(b));
        }
    }
    error_word("PREAMBLE(ERR)");
    return fail(ERR_TARGET_PREAMBLE);
}

// An image must lie inside the flash: from image_offset on, its whole size.
int operation::check_fit()
{
    if (x_.image_offset < 0 || int64_t(x_.image_offset) + file_size_ > int64_t(x_.ssf_size)) {
        p_.err("Error: image of %ld bytes at offset 0x%.6X does not fit a flash of %d bytes\n",
               file_size_, unsigned(x_.image_offset), x_.ssf_size);
        error_word("SIZE(ERR)");
        return fail(ERR_TARGET);
    }
    return 0;
}

int operation::dispatch()
{
    auto file_op = [this](int (operation::*step)(), const char *ok, const char *bad) {
        if ((x_.file ? 0 : find_target()) < 0 || confirm_target() < 0 ||
            (kind_ != kind::read && check_fit() < 0))
            return -1;
        const int rc = (this->*step)();
        word(rc == 0 ? ok : bad);
        return rc;
    };
    switch (kind_) {
    case kind::id:
        return op_id();
    case kind::verify:
        return file_op(&operation::verify, "VERIFY_OK ", "VERIFY_ERR");
    case kind::program:
        return file_op(&operation::program, "PROGRAM_OK ", "PROGRAM_ERR");
    case kind::read:
        return file_op(&operation::read_flash, "READ_OK ", "READ_ERR");
    case kind::erase: {
        const int rc = erase_sequence(x_.image_size);
        word(rc == 0 ? "ERASE_OK " : "ERASE_ERR");
        return rc;
    }
    case kind::update:
        return op_update();
    case kind::refresh:
        p_.out("Refreshing SRAM in FPGA- there will be no reply !\n");
        for (int i = 0; i < 3; ++i) {
            if (i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (ctx_.wb_send_only(WB_REFRESH_REQUEST) < 0)
                return -1;
        }
        return 0;
    }
    return fail(ERR_OP_ARG);
}

// Erase check; only when it fails, erase and check again.
int operation::erase_sequence(int span)
{
    if (erase_check(span) == 0)
        return 0;
    x_.err = ERR_NONE;
    if (erase() < 0)
        return -1;
    return erase_check(span);
}

int operation::op_update()
{
    if ((x_.file ? 0 : find_target()) < 0 || confirm_target() < 0 || check_fit() < 0)
        return -1;
    if (verify() == 0) {
        word("UP_TO_DATE ");
        return 0;
    }
    word("OUT_OF_DATE");
    // Only a flash that answered and differs is rewritten: a file or link
    // failure must not leave the carrier erased.
    if (x_.err != ERR_VERIFY_FAIL)
        return -1;
    x_.err = ERR_NONE;
    // The erase check covers everything the program step will write.
    const int written = int((file_size_ + PAGE - 1) / PAGE * PAGE);
    if (erase_sequence(std::max(x_.image_size, written)) < 0) {
        word("ERASE_ERR");
        return -1;
    }
    word("ERASE_OK ");
    if (program() < 0) {
        word("PROGRAM_ERR");
        return -1;
    }
    word("PROGRAM_OK ");
    if (verify() < 0) {
        word("VERIFY_ERR");
        return -1;
    }
    word("VERIFY_OK ");
    x_.needs_refresh = 1;
    return 0;
}

int operation::op_id()
{
    const int label = hw_enum_to_slot_num[x_.dst[1] - '0'];
    add("IFP CS=%d HW=%c", label, x_.dst[1]);

    if (ctx_.drom() < 0) {
        word("REPEATER");
        return fail(ERR_ID_NO_CARRIER);
    }
    // The ROM text is copied and terminated before it is parsed.
    char text[MAX_DATA + 1];
    const auto rom = ctx_.response();
    std::memcpy(text, rom.data(), rom.size());
    text[rom.size()] = '\0';
    char car[16] = "???", ver[16] = "???";
    if (text[0] == 'A') {
        char w1[16] = "", w2[16] = "";
        const int n = std::sscanf(text + 1, "%15s %15s", w1, w2);
        if (n >= 1)
            std::memcpy(car, w1, sizeof car);
        if (n >= 2)
            std::memcpy(ver, w2, sizeof ver);
    }
    car[9] = '\0';
    ver[8] = '\0';
    set_field(x_.carrier, car);
    set_field(x_.version, ver);

    if (ctx_.wb(WB_ID_REQUEST) < 0)
        return -1;
    const auto wb = ctx_.response();
    auto at = [&wb](size_t i) -> uint32_t { return i < wb.size() ? wb[i] : 0; };
    auto word4 = [&at](size_t i) { return at(i) << 24 | at(i + 2) << 16 | at(i + 4) << 8 | at(i + 6); };
    x_.fpga_id = word4(12);
    x_.trace_id[0] = word4(32);
    x_.trace_id[1] = word4(40);
    x_.user_code = word4(60);
    x_.status = word4(80);

    const char *family = (x_.fpga_id & FLASH_VARIANT_BIT) ? "XO3LF_" : "XO3L_";
    const auto *e = std::find_if(std::begin(fpga_id_name), std::end(fpga_id_name),
                                 [this](const auto &n) { return n.id == (x_.fpga_id & ~FLASH_VARIANT_BIT); });
    if (e != std::end(fpga_id_name))
        std::snprintf(x_.fpga, sizeof x_.fpga, "%s%s", family, e->suffix);
    else
        std::snprintf(x_.fpga, sizeof x_.fpga, "0x%.8X", unsigned(x_.fpga_id));
    x_.configuration = (x_.status & (1u << 21)) ? "SPI" : std::strstr(x_.fpga, "LF") ? "Flash" : "NVCM";

    uint8_t ff[20];
    std::memset(ff, 0xFF, sizeof ff);
    if (ctx_.mspi(SSF_CMD_READ_IDENTIFICATION, 0, ff) < 0)
        return -1;
    const auto id = ctx_.response();
    uint8_t raw[20] = {};
    std::memcpy(raw, id.data(), std::min(id.size(), sizeof raw));
    x_.ssf_id.mfg_id = raw[0];
    x_.ssf_id.mem_type = raw[1];
    x_.ssf_id.mem_capacity = raw[2];
    x_.ssf_id.cfd_length = raw[3];
    std::memcpy(x_.ssf_id.cfd, raw + 4, sizeof x_.ssf_id.cfd);
    const int cap = x_.ssf_id.mem_capacity;
    x_.ssf_size = (cap >= MEM_CAPACITY_1Mb && cap <= MEM_CAPACITY_256Mb) ? 1 << cap : 0x80000;

    p_.out("Carrier        = %s\n", x_.carrier);
    p_.out("FPGA           = %s\n", x_.fpga);
    p_.out("Version        = %s\n", x_.version);
    p_.out("Trace ID       = %.8X%.8X\n", unsigned(x_.trace_id[0]), unsigned(x_.trace_id[1]));
    p_.out("User Code      = %.8X\n", unsigned(x_.user_code));
    p_.out("Configuration  = %s\n", x_.configuration);
    if (const char *mfg = ssf_mfg_name(x_.ssf_id.mfg_id))
        p_.out("SSF Mfg ID     = %s\n", mfg);
    else
        p_.out("SSF Mfg ID     = 0x%.2X\n", x_.ssf_id.mfg_id);
    p_.out("SSF Type       = 0x%.2X\n", x_.ssf_id.mem_type);
    p_.out("SSF Capacity   = %d Mbits (0x%.2X)\n", x_.ssf_size / 0x20000, x_.ssf_id.mem_capacity);
    add("  CAR=%s  FPGA=%-11s  VER=%s  CFG=%-5s", x_.carrier, x_.fpga, x_.version, x_.configuration);
    return 0;
}

// ---- flash steps ----------------------------------------------------

// The next page of the file, padded with 0xFF; n is the bytes read (0 at the end).
int operation::read_page(uint8_t (&page)[PAGE], int &n)
{
    FILE *f = ctx_.fstream.get();
    n = int(std::fread(page, 1, PAGE, f));
    if (std::ferror(f)) {
        p_.out(" file read error\n");
        return fail(ERR_FILE_READ);
    }
    std::memset(page + n, 0xFF, size_t(PAGE - n));
    return 0;
}

// Runs `step` on each page of the file (padded with 0xFF) at its flash
// address; prints `title` once the first page went through. The number of
// pages, or -1; `bytes` counts the file's bytes.
template <class Step> int operation::file_pages(const char *title, int &bytes, Step step)
{
    std::rewind(ctx_.fstream.get());
    uint8_t page[PAGE];
    int pages = 0;
    bytes = 0;
    for (;;) {
        int n = 0;
        if (read_page(page, n) < 0)
            return -1;
        if (n == 0)
            return pages;
        if (step(page, uint32_t(x_.image_offset + pages * PAGE), pages, bytes) < 0)
            return -1;
        if (pages == 0)
            p_.out("%s", title);
        ++pages;
        bytes += n;
        dot_every(pages * PAGE, 0xFFF, 0xF00);
    }
}

int operation::verify()
{
    uint8_t ff[PAGE];
    std::memset(ff, 0xFF, sizeof ff);
    int bytes = 0;
    const int pages = file_pages("Verifying SSF .", bytes, [&](const uint8_t *page, uint32_t addr, int done, int done_bytes) {
        if (ctx_.mspi(SSF_CMD_READ_DATA_BYTES, addr, ff) < 0) {
            p_.out(" connection lost (%d pages, %d bytes, %d bits)\n", done, done_bytes, done_bytes * 8);
            return -1;
        }
        const auto got = ctx_.response();
        if (got.size() != size_t(PAGE) || std::memcmp(got.data(), page, PAGE) != 0) {
            p_.out(" mismatch at page %d\n", done);
            return fail(ERR_VERIFY_FAIL);
        }
        return 0;
    });
    if (pages < 0)
        return -1;
    if (pages == 0)
        return fail(ERR_VERIFY_NONE);
    p_.out(" done\nVerified %d pages, %d bytes, %d bits\n", pages, bytes, bytes * 8);
    return 0;
}

int operation::erase_check(int span)
{
    // From image_offset over span bytes, within the flash.
    const int64_t end = std::min<int64_t>(int64_t(x_.image_offset) + span, x_.ssf_size);
    uint8_t ff[PAGE];
    std::memset(ff, 0xFF, sizeof ff);
    p_.out("Erase Check SSF .");
    int pages = 0;
    for (int64_t addr = x_.image_offset; addr < end; addr += PAGE) {
        if (ctx_.mspi(SSF_CMD_READ_DATA_BYTES, uint32_t(addr), ff) < 0) {
            p_.out(" connection lost\n");
            return -1;
        }
        const auto got = ctx_.response();
        if (got.size() != size_t(PAGE) || std::memcmp(got.data(), ff, PAGE) != 0) {
            p_.out(" not erased at page %d\n", pages);
            return fail(ERR_ERASE_FAIL);
        }
        ++pages;
        dot_every(int(addr - x_.image_offset) + PAGE, 0xFFFF, 0);
    }
    p_.out(" done\nErased in SSF: %d pages, %d bytes, %d bits\n", pages, pages * PAGE, pages * PAGE * 8);
    return 0;
}

// Polls the status register until the write in progress ends.
int operation::wait_ready(int polls, std::chrono::microseconds pause, ERR timeout)
{
    const uint8_t ff[1] = {0xFF};
    for (int i = 1;; ++i) {
        std::this_thread::sleep_for(pause);
        if (ctx_.mspi(SSF_CMD_READ_STATUS_REGISTER, 0, ff) < 0) {
            p_.out(" connection lost\n");
            return -1;
        }
        const auto st = ctx_.response();
        if (!st.empty() && !(st[0] & SSF_STATUS_WIP))
            return 0;
        if (timeout == ERR_ERASE_TIMEOUT && i % 5 == 0)
            p_.out(".");
        if (i >= polls) {
            p_.out(" timeout\n");
            return fail(timeout);
        }
    }
}

int operation::erase()
{
    if (ctx_.mspi(SSF_CMD_WRITE_ENABLE, 0, {}) < 0 || ctx_.mspi(SSF_CMD_BULK_ERASE, 0, {}) < 0) {
        p_.out(" connection lost\n");
        return -1;
    }
    p_.out("Erasing SSF .");
    if (wait_ready(ERASE_POLLS, std::chrono::milliseconds(ctx_.times().erase_poll_ms), ERR_ERASE_TIMEOUT) < 0)
        return -1;
    p_.out(" done\nErased %d pages, %d bytes, %d bits\n", x_.ssf_size / PAGE, x_.ssf_size, x_.ssf_size * 8);
    return 0;
}

int operation::program()
{
    int bytes = 0;
    const int pages = file_pages("Programming SSF .", bytes, [&](const uint8_t *page, uint32_t addr, int done, int done_bytes) {
        if (ctx_.mspi(SSF_CMD_WRITE_ENABLE, 0, {}) < 0 ||
            ctx_.mspi(SSF_CMD_PAGE_PROGRAM, addr, std::span<const uint8_t>(page, PAGE)) < 0) {
            p_.out(" connection lost (%d pages, %d bytes, %d bits)\n", done, done_bytes, done_bytes * 8);
            return -1;
        }
        return wait_ready(PROGRAM_POLLS, std::chrono::microseconds(ctx_.times().program_poll_us),
                          ERR_PROGRAM_TIMEOUT);
    });
    if (pages < 0)
        return -1;
    if (pages == 0)
        return fail(ERR_PROGRAM_NONE);
    p_.out(" done\nProgrammed %d pages, %d bytes, %d bits\n", pages, bytes, bytes * 8);
    return 0;
}

int operation::read_flash()
{
    FILE *f = ctx_.fstream.get();
    uint8_t ff[PAGE];
    std::memset(ff, 0xFF, sizeof ff);
    p_.out("Reading SSF .");
    int pages = 0;
    // Up to image_size bytes from image_offset, never past the flash's end.
    for (int64_t pos = 0; pos < x_.image_size && x_.image_offset + pos < x_.ssf_size; pos += PAGE) {
        if (ctx_.mspi(SSF_CMD_READ_DATA_BYTES, uint32_t(x_.image_offset + pos), ff) < 0) {
            p_.out(" connection lost\n");
            return -1;
        }
        const auto got = ctx_.response();
        if (got.size() != size_t(PAGE)) {
            p_.out(" short page %d\n", pages);
            return fail(ERR_READ_FAIL);
        }
        if (std::fwrite(got.data(), 1, PAGE, f) != size_t(PAGE)) {
            p_.out(" file write error at page %d\n", pages);
            return fail(ERR_FILE_WRITE);
        }
        ++pages;
        dot_every(int(pos) + PAGE, 0xFFFF, 0);
    }
    if (std::fflush(f) != 0) {
        p_.out(" file write error at page %d\n", pages);
        return fail(ERR_FILE_WRITE);
    }
    p_.out(" done\nRead %d pages, %d bytes, %d bits\n", pages, pages * PAGE, pages * PAGE * 8);
    return 0;
}

} // namespace

} // namespace xsb::ifp

extern "C" {

XSB_API int xsbifp_init(xsbifp *x) noexcept
{
    if (!x)
        return -1;
    std::memset(x, 0, sizeof *x);
    x->ssf_size = 0x80000;
    x->image_offset = 0x10000;
    x->image_size = 0x20000;
    return 0;
}

XSB_API int xsbifp_op(xsbifp *x) noexcept
{
    if (!x) {
        xsb::global_printer().err(
            "!!! FATAL ERROR !!! NULL pointer passed to \"xsbifp_pgm(struct xsbifp *const xsbifp)\"\n");
        return -1;
    }
    // Texts go out only with logging on and a verbose request: a per-call
    // flag, so operations on other threads and the rest of the process keep
    // their standard streams.
    const xsb::printer p{xsb::global_printer().on && x->msg == MSG_VERBOSE};
    try {
        xsb::ifp::operation op(*x, p);
        return op.run();
    } catch (...) {
        x->err = ERR_NO_MEMORY;
        return -1;
    }
}

} // extern "C"
