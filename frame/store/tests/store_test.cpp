#include "store_support.h"
#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>

#include <jansson.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <dlfcn.h>

// fsync and rename of this test program stand in front of the C library's, so
// the order of the store's write steps can be read back.
namespace {
std::vector<std::string> *g_steps = nullptr; // recording while set
}

extern "C" int fsync(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    if (g_steps) {
        struct stat st {};
        fstat(fd, &st);
        g_steps->push_back(S_ISDIR(st.st_mode) ? "fsync dir" : "fsync file");
    }
    return real(fd);
}

extern "C" int rename(const char *from, const char *to) noexcept
{
    static auto real = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(RTLD_NEXT, "rename"));
    if (g_steps)
        g_steps->push_back("rename");
    return real(from, to);
}

namespace {

const char *kFile = "var/local/solvera/store.json";

// Two settings of the "frame" tree: one saved, one not.
struct Settings {
    int level = 0;
    int volatile_level = 0;
    int sets = 0;
};
Settings g_settings;
int g_updates = 0;

param_set_result set_level(param_context *, const char *text)
{
    ++g_settings.sets;
    g_settings.level = std::atoi(text);
    return PARAM_SET_SUCCESS;
}
param_set_result set_volatile(param_context *, const char *text)
{
    g_settings.volatile_level = std::atoi(text);
    return PARAM_SET_SUCCESS;
}
int get_level(param_context *) { return g_settings.level; }
int get_volatile(param_context *) { return g_settings.volatile_level; }
int zero(param_context *) { return 0; }
int hundred(param_context *) { return 100; }
int one(param_context *) { return 1; }

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The store file as a map of section -> key -> value (empty map when the
// file does not parse).
kdtest::StoreSections read_store(const std::string &path) { return kdtest::store_sections(slurp(path)); }

// On-card mode (the oem marker exists under the root), so the file is used.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_settings = {};
        g_updates = 0;
        std::filesystem::create_directories(root_ / "opt/pkg/var");
        std::ofstream(root_ / "opt/pkg/var/oem") << "";
    }
    void TearDown() override { stop(); }

    void start()
    {
        kd_frame_init();
        up_ = true;
        kd_cuvent_register_cb(nullptr, "on_param_update", [](cuvent_wrapper *) { ++g_updates; },
                              nullptr, CUVFLT_NONE);
    }
    void stop()
    {
        if (up_)
            kd_frame_fini();
        up_ = false;
    }
    // Builds the two settings under the "frame" root and applies saved values.
    void build_tree()
    {
        param_context *root = kd_param_create_cfg(nullptr);
        ASSERT_NE(root, nullptr);
        param_context *audio = kd_param_alloc_list(root, nullptr, "Audio", nullptr);
        level_ = kd_param_alloc_number(audio, nullptr, "Level", PARAMCTRL_RDWR, nullptr, get_level, zero,
                                       hundred, one, set_level, nullptr);
        volatile_ = kd_param_alloc_number(audio, nullptr, "Test Level", PARAMCTRL_RDWR_NOPERSIST, nullptr,
                                          get_volatile, zero, hundred, one, set_volatile, nullptr);
        ASSERT_NE(level_, nullptr);
        ASSERT_NE(volatile_, nullptr);
        kd_store_load_params(nullptr, audio);
    }
    void set(param_context *p, const char *text) { kd_param_get_number_ops(p)->set(p, text); }
    std::string file() const { return root_ / kFile; }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    bool up_ = false;
    param_context *level_ = nullptr, *volatile_ = nullptr;
};

TEST_F(StoreTest, ANewCardCreatesAPrivateStoreAndValuesSurviveARestartInAnotherProcess)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // First life of the device: set both values and stop.
        kd_frame_init();
        build_tree();
        set(level_, "42");
        set(volatile_, "17");
        kd_store_check_persist(nullptr);
        kd_frame_fini();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    struct stat st;
    ASSERT_EQ(stat((root_ / "var/local/solvera").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto saved = read_store(file());
    EXPECT_EQ(saved["frame"]["frame/audio/level"], "42");
    EXPECT_EQ(saved["frame"].count("frame/audio/test_level"), 0u); // never persisted

    start();
    build_tree();
    EXPECT_EQ(g_settings.level, 42);
    EXPECT_EQ(g_settings.volatile_level, 0);
    EXPECT_EQ(g_settings.sets, 1);
}

TEST_F(StoreTest, UpdatesMarkTheStoreDirtyOnlyForPersistentValues)
{
    start();
    build_tree();
    kd_store_check_persist(nullptr); // nothing pending yet: no file change
    std::string before = slurp(file());
    set(volatile_, "5");
    kd_store_check_persist(nullptr);
    EXPECT_EQ(slurp(file()), before);
    EXPECT_EQ(log_.count("Persisting configuration to file."), 0);

    set(level_, "7");
    kd_store_check_persist(nullptr);
    EXPECT_EQ(log_.count("Persisting configuration to file."), 1);
    EXPECT_EQ(read_store(file())["frame"]["frame/audio/level"], "7");
}

TEST_F(StoreTest, AWriteSyncsTheDataBeforeTheRenameAndTheDirectoryAfter)
{
    start();
    build_tree();
    std::vector<std::string> steps;
    set(level_, "7");
    g_steps = &steps;
    kd_store_check_persist(nullptr);
    g_steps = nullptr;
    EXPECT_EQ(steps, (std::vector<std::string>{"fsync file", "rename", "fsync dir"}));
    EXPECT_EQ(read_store(file())["frame"]["frame/audio/level"], "7");
}

TEST_F(StoreTest, AFailedWriteIsRetriedAtTheNextTickWithoutAnotherChange)
{
    start();
    build_tree();
    kd_store_check_persist(nullptr);
    const std::filesystem::path blocker = file() + ".tmp";
    std::filesystem::create_directory(blocker); // the temporary file cannot be made
    set(level_, "7");
    kd_store_check_persist(nullptr);
    EXPECT_EQ(log_.count("Failed to write store file"), 1);
    EXPECT_NE(read_store(file())["frame"]["frame/audio/level"], "7");
    std::filesystem::remove(blocker);
    kd_store_check_persist(nullptr);
    EXPECT_EQ(read_store(file())["frame"]["frame/audio/level"], "7");
}

TEST_F(StoreTest, SavedValuesNeverReachTheLog)
{
    start();
    ASSERT_EQ(kd_store_save_string(nullptr, "frame/srt/passphrase", "s3cret-passphrase"), 0);
    EXPECT_EQ(log_.count("frame/srt/passphrase"), 1);
    EXPECT_EQ(log_.count("s3cret-passphrase"), 0);
}

TEST_F(StoreTest, KeyOperations)
{
    start();
    for (const char *k : {"out/input_1", "out/input_1/label", "out/input_10", "out/input_1x", "zz", "aa"})
        kd_store_save_string(nullptr, k, k);
    kd_store_save_int(nullptr, "num", -12);

    int n = 0;
    EXPECT_EQ(kd_store_load_int(nullptr, "num", &n), 0);
    EXPECT_EQ(n, -12);
    EXPECT_EQ(kd_store_load_int(nullptr, "missing", &n), -1);
    // Texts that are no int are refused (logged), never cut to one.
    const struct {
        const char *text;
        int result, value;
    } ints[] = {{"2147483647", 0, 2147483647}, {"-2147483648", 0, -2147483647 - 1}, {"2147483648", -1, 0},
                {"-2147483649", -1, 0},        {"99999999999999999999", -1, 0},      {"12abc", -1, 0},
                {"", -1, 0},                   {"abc", -1, 0}};
    for (const auto &c : ints) {
        kd_store_save_string(nullptr, "int", c.text);
        n = 0;
        log_.clear();
        EXPECT_EQ(kd_store_load_int(nullptr, "int", &n), c.result) << c.text;
        EXPECT_EQ(n, c.value) << c.text;
        EXPECT_EQ(log_.count("Stored value of 'int' is not a number in range"), c.result ? 1 : 0) << c.text;
    }
    kd_store_remove_key(nullptr, "int");
    char *text = nullptr;
    ASSERT_EQ(kd_store_load_string(nullptr, "zz", &text), 0);
    EXPECT_STREQ(text, "zz");
    std::free(text);

    auto take = [](char **arr) {
        std::vector<std::string> v;
        for (char **p = arr; p && *p; ++p) {
            v.emplace_back(*p);
            std::free(*p);
        }
        std::free(arr);
        return v;
    };
    // Byte-wise: "/" sorts before "0".
    EXPECT_EQ(take(kd_store_search_keys(nullptr, "out/")),
              (std::vector<std::string>{"out/input_1", "out/input_1/label", "out/input_10", "out/input_1x"}));
    EXPECT_EQ(take(kd_store_get_keys(nullptr)).size(), 7u);

    // The key and what lies under it go; a mere text prefix stays.
    kd_store_remove_key(nullptr, "out/input_1");
    EXPECT_EQ(take(kd_store_search_keys(nullptr, "out/")),
              (std::vector<std::string>{"out/input_10", "out/input_1x"}));

    struct Case {
        const char *from, *to;
        int result;
    } cases[] = {{"missing", "new", 1}, {"zz", "aa", 1}, {"zz", "yy", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(kd_store_rename(nullptr, c.from, c.to), c.result) << c.from << "->" << c.to;
    EXPECT_EQ(kd_store_test_key(nullptr, "zz"), 0);
    EXPECT_EQ(kd_store_test_key(nullptr, "yy"), 1);
}

// A limit that refuses values above 100, and a level whose set also
// announces the limit (as one row's setter announces a sibling).
int g_limit = 5;
param_context *g_limit_param = nullptr;
param_set_result set_limit(param_context *, const char *text)
{
    const int v = std::atoi(text);
    if (v > 100)
        return PARAM_SET_FAILURE;
    g_limit = v;
    return PARAM_SET_SUCCESS;
}
int get_limit(param_context *) { return g_limit; }
param_set_result set_level_announcing_limit(param_context *p, const char *text)
{
    kd_param_notify(g_limit_param);
    return set_level(p, text);
}

TEST_F(StoreTest, ASavedValueRefusedWhileLoadingKeepsItsSavedText)
{
    start();
    g_limit = 5;
    kd_store_save_string(nullptr, "frame/gain/limit", "250");
    kd_store_save_string(nullptr, "frame/gain/level", "42");
    param_context *gain = kd_param_alloc_list(kd_param_create_cfg(nullptr), nullptr, "Gain", nullptr);
    g_limit_param = kd_param_alloc_number(gain, nullptr, "Limit", PARAMCTRL_RDWR, nullptr, get_limit, zero,
                                          hundred, one, set_limit, nullptr);
    param_context *level = kd_param_alloc_number(gain, nullptr, "Level", PARAMCTRL_RDWR, nullptr, get_level, zero,
                                                 hundred, one, set_level_announcing_limit, nullptr);
    ASSERT_NE(level, nullptr);
    const int updates_before = g_updates;
    kd_store_load_params(nullptr, gain);
    // Both sets were announced (the limit twice), the refusal named by route only.
    EXPECT_EQ(g_updates - updates_before, 3);
    EXPECT_EQ(g_limit, 5);
    EXPECT_EQ(g_settings.level, 42);
    EXPECT_EQ(log_.count("Saved value of 'frame/gain/limit' refused"), 1);
    EXPECT_EQ(log_.count("250"), 0);
    char *text = nullptr;
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/gain/limit", &text), 0);
    EXPECT_STREQ(text, "250");
    std::free(text);
    kd_store_check_persist(nullptr);
    EXPECT_EQ(read_store(file())["frame"]["frame/gain/limit"], "250");

    // Once the load is over, sets and updates save the current value again.
    set(g_limit_param, "300");
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/gain/limit", &text), 0);
    EXPECT_STREQ(text, "5");
    std::free(text);
    set(g_limit_param, "7");
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/gain/limit", &text), 0);
    EXPECT_STREQ(text, "7");
    std::free(text);
    g_limit_param = nullptr;
}

TEST_F(StoreTest, ShutdownWritesSortedKeysAtEveryLevel)
{
    start();
    plugin_load_info *sim = __test_insert_active_plugin("sim", "/nowhere/libsv-sim.so");
    for (const char *k : {"m", "b", "x"}) {
        kd_store_save_string(nullptr, k, "1");
        kd_store_save_string(sim, k, "1");
    }
    stop();
    std::string text = slurp(file());
    auto pos = [&](const std::string &s, size_t from = 0) { return text.find(s, from); };
    size_t frame = pos("\"frame\""), simsec = pos("\"sim\"");
    ASSERT_NE(frame, std::string::npos);
    ASSERT_NE(simsec, std::string::npos);
    EXPECT_LT(frame, simsec);
    EXPECT_LT(pos("\"b\"", frame), pos("\"m\"", frame));
    EXPECT_LT(pos("\"m\"", frame), pos("\"x\"", frame));
    EXPECT_LT(pos("\"b\"", simsec), pos("\"x\"", simsec));
}

TEST_F(StoreTest, FirmwareResetEmptiesTheStoreAtShutdown)
{
    start();
    build_tree();
    set(level_, "9");
    kd_store_firmware_reset();
    stop();
    EXPECT_TRUE(read_store(file()).empty());
    start();
    build_tree();
    EXPECT_EQ(g_settings.sets, 1); // only the set above; nothing applied
}

TEST_F(StoreTest, DamagedFileIsSetAsideAndAnEmptyOneIsANewStore)
{
    std::filesystem::create_directories(root_ / "var/local/solvera");
    std::ofstream(file()) << "{\"frame\": {\"frame/audio/level\": \"3\"";  // cut short
    start();
    build_tree();
    EXPECT_EQ(g_settings.sets, 0);
    EXPECT_EQ(log_.count("is damaged"), 1);
    int aside = 0;
    for (auto &e : std::filesystem::directory_iterator(root_ / "var/local/solvera"))
        aside += e.path().filename().string().rfind("store.json.damaged-", 0) == 0;
    EXPECT_EQ(aside, 1);
    stop();

    std::ofstream(file(), std::ios::trunc).flush(); // empty: a fresh store
    log_.clear();
    start();
    EXPECT_EQ(log_.count("is damaged"), 0);
}

TEST_F(StoreTest, StartsFromFilesThatAreNoStoreKeepEveryCopyAside)
{
    // Two damaged starts within one second, then a file holding an array.
    std::filesystem::create_directories(root_ / "var/local/solvera");
    struct Case {
        const char *text, *message;
    } cases[] = {
        {"{\"frame\": {", "is damaged ("},
        {"{\"frame\": [", "is damaged ("},
        {"[1, 2]", "holds an array, not an object"},
    };
    for (const auto &c : cases) {
        std::ofstream(file(), std::ios::trunc) << c.text;
        log_.clear();
        start();
        EXPECT_EQ(log_.count(c.message), 1) << c.text;
        stop();
    }
    std::vector<std::string> kept;
    for (auto &e : std::filesystem::directory_iterator(root_ / "var/local/solvera"))
        if (e.path().filename().string().rfind("store.json.damaged-", 0) == 0)
            kept.push_back(slurp(e.path()));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"[1, 2]", "{\"frame\": [", "{\"frame\": {"}));
}

TEST_F(StoreTest, AValueThatCannotBeUsedCostsItselfAlone)
{
    // Beside good values: numbers no integer or real holds, texts that are
    // not UTF-8 or hold a zero byte, values that are no text, keys that
    // cannot be, a section that is no object. A hand-written integer is
    // taken as its text.
    std::filesystem::create_directories(root_ / "var/local/solvera");
    const std::string original = "{\"frame\": {\"frame/big\": 99999999999999999999999,\n"
                                 "  \"frame/audio/level\": \"42\", \"frame/huge\": -1e999,\n"
                                 "  \"frame/utf\": \"\xff\xfe\", \"frame/zero\": \"a\\u0000b\",\n"
                                 "  \"frame/escape\": \"\\x\", \"frame/raw\": \"a\tb\",\n"
                                 "  \"frame/object\": {\"a\": \"b\"}, \"frame/list\": [1], \"frame/null\": null,\n"
                                 "  \"frame/yes\": true, \"frame/real\": 1.5, \"frame/chassis\": 7,\n"
                                 "  \"bad\\u0000key\": \"x\", \"bad\xffkey\": \"x\"},\n"
                                 " \"probe\": {\"probe/name\": \"kept\"}, \"junk\": 5}\n";
    std::ofstream(file(), std::ios::binary) << original;
    start();
    build_tree();
    EXPECT_EQ(g_settings.level, 42);
    EXPECT_EQ(log_.count("left out"), 14) << "one line per value";
    const std::pair<const char *, int> lines[] = {
        {"'frame/big' in section 'frame' is null, or a number or text that cannot be read", 1},
        {"'frame/zero' in section 'frame' is a text holding a zero byte", 1},
        {"'frame/object' in section 'frame' is an object, not a text", 1},
        {"a key with a damaged name in section 'frame'", 2},
        {"section 'junk' is not an object", 1},
    };
    for (const auto &[line, n] : lines)
        EXPECT_EQ(log_.count(line), n) << line;
    // The file as it was is kept; the store file loses what was left out at
    // the next tick.
    std::vector<std::string> kept;
    for (auto &e : std::filesystem::directory_iterator(root_ / "var/local/solvera"))
        if (e.path().filename().string().rfind("store.json.damaged-", 0) == 0)
            kept.push_back(slurp(e.path()));
    EXPECT_EQ(kept, std::vector<std::string>{original});
    kd_store_check_persist(nullptr);
    const kdtest::StoreSections want = {
        {"frame", {{"frame/audio/level", "42"}, {"frame/chassis", "7"}}},
        {"probe", {{"probe/name", "kept"}}},
    };
    EXPECT_EQ(read_store(file()), want);
    stop();

    // The next start finds nothing to leave out.
    log_.clear();
    start();
    EXPECT_EQ(log_.count("left out"), 0);
}

TEST_F(StoreTest, ARenameReachesTheFileAtTheNextTick)
{
    start();
    build_tree();
    set(level_, "7");
    kd_store_check_persist(nullptr);
    ASSERT_EQ(kd_store_rename(nullptr, "frame/audio/level", "frame/audio/gain"), 0);
    kd_store_check_persist(nullptr);
    auto on_disk = read_store(file());
    EXPECT_EQ(on_disk["frame"]["frame/audio/gain"], "7");
    EXPECT_EQ(on_disk["frame"].count("frame/audio/level"), 0u);
}

TEST_F(StoreTest, ReplacingTheStoreRebindsPluginSections)
{
    start();
    plugin_load_info *sim = __test_insert_active_plugin("sim", "/nowhere/libsv-sim.so");
    kd_store_save_string(sim, "before", "1"); // binds the section
    json_t *fresh = json_pack("{s:{s:s}}", "sim", "profile", "p");
    set_store(fresh);
    json_decref(fresh);
    kd_store_save_string(sim, "after", "2");
    EXPECT_EQ(kd_store_test_key(sim, "profile"), 1);
    EXPECT_EQ(kd_store_test_key(sim, "before"), 0);
    stop();
    auto saved = read_store(file());
    EXPECT_EQ(saved["sim"]["after"], "2");
    EXPECT_EQ(saved["sim"]["profile"], "p");
}

TEST_F(StoreTest, ReadOnlyStoreDirectoryMeansMemoryOnlyWithOneWarning)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace with a read-only bind mount";
    std::filesystem::create_directories(root_ / "var/local/solvera");
    std::ofstream(file()) << R"({"frame": {"k": "saved"}})";
    const std::string dir = root_ / "var/local/solvera";

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            _exit(77);
        static int warnings = 0, write_errors = 0;
        kd_log_set_sink([](void *, int, const char *, int, const char *, const char *text) {
            std::string_view t(text);
            warnings += t.find("Not using file storage due to permissions.") != std::string_view::npos;
            write_errors += t.find("Failed to write store file") != std::string_view::npos;
        }, nullptr);
        kd_frame_init();
        char *val = nullptr;
        bool file_not_read = kd_store_load_string(nullptr, "k", &val) == -1; // an empty store
        std::free(val);
        kd_store_save_string(nullptr, "k", "new");
        kd_store_check_persist(nullptr);
        kd_frame_fini();
        _exit((warnings == 1 ? 0 : 1) | (write_errors == 0 ? 0 : 2) | (file_not_read ? 0 : 4));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no single warning, 2: failed writes logged, 4: file was read";
    EXPECT_EQ(read_store(file())["frame"]["k"], "saved");
}

TEST_F(StoreTest, SectionOfAPluginNeverLoadedIsReleasedAtShutdown)
{
    start();
    plugin_load_info *ghost = __test_insert_available_plugin("ghost", "/nowhere/libsv-ghost.so");
    ASSERT_NE(ghost, nullptr);
    ASSERT_EQ(kd_store_save_string(ghost, "ghost/k", "v"), 0);
    ASSERT_NE(ghost->store, nullptr);
    json_t *section = json_incref(ghost->store);
    stop();
    EXPECT_EQ(section->refcount, 1u); // only this test's own reference is left
    EXPECT_STREQ(json_string_value(json_object_get(section, "ghost/k")), "v");
    json_decref(section);
    EXPECT_EQ(read_store(file())["ghost"]["ghost/k"], "v");
}

TEST_F(StoreTest, NativeModeKeepsEverythingInMemory)
{
    std::filesystem::remove(root_ / "opt/pkg/var/oem");
    start();
    build_tree();
    set(level_, "1");
    stop();
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(StoreTest, KilledWhileWritingLeavesAWholeStore)
{
    // A writer that never stops; it is killed at a different moment of its
    // writes each round, always after its first write has landed.
    for (int round = 0; round < 25; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            kd_log_set_sink([](void *, int, const char *, int, const char *, const char *) {}, nullptr);
            kd_frame_init();
            for (int i = 0;; ++i) {
                std::string v = std::to_string(i);
                kd_store_save_string(nullptr, "counter", v.c_str());
                // Enough keys that a write takes a while.
                for (int k = 0; k < 200; ++k)
                    kd_store_save_string(nullptr, ("pad/" + std::to_string(k)).c_str(), v.c_str());
                kd_store_check_persist(nullptr);
                if (i == 0 && write(ready[1], "w", 1) != 1)
                    _exit(1);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(static_cast<useconds_t>(round * 400));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);

        json_error_t err;
        json_t *root = json_load_file(file().c_str(), 0, &err);
        ASSERT_NE(root, nullptr) << "round " << round << ": " << err.text;
        json_t *frame = json_object_get(root, "frame");
        const char *counter = json_string_value(json_object_get(frame, "counter"));
        ASSERT_NE(counter, nullptr) << "round " << round;
        // All keys of one write carry the same generation.
        EXPECT_STREQ(json_string_value(json_object_get(frame, "pad/199")), counter) << "round " << round;
        json_decref(root);
    }
}

} // namespace
