// The alarm service.
//
// Loop thread: the registry (records in registration order, an index by
// label), the history, the parameter tables and the events. The one
// crossing point from other threads is the report queue, whose mutex covers
// its indices, its entries and whether the service is open at all; it is
// never held while a report is applied.
//
// An active row reads its time from the record's own copy of the moment it
// became active, so trimming the bounded history never leaves it dangling.
#include "../frame_internal.h"
#include "alarm_internal.h"

#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>

#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

struct AlarmRec {
    kd_alarm pub;             // the events' payload
    unsigned number;          // registration order, from 0
    time_t active_since = 0;  // time of the change that made it active
};

struct alarmhist_entry {
    AlarmRec *alarm;
    alarm_state state;
    time_t alarm_time;
};

// Enough for days of flapping inputs; the oldest changes go first.
constexpr size_t kHistoryMax = 1000;

struct Service {
    std::list<AlarmRec> alarms; // registration order; nodes never move
    std::map<std::string, AlarmRec *, std::less<>> index;
    std::deque<alarmhist_entry> history;
    param_context *list = nullptr;
    param_context *history_table = nullptr;
    param_context *active_table = nullptr;
};
std::unique_ptr<Service> g_svc;

struct alarm_queue_entry {
    char label[KD_ALARM_LABEL_SIZE];
    alarm_state state;
};

constexpr unsigned kQueueSlots = 100; // one always free: 99 pending at most

// Lives for the whole process, so a post racing with fini finds a closed
// queue instead of freed memory.
struct alarm_queue {
    std::mutex queue_mutex;
    bool open = false;
    unsigned idx_r = 0, idx_w = 0;
    std::array<alarm_queue_entry, kQueueSlots> entries{};
} g_queue;

// Labels must fit the record with their terminator.
bool label_fits(const char *label) { return strnlen(label, KD_ALARM_LABEL_SIZE) < KD_ALARM_LABEL_SIZE; }

// "frame_alarm_<label>", lowered, blanks as "_".
std::string event_name(std::string_view label)
{
    std::string name = "frame_alarm_";
    name.append(label);
    for (char &c : name) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
        if (c == ' ')
            c = '_';
    }
    return name;
}

AlarmRec *rec_of(param_context *p) { return static_cast<AlarmRec *>(kd_param_get_userdata(p)); }

const char *name_value(param_context *p) { return rec_of(p)->pub.label; }
const char *description_value(param_context *p) { return rec_of(p)->pub.description; }

// A fresh text for the reader, who releases it through the registry.
const char *time_value(param_context *p)
{
    constexpr size_t kSize = 50;
    char *text = static_cast<char *>(calloc(1, kSize));
    if (!text)
        return nullptr;
    time_t t = rec_of(p)->active_since;
    struct tm local;
    if (localtime_r(&t, &local))
        strftime(text, kSize, "%m-%d-%Y %T", &local);
    kd_ref_init_ptr(text, nullptr);
    return text;
}

// The row's key: the label's (as the tree makes it), unless a live row of
// another alarm already holds it (labels that differ only in case).
std::string row_key(const AlarmRec &rec)
{
    std::string key;
    for (char c : std::string_view(rec.pub.label)) {
        if (c == '/' || std::isspace(static_cast<unsigned char>(c)))
            c = '_';
        key.push_back(char(std::tolower(static_cast<unsigned char>(c))));
    }
    std::string route = std::string(kd_param_get_scope(g_svc->active_table)) + "/" + key;
    param_context *taken = kd_param_get_by_route(route.c_str());
    if (taken && kd_param_get_type(taken) != PARAMTYPE_NONE)
        key += "_" + std::to_string(rec.number);
    return key;
}

void add_row(AlarmRec &rec)
{
    param_context *row = kd_param_alloc_row(g_svc->active_table, row_key(rec).c_str(), rec.pub.label);
    if (!row)
        return; // logged by the tree
    kd_param_alloc_string(row, nullptr, "Name", PARAMCTRL_RDONLY, nullptr, name_value, nullptr, &rec);
    kd_param_alloc_string(row, nullptr, "Description", PARAMCTRL_RDONLY, nullptr,
                          description_value, nullptr, &rec);
    kd_param_alloc_string(row, nullptr, "Time", PARAMCTRL_RDONLY, nullptr, time_value, nullptr, &rec);
}

// The alarm's live row, found by the record its cells read from: the tree
// may have reworded the label (a "%d" in it) and labels that differ only
// in case show the same text in different rows.
bool remove_row(const AlarmRec &rec)
{
    param_context *table = g_svc->active_table;
    size_t n = kd_param_list_count(table);
    if (n == size_t(-1))
        return false;
    for (size_t i = 0; i < n; ++i) {
        param_context *row = kd_param_list_index(table, int(i));
        if (kd_param_get_type(row) == PARAMTYPE_NONE)
            continue;
        param_context *name = kd_param_list_index(row, 0);
        if (name && kd_param_get_type(name) == PARAMTYPE_STRING && rec_of(name) == &rec) {
            kd_param_list_delete_index(table, unsigned(i));
            return true;
        }
    }
    return false;
}

void close_queue()
{
    std::lock_guard lock(g_queue.queue_mutex);
    g_queue.open = false;
    g_queue.idx_r = g_queue.idx_w = 0;
}

} // namespace

extern "C" void kd_alarm_init(void)
{
    if (g_svc)
        return;
    g_svc = std::make_unique<Service>();
    g_svc->list = kd_param_alloc_list(nullptr, nullptr, "Alarms", nullptr);
    g_svc->history_table = kd_param_alloc_table(g_svc->list, nullptr, "Alarm History", nullptr);
    g_svc->active_table = kd_param_alloc_table(g_svc->list, nullptr, "Active Alarms", nullptr);
    {
        std::lock_guard lock(g_queue.queue_mutex);
        g_queue.open = true;
        g_queue.idx_r = g_queue.idx_w = 0;
    }
    kd_frame_timeout_register("alarm_queue", kd_alarm_queue_periodic_check, nullptr, 1.0, 1, nullptr);
    KD_LOG(KD_LOG_NOTICE, "[%s] ALARM_TEST_LOAD     %d\n", me(), 0);
    KD_LOG(KD_LOG_NOTICE, "[%s] ALARM_KEEP_HISTORY  %d\n", me(), 0);
}

extern "C" void kd_alarm_fini(void)
{
    if (!g_svc)
        return;
    close_queue();
    kd_frame_stop_watcher("alarm_queue", nullptr);
    // The parameter nodes belong to the parameter service.
    g_svc.reset();
}

extern "C" int kd_alarm_register(const char *label, const char *description)
{
    if (!g_svc) {
        KD_LOG(KD_LOG_ERR, "[%s] Alarm system not yet initialized.\n", me());
        return -1;
    }
    if (!label) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempting to register alarm with NULL label.\n", me());
        return -1;
    }
    if (!description) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempting to register alarm with NULL description.\n", me());
        return -1;
    }
    if (!label_fits(label)) {
        KD_LOG(KD_LOG_ERR, "[%s] Alarm label longer than %d characters: '%.*s...'\n", me(),
               KD_ALARM_LABEL_SIZE - 1, KD_ALARM_LABEL_SIZE - 1, label);
        return -1;
    }
    if (g_svc->index.count(std::string_view(label)))
        return 0; // the first description stays
    AlarmRec &rec = g_svc->alarms.emplace_back();
    rec.number = unsigned(g_svc->alarms.size() - 1);
    strcpy(rec.pub.label, label);
    strncpy(rec.pub.description, description, KD_ALARM_DESCRIPTION_SIZE - 1);
    rec.pub.state = ALARM_INACTIVE;
    g_svc->index.emplace(rec.pub.label, &rec);
    return 0;
}

extern "C" void kd_alarm_detected(const char *label, alarm_state state)
{
    if (!g_svc) {
        KD_LOG(KD_LOG_ERR, "[%s] Alarm system not yet initialized.\n", me());
        return;
    }
    auto it = label && label_fits(label) ? g_svc->index.find(std::string_view(label))
                                         : g_svc->index.end();
    if (it == g_svc->index.end()) {
        KD_LOG(KD_LOG_ERR, "[%s] Unrecognized alarm detected: '%s'\n", me(), label ? label : "(null)");
        return;
    }
    AlarmRec &rec = *it->second;
    if (rec.pub.state == state)
        return;
    rec.pub.state = state;
    time_t now = time(nullptr);
    if (g_svc->history.size() >= kHistoryMax)
        g_svc->history.pop_front();
    g_svc->history.push_back({&rec, state, now});

    if (state == ALARM_ACTIVE) {
        rec.active_since = now;
        add_row(rec);
    } else if (!remove_row(rec)) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to locate '%s' in active alarm table.\n", me(), label);
    }
    std::string name = event_name(rec.pub.label);
    kd_cuvent_emit(nullptr, name.c_str(), &rec.pub);
}

extern "C" int kd_alarm_detected_in_worker_thread(const char *label, alarm_state state)
{
    if (!label || !label_fits(label))
        return -1;
    std::lock_guard lock(g_queue.queue_mutex);
    if (!g_queue.open)
        return 0;
    unsigned next = (g_queue.idx_w + 1) % kQueueSlots;
    if (next == g_queue.idx_r)
        return -1;
    alarm_queue_entry &e = g_queue.entries[g_queue.idx_w];
    strcpy(e.label, label);
    e.state = state;
    g_queue.idx_w = next;
    return 0;
}

extern "C" void kd_alarm_queue_periodic_check(void *)
{
    for (;;) {
        alarm_queue_entry e;
        {
            std::lock_guard lock(g_queue.queue_mutex);
            if (g_queue.idx_r == g_queue.idx_w)
                return;
            e = g_queue.entries[g_queue.idx_r];
            g_queue.idx_r = (g_queue.idx_r + 1) % kQueueSlots;
        }
        kd_alarm_detected(e.label, e.state);
    }
}

extern "C" int kd_alarm_listener(const char *label, plugin_load_info *pli,
                                 kd_on_alarm_detected on_alarm, void *ctx)
{
    if (!label)
        return -1;
    std::string name = event_name(label);
    return kd_cuvent_register_cb(pli, name.c_str(), on_alarm, ctx, CUVFLT_NONE);
}

size_t kd::alarm_history_size() { return g_svc ? g_svc->history.size() : 0; }
