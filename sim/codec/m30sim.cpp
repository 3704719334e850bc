// The codec-chip simulator behind the driver port.
#include "m30sim.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>

namespace m30sim {
namespace {

constexpr uint32_t main_boot = 1;
constexpr unsigned chip_ids = 4; // inputs and outputs 0 to 3

int port_open(void *ctx, const char *path, int flags) { return static_cast<Chip *>(ctx)->open(path, flags); }
int port_close(void *ctx, int fd) { return static_cast<Chip *>(ctx)->close(fd); }
int port_ioctl(void *ctx, int fd, unsigned long request, void *arg)
{
    return static_cast<Chip *>(ctx)->ioctl(fd, request, arg);
}
int port_eventfd(void *ctx, unsigned int initval, int flags)
{
    return static_cast<Chip *>(ctx)->make_eventfd(initval, flags);
}

bool valid_device(uint16_t t)
{
    return t == FMB_DEVICE_SYSTEM || t == FMB_DEVICE_CONTROL ||
           (t >= FMB_DEVICE_VEI_BASE && t < FMB_DEVICE_VEI_BASE + 4) ||
           (t >= FMB_DEVICE_TS_INPUT_BASE && t < FMB_DEVICE_TS_INPUT_BASE + 32);
}

} // namespace

Chip::Chip(int device_index)
    : device_index_(device_index), port_{this, port_open, port_close, port_ioctl, port_eventfd},
      param_(M30_PARAM_AREA_SIZE / 4, 0)
{
    do_reset(true);
}

Chip::~Chip() { stop_generator(); }

void Chip::set_driver_text(std::string text)
{
    std::lock_guard l(mu_);
    driver_text_ = std::move(text);
}

void Chip::set_firmware(const uint32_t words[5])
{
    std::lock_guard l(mu_);
    std::copy(words, words + 5, firmware_);
}

void Chip::set_echo_delay(unsigned reads)
{
    std::lock_guard l(mu_);
    echo_delay_ = reads;
}

void Chip::set_echo_never(bool never)
{
    std::lock_guard l(mu_);
    echo_never_ = never;
}

void Chip::fail_ioctl(unsigned long request, int err, int times)
{
    std::lock_guard l(mu_);
    ioctl_faults_[request] = {err, times};
}

void Chip::fail_bind(uint16_t device_type, int err)
{
    std::lock_guard l(mu_);
    bind_faults_[device_type] = {err, -1};
}

void Chip::fail_open(int err, int times, int skip)
{
    std::lock_guard l(mu_);
    open_fault_ = Fault{err, times, skip};
}

void Chip::fail_eventfd(int skip)
{
    std::lock_guard l(mu_);
    eventfd_fail_skip_ = skip;
}

// Notification descriptors are real eventfds: the simulator signals them
// the way the driver would.
int Chip::make_eventfd(unsigned int initval, int flags)
{
    std::lock_guard l(mu_);
    if (eventfd_fail_skip_ == 0) {
        eventfd_fail_skip_ = -1;
        return fail(EMFILE);
    }
    if (eventfd_fail_skip_ > 0)
        --eventfd_fail_skip_;
    return ::eventfd(initval, flags);
}

void Chip::set_state_stuck(bool stuck)
{
    std::lock_guard l(mu_);
    state_stuck_ = stuck;
}

void Chip::clear_faults()
{
    std::lock_guard l(mu_);
    ioctl_faults_.clear();
    bind_faults_.clear();
    open_fault_.reset();
    eventfd_fail_skip_ = -1;
    echo_never_ = false;
    echo_delay_ = 0;
    state_stuck_ = false;
    error_after_start_.clear();
    pending_.reset();
}

void Chip::error_after_next_start(unsigned long request)
{
    std::lock_guard l(mu_);
    error_after_start_.insert(request);
}

void Chip::set_vsync(uint32_t vi_id, bool on)
{
    std::lock_guard l(mu_);
    if (on)
        vsync_off_.erase(vi_id);
    else
        vsync_off_.insert(vi_id);
}

bool Chip::param_addr(uint32_t addr) const
{
    return addr >= M30_PARAM_AREA_BASE && addr - M30_PARAM_AREA_BASE < M30_PARAM_AREA_SIZE;
}

uint32_t Chip::peek(uint32_t addr) const
{
    std::lock_guard l(mu_);
    if (param_addr(addr))
        return param_[(addr - M30_PARAM_AREA_BASE) / 4];
    auto it = regs_.find(addr);
    return it == regs_.end() ? 0 : it->second;
}

void Chip::poke(uint32_t addr, uint32_t value)
{
    std::lock_guard l(mu_);
    if (param_addr(addr))
        param_[(addr - M30_PARAM_AREA_BASE) / 4] = value;
    else
        regs_[addr] = value;
}

std::vector<LoadRun> Chip::load_log() const
{
    std::lock_guard l(mu_);
    return load_log_;
}

void Chip::clear_load_log()
{
    std::lock_guard l(mu_);
    load_log_.clear();
}

unsigned Chip::reg_reads(uint32_t addr) const
{
    std::lock_guard l(mu_);
    auto it = reads_.find(addr);
    return it == reads_.end() ? 0 : it->second;
}

unsigned Chip::ioctl_count(unsigned long request) const
{
    std::lock_guard l(mu_);
    auto it = counts_.find(request);
    return it == counts_.end() ? 0 : it->second;
}

void Chip::reset_counts()
{
    std::lock_guard l(mu_);
    reads_.clear();
    counts_.clear();
    main_state_reqs_.clear();
    input_reqs_.clear();
    output_reqs_.clear();
    resets_.clear();
    bind_order_.clear();
}

unsigned Chip::open_handles() const
{
    std::lock_guard l(mu_);
    return static_cast<unsigned>(handles_.size());
}

std::multiset<uint16_t> Chip::bound_devices() const
{
    std::lock_guard l(mu_);
    std::multiset<uint16_t> s;
    for (const auto &[fd, dev] : handles_)
        if (dev)
            s.insert(dev);
    return s;
}

std::vector<uint16_t> Chip::bind_order() const
{
    std::lock_guard l(mu_);
    return bind_order_;
}

std::vector<std::pair<unsigned long, std::vector<uint32_t>>> Chip::main_state_requests() const
{
    std::lock_guard l(mu_);
    return main_state_reqs_;
}

std::vector<fmb_input_id_state_info> Chip::input_requests() const
{
    std::lock_guard l(mu_);
    return input_reqs_;
}

std::vector<fmb_output_id_state_info> Chip::output_requests() const
{
    std::lock_guard l(mu_);
    return output_reqs_;
}

std::vector<bool> Chip::resets() const
{
    std::lock_guard l(mu_);
    return resets_;
}

std::optional<int> Chip::notification_fd(fmb_message_target target, uint32_t id) const
{
    std::lock_guard l(mu_);
    auto it = notify_.find({target, id});
    if (it == notify_.end())
        return std::nullopt;
    return it->second;
}

bool Chip::post_message(fmb_message_target target, uint32_t id, uint32_t message_id,
                        std::span<const uint32_t> params)
{
    std::lock_guard l(mu_);
    return push_locked(target, id, message_id, {params.begin(), params.end()});
}

bool Chip::push_locked(fmb_message_target target, uint32_t id, uint32_t message_id, std::vector<uint32_t> params)
{
    auto it = notify_.find({target, id});
    if (it == notify_.end() || params.size() > 65)
        return false;
    fifos_[{target, id}].push_back({message_id, std::move(params)});
    eventfd_write(it->second, 1);
    return true;
}

std::vector<Chip::DetectPid> Chip::dmx_detect_pids(uint32_t chip_id) const
{
    std::lock_guard l(mu_);
    return detect_pids_locked(chip_id);
}

// The DMX block of a chip id: word 9 bits 0 to 3 enable the four "other"
// PIDs, words 10 and 11 hold them (PID 1 and 3 in the upper halves), word
// 12 their formats a byte each.
std::vector<Chip::DetectPid> Chip::detect_pids_locked(uint32_t chip_id) const
{
    std::vector<DetectPid> out;
    size_t base = (0x2000A000u + 0x100u * chip_id - M30_PARAM_AREA_BASE) / 4;
    if (base + 13 > param_.size())
        return out;
    uint32_t en = param_[base + 9];
    for (unsigned n = 0; n < 4; ++n) {
        if (!(en & (1u << n)))
            continue;
        uint32_t w = param_[base + 10 + n / 2];
        auto pid = static_cast<uint16_t>(n % 2 ? w >> 16 : w & 0xFFFF);
        auto fmt = static_cast<uint8_t>(param_[base + 12] >> (8 * n));
        out.push_back({n, pid, fmt});
    }
    return out;
}

void Chip::start_generator(const GeneratorConfig &cfg)
{
    stop_generator();
    {
        std::lock_guard l(mu_);
        gen_cfg_ = cfg;
        gen_stop_ = false;
    }
    gen_thread_ = std::thread([this] { generator_main(); });
}

void Chip::stop_generator()
{
    {
        std::lock_guard l(mu_);
        gen_stop_ = true;
    }
    gen_cv_.notify_all();
    if (gen_thread_.joinable())
        gen_thread_.join();
}

void Chip::generator_main()
{
    std::unique_lock l(mu_);
    auto next = std::chrono::steady_clock::now();
    for (uint64_t frame = 0; !gen_stop_; ++frame) {
        generator_tick(frame);
        next += std::chrono::microseconds(gen_cfg_.frame_period_us);
        gen_cv_.wait_until(l, next, [this] { return gen_stop_; });
    }
}

void Chip::generator_tick(uint64_t frame)
{
    // Only a running chip talks.
    uint32_t state = regs_[M30_REG_MAIN_STATE];
    if (state != 3 && state != 4) {
        run_frame_ = 0;
        return;
    }
    // The occasional reports count from the start of running, so the first
    // running frame carries them.
    bool slow = run_frame_++ % 25 == 0;
    const GeneratorConfig &g = gen_cfg_;
    // 90 kHz PTS (ISO/IEC 13818-1 2.4.3.7), 33 bits.
    uint64_t pts = (frame * g.frame_period_us * 9 / 100) & 0x1FFFFFFFFull;
    std::vector<Key> units;
    for (const auto &[key, fd] : notify_)
        units.push_back(key);
    for (const auto &[target, id] : units) {
        auto t = static_cast<fmb_message_target>(target);
        switch (t) {
        case FMB_MESSAGE_TARGET_VD:
            if (g.pictures && run_frame_ > g.decode_delay) {
                const uint64_t picture = run_frame_ - 1 - g.decode_delay;
                const uint64_t p = g.start_pts || g.decode_delay
                                       ? (g.start_pts + picture * g.frame_period_us * 9 / 100) & 0x1FFFFFFFFull
                                       : pts;
                push_locked(t, id, 1, {0, 0x100u | static_cast<uint32_t>(p >> 32), static_cast<uint32_t>(p)});
            }
            break;
        case FMB_MESSAGE_TARGET_DMX:
            if (g.pcr)
                push_locked(t, id, 1, {0, static_cast<uint32_t>(pts), 0x10000u | static_cast<uint32_t>(frame % 300),
                                       static_cast<uint32_t>(frame << 9)});
            if (g.buffer_levels && slow)
                push_locked(t, id, 2, {0, 1u << ((run_frame_ - 1) / 25 % 4)});
            if (g.stream_errors && slow)
                push_locked(t, id, 3, {0, g.stream_errors});
            if (g.pid_detect && slow)
                for (const DetectPid &d : detect_pids_locked(id)) {
                    // A short section or PES head naming its PID.
                    std::vector<uint32_t> p = {0, 1u << d.slot, 8, 0x00000047u | (uint32_t(d.pid) << 8), 0x10u};
                    push_locked(t, id, 4, std::move(p));
                }
            break;
        case FMB_MESSAGE_TARGET_AD:
            if (g.audio_info)
                push_locked(t, id, 1, {});
            break;
        case FMB_MESSAGE_TARGET_VI:
            if (g.frame_captures)
                // Channel, frame count, capture time, time valid, -, input
                // normal (1), two further words.
                push_locked(t, id, 1, {id, static_cast<uint32_t>(run_frame_), static_cast<uint32_t>(pts), 1, 0, 1, 0, 0});
            if (g.vsync && !vsync_off_.count(id))
                push_locked(t, id, 2, {id});
            break;
        default:
            break;
        }
    }
}

size_t Chip::pending_messages(fmb_message_target target, uint32_t id) const
{
    std::lock_guard l(mu_);
    auto it = fifos_.find({target, id});
    return it == fifos_.end() ? 0 : it->second.size();
}

int Chip::fail(int err)
{
    errno = err;
    return -1;
}

bool Chip::take_fault(std::map<unsigned long, Fault> &faults, unsigned long key, int &err)
{
    auto it = faults.find(key);
    if (it == faults.end())
        return false;
    err = it->second.err;
    if (it->second.times > 0 && --it->second.times == 0)
        faults.erase(it);
    return true;
}

int Chip::open(const char *path, int flags)
{
    std::lock_guard l(mu_);
    if (open_fault_ && open_fault_->skip > 0) {
        --open_fault_->skip;
    } else if (open_fault_) {
        int err = open_fault_->err;
        if (open_fault_->times > 0 && --open_fault_->times == 0)
            open_fault_.reset();
        return fail(err);
    }
    std::string want = "/dev/m30smb" + std::to_string(device_index_);
    std::string_view p(path ? path : "");
    if (p.size() < want.size() || p.substr(p.size() - want.size()) != want)
        return fail(ENOENT);
    if ((flags & O_ACCMODE) != O_RDWR)
        return fail(EACCES);
    int fd = next_fd_++;
    handles_[fd] = 0;
    return fd;
}

int Chip::close(int fd)
{
    std::lock_guard l(mu_);
    return handles_.erase(fd) ? 0 : fail(EBADF);
}

void Chip::do_reset(bool)
{
    regs_[M30_REG_MAIN_STATE] = main_boot;
    for (unsigned id = 0; id < chip_ids; ++id) {
        regs_[M30_REG_INPUT_STATE(id)] = 1;  // stop
        regs_[M30_REG_OUTPUT_STATE(id)] = 1; // stop
    }
    fifos_.clear();
}

uint32_t Chip::read_reg(uint32_t addr)
{
    ++reads_[addr];
    if (!param_addr(addr)) {
        auto it = regs_.find(addr);
        return it == regs_.end() ? 0 : it->second;
    }
    if (pending_ && pending_->addr == addr) {
        if (pending_->never)
            return pending_->old_value;
        if (pending_->reads_left > 0) {
            --pending_->reads_left;
            return pending_->old_value;
        }
        pending_.reset();
    }
    return param_[(addr - M30_PARAM_AREA_BASE) / 4];
}

void Chip::write_reg(uint32_t addr, uint32_t value)
{
    if (!param_addr(addr)) {
        regs_[addr] = value;
        return;
    }
    uint32_t &word = param_[(addr - M30_PARAM_AREA_BASE) / 4];
    // One write is in flight at a time: a newer write lets the older show.
    pending_.reset();
    if (echo_delay_ || echo_never_)
        pending_ = Pending{addr, word, echo_delay_, echo_never_};
    word = value;
    if (!load_log_.empty() && load_log_.back().addr + 4 * load_log_.back().words == addr)
        ++load_log_.back().words;
    else
        load_log_.push_back({addr, 1});
}

int Chip::req_reg(uint16_t dev, unsigned long request, fmb_reg_info *r)
{
    if (dev != FMB_DEVICE_SYSTEM && dev != FMB_DEVICE_CONTROL)
        return fail(ENOTTY);
    if (!r || r->reg_num != 1 || !r->prm_data || (r->offset & 3))
        return fail(EINVAL);
    if (request == FMB_API_GET_REG)
        *r->prm_data = read_reg(r->offset);
    else
        write_reg(r->offset, *r->prm_data);
    return 0;
}

// The chip's main-state machine: BOOT and INIT are reachable from any
// state but ERROR, which only a reset leaves; ENCODE and DECODE only from
// INIT, with the record's channel mode for that direction (a V3 driver has
// one channel-mode word for both, later drivers one per direction).
int Chip::change_state(unsigned long request, const void *arg)
{
    bool v3 = request == FMB_API_CHANGE_MAIN_STATE_V3;
    size_t n = v3 ? 5 : 6;
    std::vector<uint32_t> words(n);
    std::memcpy(words.data(), arg, n * 4);
    main_state_reqs_.emplace_back(request, words);
    uint32_t next = words[0], now = regs_[M30_REG_MAIN_STATE];
    if (next < 1 || next > 4)
        return fail(EINVAL);
    auto mode_ok = [](uint32_t m) { return m == 1 || m == 2; };
    if (next == 3 || next == 4) {
        if (now != 2)
            return fail(EPERM);
        bool ok = v3 ? mode_ok(words[1])
                     : (next == 3 ? mode_ok(words[1]) && words[5] == 0 : mode_ok(words[5]) && words[1] == 0);
        if (!ok)
            return fail(EINVAL);
    } else if (now == 0xFFFFFFFFu) {
        return fail(EPERM);
    }
    if (!state_stuck_)
        regs_[M30_REG_MAIN_STATE] = next;
    return 0;
}

int Chip::ioctl(int fd, unsigned long request, void *arg)
{
    std::lock_guard l(mu_);
    ++counts_[request];
    auto h = handles_.find(fd);
    if (h == handles_.end())
        return fail(EBADF);
    int err = 0;
    if (take_fault(ioctl_faults_, request, err))
        return fail(err);
    uint16_t dev = h->second;
    if (request == FMB_API_SET_LOGICAL_DEVICE) {
        auto *info = static_cast<fmb_logical_device_info *>(arg);
        if (!info || !valid_device(info->device_type))
            return fail(EINVAL);
        if (dev)
            return fail(EBUSY);
        if (take_fault(bind_faults_, info->device_type, err))
            return fail(err);
        h->second = info->device_type;
        bind_order_.push_back(info->device_type);
        return 0;
    }
    if (!dev)
        return fail(EBADF);
    if (!arg)
        return fail(EFAULT);
    bool sys = dev == FMB_DEVICE_SYSTEM, ctl = dev == FMB_DEVICE_CONTROL;
    switch (request) {
    case FMB_API_GET_REG:
    case FMB_API_SET_REG:
        return req_reg(dev, request, static_cast<fmb_reg_info *>(arg));
    case FMB_API_CHANGE_MAIN_STATE_V3:
    case FMB_API_CHANGE_MAIN_STATE: {
        if (!sys)
            return fail(ENOTTY);
        // A driver knows only its own generation's record.
        bool v3 = !driver_text_.empty() && driver_text_[0] == '3';
        if (v3 != (request == FMB_API_CHANGE_MAIN_STATE_V3))
            return fail(ENOTTY);
        return change_state(request, arg);
    }
    case FMB_API_INPUT_STATE: {
        if (!ctl)
            return fail(ENOTTY);
        auto *in = static_cast<fmb_input_id_state_info *>(arg);
        input_reqs_.push_back(*in);
        if (in->state < 1 || in->state > 2 || in->input_id >= 32)
            return fail(EINVAL);
        regs_[M30_REG_INPUT_STATE(in->input_id)] = in->state;
        if (in->state == 2 && error_after_start_.erase(request))
            regs_[M30_REG_MAIN_STATE] = 0xFFFFFFFFu;
        return 0;
    }
    case FMB_API_OUTPUT_STATE: {
        if (!ctl)
            return fail(ENOTTY);
        auto *out = static_cast<fmb_output_id_state_info *>(arg);
        output_reqs_.push_back(*out);
        if (out->state < 1 || out->state > 3)
            return fail(EINVAL);
        for (unsigned id = 0; id < 32; ++id)
            if (out->output_id_bits & (1u << id))
                regs_[M30_REG_OUTPUT_STATE(id)] = out->state;
        if (out->state == 2 && error_after_start_.erase(request))
            regs_[M30_REG_MAIN_STATE] = 0xFFFFFFFFu;
        return 0;
    }
    case FMB_API_GET_VERSION: {
        if (!sys)
            return fail(ENOTTY);
        auto *v = static_cast<fmb_version_info *>(arg);
        std::memset(v->driver, 0, sizeof v->driver);
        std::memcpy(v->driver, driver_text_.data(), std::min(driver_text_.size(), sizeof v->driver));
        std::copy(firmware_, firmware_ + 5, v->mcpu_firm);
        // The driver fills both scratch areas whole.
        if (v->firm_ver_reg_info_p)
            std::memset(v->firm_ver_reg_info_p, 0xA5, FMB_VERSION_SCRATCH_SIZE);
        if (v->user_firm_ver_reg_info_p)
            std::memset(v->user_firm_ver_reg_info_p, 0x5A, FMB_VERSION_SCRATCH_SIZE);
        std::snprintf(v->base_firm, sizeof v->base_firm, "base-sim");
        std::snprintf(v->system_firm, sizeof v->system_firm, "system-sim");
        return 0;
    }
    case FMB_API_RESET: {
        if (!sys)
            return fail(ENOTTY);
        bool force = static_cast<fmb_reset_info *>(arg)->is_force_reset;
        resets_.push_back(force);
        do_reset(force);
        return 0;
    }
    case FMB_API_ENABLE_MESSAGE_NOTIFICATION: {
        if (!ctl)
            return fail(ENOTTY);
        auto *e = static_cast<fmb_enable_message_notification_info *>(arg);
        if (e->event_fd < 0 || e->message_target >= FMB_MESSAGE_TARGET_MAX)
            return fail(EINVAL);
        notify_[{e->message_target, e->target_id}] = e->event_fd;
        return 0;
    }
    case FMB_API_DISABLE_MESSAGE_NOTIFICATION: {
        if (!ctl)
            return fail(ENOTTY);
        auto *d = static_cast<fmb_disable_message_notification_info *>(arg);
        notify_.erase({d->message_target, d->target_id});
        fifos_.erase({d->message_target, d->target_id});
        return 0;
    }
    case FMB_API_GET_MESSAGE: {
        if (!ctl)
            return fail(ENOTTY);
        auto *m = static_cast<fmb_message_info *>(arg);
        auto it = fifos_.find({m->message_target, m->target_id});
        if (it == fifos_.end() || it->second.empty())
            return fail(EAGAIN);
        Message msg = std::move(it->second.front());
        it->second.erase(it->second.begin());
        m->message_id = msg.message_id;
        std::memset(m->message_param, 0, sizeof m->message_param);
        std::copy(msg.params.begin(), msg.params.end(), m->message_param);
        return 0;
    }
    case FMB_API_ENQUEUE_VRAW_DATA:
        return dev >= FMB_DEVICE_VEI_BASE && dev < FMB_DEVICE_VEI_BASE + 4 ? 0 : fail(ENOTTY);
    case FMB_API_ENQUEUE_STREAM_DATA:
        return dev >= FMB_DEVICE_TS_INPUT_BASE ? 0 : fail(ENOTTY);
    default:
        return fail(ENOTTY);
    }
}

} // namespace m30sim
