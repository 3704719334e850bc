#include "param_test_support.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using kdtest::ParamTest;

std::vector<std::string> child_labels(param_context *list)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < kd_param_list_count(list); ++i)
        out.push_back(kd_param_get_label(kd_param_list_index(list, static_cast<int>(i))));
    return out;
}

TEST_F(ParamTest, KeysAndRoutesComeFromLabelsOrKeys)
{
    plugin_load_info pli = make_pli("McastFwdr");
    param_context *root = kd_param_create_cfg(&pli);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(kd_param_get_scope(root), "mcastfwdr");
    EXPECT_STREQ(kd_param_get_label(root), "McastFwdr");
    param_context *outputs = kd_param_alloc_list(root, "outputs", "All Outputs", nullptr);
    ASSERT_NE(outputs, nullptr);

    struct Case {
        const char *key;
        const char *label;
        const char *route;
    } cases[] = {
        {nullptr, "Output Rate", "mcastfwdr/outputs/output_rate"},
        {nullptr, "Tab\tAnd\nNL", "mcastfwdr/outputs/tab_and_nl"},
        {"MyKey", "Ignored Label", "mcastfwdr/outputs/mykey"},
        {nullptr, "Ünï-code.9", "mcastfwdr/outputs/Ünï-code.9"}, // only ASCII letters fold
    };
    for (const auto &c : cases) {
        param_context *p = leaf(outputs, c.label);
        if (c.key)
            p = kd_param_alloc_string(outputs, c.key, c.label, PARAMCTRL_RDONLY, nullptr,
                                      text_value, nullptr, nullptr);
        ASSERT_NE(p, nullptr) << c.label;
        EXPECT_STREQ(kd_param_get_scope(p), c.route);
        EXPECT_STREQ(kd_param_get_label(p), c.label);
        EXPECT_EQ(kd_param_get_by_route(c.route), p);
        EXPECT_EQ(kd_param_get_readwrite(p), PARAMCTRL_RDONLY);
    }
    EXPECT_EQ(kd_param_get_by_route("mcastfwdr/outputs/nothing"), nullptr);
    // The framework's root exists from init on and is handed out again.
    param_context *frame = kd_param_create_cfg(nullptr);
    EXPECT_STREQ(kd_param_get_scope(frame), "frame");
    EXPECT_STREQ(kd_param_get_label(frame), "Frame");
    EXPECT_EQ(kd_param_get_cfg(nullptr), frame);
}

TEST_F(ParamTest, BadKeysAndRoutesAreRefusedWithAMessage)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    ASSERT_NE(leaf(root, "Taken"), nullptr);
    param_context *a_leaf = leaf(root, "Leaf");
    std::string fits(KD_PARAM_ROUTE_MAX - 5, 'k'); // "root/" + key: just fits
    std::string long_key = fits + "k";

    struct Case {
        const char *what;
        param_context *parent;
        const char *key;
        const char *label;
        const char *message;
    } cases[] = {
        // The message shows the key as derived from the label.
        {"slash in label", root, nullptr, "In/Out Rate",
         "Invalid character '/' found in param key 'in/out_rate'"},
        {"slash in key", root, "a/b", "Fine", "Invalid character '/' found in param key 'a/b'"},
        {"duplicate", root, nullptr, "taken",
         "Duplicate param exists for scope 'root/taken' of type String"},
        {"route too long", root, long_key.c_str(), "Long", "is longer than 255 characters"},
        {"empty key", root, nullptr, "", "Empty param key"},
        {"under a leaf", a_leaf, nullptr, "Child", "Cannot add param 'child' under 'root/leaf'"},
    };
    for (const auto &c : cases) {
        log_.clear();
        EXPECT_EQ(kd_param_alloc_list(c.parent, c.key, c.label, nullptr), nullptr) << c.what;
        EXPECT_EQ(log_.count(c.message), 1) << c.what;
    }
    param_context *longest = kd_param_alloc_list(root, fits.c_str(), "Longest", nullptr);
    ASSERT_NE(longest, nullptr);
    EXPECT_EQ(std::string(kd_param_get_scope(longest)).size(), size_t{KD_PARAM_ROUTE_MAX});
}

TEST_F(ParamTest, DeletedNodeLeavesAPlaceholderThatANewNodeTakesOver)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    leaf(root, "A");
    param_context *b = leaf(root, "B");
    leaf(root, "C");
    events_.take();

    kd_param_delete(b);
    EXPECT_EQ(kd_param_list_count(root), 3u);
    param_context *ph = kd_param_list_index(root, 1);
    EXPECT_EQ(kd_param_get_type(ph), PARAMTYPE_NONE);
    EXPECT_STREQ(kd_param_get_label(ph), "B");
    EXPECT_EQ(kd_param_get_by_route("root/b"), ph);
    EXPECT_EQ(kd_param_list_count(ph), static_cast<size_t>(-1));
    EXPECT_EQ(events_.take(),
              (std::vector<std::string>{"remove root/b", "free root/b", "insert root/b"}));

    // Deleting it again is harmless; a node outside the tree is not found.
    kd_param_delete(ph);
    EXPECT_EQ(events_.take().size(), 0u);

    param_context *b2 = kd_param_alloc_number(root, nullptr, "B", PARAMCTRL_RDWR, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(b2, nullptr);
    EXPECT_EQ(kd_param_list_count(root), 3u);
    EXPECT_EQ(kd_param_list_index(root, 1), b2);
    EXPECT_EQ(kd_param_get_type(b2), PARAMTYPE_NUMBER);
    EXPECT_EQ(kd_param_get_by_route("root/b"), b2);
    EXPECT_EQ(child_labels(root), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"insert root/b"}));
}

TEST_F(ParamTest, DeletingAListEmitsRemoveFreesThenPlaceholderInsert)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    param_context *l = kd_param_alloc_list(root, nullptr, "L", nullptr);
    param_context *inner = kd_param_alloc_table(l, nullptr, "Inner", nullptr);
    leaf(inner, "X");
    param_context *gone = leaf(l, "Gone");
    leaf(l, "Y");
    kd_param_delete(gone); // a placeholder inside is freed too
    events_.take();

    kd_param_list_delete_index(root, 0);
    EXPECT_EQ(events_.take(), (std::vector<std::string>{
                                  "remove root/l",
                                  "free root/l",
                                  "free root/l/inner",
                                  "free root/l/inner/x",
                                  "free root/l/gone",
                                  "free root/l/y",
                                  "insert root/l",
                              }));
    for (const char *r : {"root/l/inner", "root/l/inner/x", "root/l/gone", "root/l/y"})
        EXPECT_EQ(kd_param_get_by_route(r), nullptr) << r;
    EXPECT_EQ(kd_param_get_type(kd_param_get_by_route("root/l")), PARAMTYPE_NONE);
    // The same routes can be built again below a new list.
    param_context *l2 = kd_param_alloc_list(root, nullptr, "L", nullptr);
    EXPECT_NE(leaf(l2, "Y"), nullptr);
}

TEST_F(ParamTest, ListDeletionErrors)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    param_context *x = leaf(root, "X");
    struct Case {
        const char *what;
        void (*call)(param_context *, param_context *);
        const char *message;
    } cases[] = {
        {"null list",
         [](param_context *, param_context *) { kd_param_list_delete_index(nullptr, 0); },
         "Parameter passed in was null."},
        {"leaf as list",
         [](param_context *, param_context *x) { kd_param_list_delete_children(x); },
         "Parameter 'X' of type String passed to in."},
        {"index past end",
         [](param_context *r, param_context *) { kd_param_list_delete_index(r, 1); },
         "Attempting to delete row index 1 from 'Root'. Current size: 1"},
        {"null delete", [](param_context *, param_context *) { kd_param_delete(nullptr); },
         "Cannot delete param (null) - not found"},
    };
    for (const auto &c : cases) {
        log_.clear();
        c.call(root, x);
        EXPECT_EQ(log_.count(c.message), 1) << c.what;
    }
    EXPECT_EQ(kd_param_get_type(x), PARAMTYPE_STRING);
}

TEST_F(ParamTest, RowsAreNumberedAndNumbersReused)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    param_context *t = kd_param_alloc_table(root, nullptr, "Inputs", nullptr);
    param_context *r0 = kd_param_alloc_row(t, nullptr, nullptr);
    param_context *r1 = kd_param_alloc_row(t, nullptr, nullptr);
    ASSERT_TRUE(r0 && r1);
    EXPECT_STREQ(kd_param_get_label(r0), "Row 0");
    EXPECT_STREQ(kd_param_get_scope(r1), "root/inputs/row_1");
    EXPECT_EQ(kd_param_get_type(r1), PARAMTYPE_LIST);

    kd_param_list_delete_index(t, 0);
    param_context *again = kd_param_alloc_row(t, nullptr, nullptr);
    EXPECT_EQ(again, r0); // the placeholder's place, reused
    EXPECT_STREQ(kd_param_get_label(again), "Row 0");
    EXPECT_STREQ(kd_param_get_label(kd_param_alloc_row(t, nullptr, nullptr)), "Row 2");

    kd_param_list_delete_children(t);
    EXPECT_EQ(kd_param_list_count(t), 3u);
    EXPECT_STREQ(kd_param_get_label(kd_param_alloc_row(t, nullptr, nullptr)), "Row 0");
    EXPECT_STREQ(kd_param_get_label(kd_param_alloc_row(t, nullptr, nullptr)), "Row 1");
    EXPECT_EQ(kd_param_list_count(t), 3u);
    EXPECT_EQ(kd_param_paramtable_row_count(t), 3u);
    EXPECT_EQ(kd_param_paramtable_row(t, 1), r1);
    EXPECT_EQ(kd_param_paramtable_row(t, 3), nullptr);

    param_context *t2 = kd_param_alloc_table(root, nullptr, "Other", nullptr);
    param_context *in = kd_param_alloc_row(t2, nullptr, "Input %d");
    EXPECT_STREQ(kd_param_get_label(in), "Input 0");
    EXPECT_STREQ(kd_param_get_scope(in), "root/other/input_0");
    EXPECT_STREQ(kd_param_get_label(kd_param_alloc_row(t2, nullptr, "Spare")), "Spare");
    EXPECT_EQ(kd_param_alloc_row(t2, nullptr, "Spare"), nullptr); // no search without %d

    EXPECT_EQ(kd_param_alloc_row(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(kd_param_alloc_row(root, nullptr, nullptr), nullptr);
    EXPECT_EQ(log_.count("Passed param of type List to table row allocation."), 1);
}

TEST_F(ParamTest, RowLabelsAreTextNeverFormatsAndUserSlashesStayVisible)
{
    param_context *t = kd_param_alloc_table(nullptr, "active", "Active Alarms", nullptr);
    struct Case {
        const char *key;
        const char *label;
        const char *want_label; // null: refused
        const char *want_route;
    } cases[] = {
        {nullptr, "A%s%d%n", "A%s0%n", "active/a%s0%n"},
        {nullptr, "%d%d %x", "1%d %x", "active/1%d_%x"},
        {nullptr, "Out 1/2 lost", "Out 1/2 lost", "active/out_1_2_lost"},
        {nullptr, "In/Out %d", "In/Out 2", "active/in_out_2"},
        {"k/ey", "Given key", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        param_context *r = kd_param_alloc_row(t, c.key, c.label);
        if (!c.want_label) {
            EXPECT_EQ(r, nullptr) << c.label;
            continue;
        }
        ASSERT_NE(r, nullptr) << c.label;
        EXPECT_STREQ(kd_param_get_label(r), c.want_label);
        EXPECT_STREQ(kd_param_get_scope(r), c.want_route);
    }
    // Long user text: the label is cut, not the route refused.
    std::string long_label(150, 'x');
    param_context *r = kd_param_alloc_row(t, nullptr, long_label.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(kd_param_get_label(r)).size(), 99u);
}

namespace {
bool valid_utf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}
} // namespace

TEST_F(ParamTest, LongRowLabelsAreCutOnACharacterBoundary)
{
    // Two-, three- and four-byte characters, starting at every byte offset,
    // so that the 99-byte cut falls on every byte of a character.
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    int n = 0;
    for (std::string ch : {"\u00e9", "\u20ac", "\U0001F3B5"}) {
        for (size_t offset = 0; offset < 4; ++offset) {
            std::string label(offset, 'a');
            while (label.size() < 120)
                label += ch;
            SCOPED_TRACE(label);
            param_context *t = kd_param_alloc_table(root, nullptr, ("T" + std::to_string(n++)).c_str(), nullptr);
            param_context *r = kd_param_alloc_row(t, nullptr, label.c_str());
            ASSERT_NE(r, nullptr);
            std::string got = kd_param_get_label(r);
            EXPECT_LE(got.size(), 99u);
            EXPECT_GT(got.size(), 99u - ch.size());
            EXPECT_TRUE(valid_utf8(got));
            EXPECT_EQ(label.compare(0, got.size(), got), 0);
        }
    }
}

TEST_F(ParamTest, NavigationAccessors)
{
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    param_context *t = kd_param_alloc_table(root, nullptr, "T", nullptr);
    param_context *row = kd_param_alloc_row(t, nullptr, nullptr);
    param_context *cell = leaf(row, "Cell");
    param_context *a = leaf(root, "A");

    EXPECT_EQ(kd_param_list_index(root, -1), a);
    EXPECT_EQ(kd_param_list_index(root, -2), t);
    EXPECT_EQ(kd_param_list_index(root, -3), nullptr);
    EXPECT_EQ(kd_param_list_index(root, 2), nullptr);
    EXPECT_EQ(kd_param_list_index(a, 0), nullptr);
    EXPECT_EQ(kd_param_list_count(nullptr), static_cast<size_t>(-1));
    EXPECT_EQ(kd_param_list_count(a), static_cast<size_t>(-1));
    EXPECT_EQ(kd_param_paramtable_col_count(t, 0), 1u);
    EXPECT_EQ(kd_param_paramtable_cell(t, 0, 0), cell);
    EXPECT_EQ(kd_param_paramtable_cell(t, 0, 1), nullptr);
    EXPECT_EQ(kd_param_paramtable_cell(t, 1, 0), nullptr);

    EXPECT_EQ(kd_param_is_related(root, cell), 1);
    EXPECT_EQ(kd_param_is_related(t, cell), 1);
    EXPECT_EQ(kd_param_is_related(nullptr, cell), 1);
    EXPECT_EQ(kd_param_is_related(cell, cell), 0);
    EXPECT_EQ(kd_param_is_related(a, cell), 0);
    EXPECT_EQ(kd_param_is_related(cell, root), 0);

    const char *types[] = {"None", "List", "Table", "Number", "Choice", "String", "Set", "Unknown"};
    for (int i = 0; i <= PARAMTYPE_LAST; ++i)
        EXPECT_STREQ(kd_param_get_type_name(static_cast<param_type>(i)), types[i]);
    EXPECT_STREQ(kd_param_get_type_name(static_cast<param_type>(-1)), "Unknown");
    EXPECT_EQ(kd_param_get_help(a), nullptr);
    param_context *h =
        kd_param_alloc_list(root, nullptr, "Helped", [](param_context *) { return "some help"; });
    EXPECT_STREQ(kd_param_get_help(h), "some help");
}

int g_released = 0;

TEST_F(ParamTest, PluginRootIsMadeOnceAndRemovedWithItsWholeSubtree)
{
    plugin_load_info pli = make_pli("alpha");
    param_context *root = kd_param_create_cfg(&pli);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(pli.top_param, root);
    // A second call hands out the same root instead of losing it.
    EXPECT_EQ(kd_param_create_cfg(&pli), root);
    EXPECT_EQ(kd_param_get_cfg(&pli), root);

    // User data that is a registered reference is held by the node.
    g_released = 0;
    void *data = std::malloc(16);
    kd_ref_init_ptr(data, [](void *) { ++g_released; });
    param_context *l = kd_param_alloc_list(root, nullptr, "Things", nullptr);
    param_context *n = kd_param_alloc_number(l, nullptr, "N", PARAMCTRL_RDWR, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, data);
    EXPECT_EQ(kd_param_get_userdata(n), data);
    kd_ref_free_safe(&data);
    EXPECT_EQ(g_released, 0);
    for (int i = 0; i < 20; ++i)
        kd_param_alloc_row(
            kd_param_alloc_table(l, nullptr, ("T" + std::to_string(i)).c_str(), nullptr), nullptr,
            nullptr);
    events_.take();

    kd_param_remove_cfg(&pli);
    EXPECT_EQ(pli.top_param, nullptr);
    EXPECT_EQ(g_released, 1);
    EXPECT_EQ(events_.count("remove"), 1);
    EXPECT_EQ(events_.count("free"), 1 + 1 + 1 + 20 * 2);
    EXPECT_EQ(kd_param_get_by_route("alpha/things/n"), nullptr);
    EXPECT_EQ(log_.count("] alpha\n"), 1);
    kd_param_remove_cfg(&pli); // nothing left to remove

    // Loading the plug-in again builds a fresh root in the old one's place.
    param_context *again = kd_param_create_cfg(&pli);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(kd_param_get_type(again), PARAMTYPE_LIST);
    EXPECT_EQ(kd_param_list_count(again), 0u);
}

TEST_F(ParamTest, NumberLimitsAreCheckedAtCreation)
{
    auto zero = [](param_context *) { return 0; };
    auto ten = [](param_context *) { return 10; };
    auto three = [](param_context *) { return 3; };
    param_context *root = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    EXPECT_NE(kd_param_alloc_number(root, nullptr, "Bad", PARAMCTRL_RDWR, nullptr, zero, ten, zero,
                                    three, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(log_.count("Min > max for param root/bad."), 1);
    EXPECT_NE(kd_param_alloc_number(root, nullptr, "Off", PARAMCTRL_RDWR, nullptr, zero, zero, ten,
                                    three, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(log_.count("Step lands outside min/max range for param root/off."), 1);
    EXPECT_NE(kd_param_alloc_number(root, nullptr, "Wo", PARAMCTRL_WRONLY, nullptr, zero, zero, ten,
                                    zero, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(log_.count("Write-only param 'root/wo' allocated with value function."), 1);
    EXPECT_NE(kd_param_alloc_string(root, nullptr, "Blind", PARAMCTRL_RDWR, nullptr, nullptr,
                                    nullptr, nullptr),
              nullptr);
    EXPECT_EQ(log_.count("Readable param 'root/blind' allocated without value function."), 1);
}

TEST_F(ParamTest, HierarchyShowsTheCardsRole)
{
    // The role is fixed when the framework starts, from HW_SLOT.
    for (auto [slot, want] : {std::pair{"3", "Master"}, {"5", "Slave"}}) {
        kd_frame_fini();
        setenv("HW_SLOT", slot, 1);
        kd_frame_init();
        param_context *h = kd_param_get_by_route("frame/hierarchy");
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(kd_param_get_type(h), PARAMTYPE_CHOICE);
        EXPECT_EQ(kd_param_get_readwrite(h), PARAMCTRL_RDONLY);
        EXPECT_STREQ(kd_param_get_label(h), "Hierarchy");
        param_choice_ops *ops = kd_param_get_choice_ops(h);
        ASSERT_NE(ops, nullptr);
        const char **choices = ops->choices(h);
        EXPECT_STREQ(choices[0], "Master");
        EXPECT_STREQ(choices[1], "Slave");
        EXPECT_EQ(choices[2], nullptr);
        void *table = choices;
        kd_ref_free_safe(&table);
        char *v = kd_param_get_value_text(h);
        EXPECT_STREQ(v, want) << "HW_SLOT=" << slot;
        std::free(v);
    }
    unsetenv("HW_SLOT");
}

} // namespace
