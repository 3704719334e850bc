#include "test_support.h"

#include <kerrow/ref.h>

#include <cstdlib>
#include <cstring>

namespace {

int g_releases = 0;
void *g_released = nullptr;
void count_release(void *p)
{
    ++g_releases;
    g_released = p;
}

class RefTest : public kdtest::FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        g_releases = 0;
        g_released = nullptr;
    }
};

TEST_F(RefTest, BlockLivesUntilItsLastCountIsDropped)
{
    void *block = std::malloc(16);
    kd_ref_init_ptr(block, count_release);
    void *a = kd_ref_copy_safe(block);
    void *b = kd_ref_copy_safe(block);
    EXPECT_EQ(a, block);
    EXPECT_EQ(b, block);

    void *holder = block;
    kd_ref_free_safe(&holder);
    EXPECT_EQ(holder, nullptr);
    kd_ref_free_safe(&a);
    EXPECT_EQ(g_releases, 0);
    kd_ref_free_safe(&b);
    EXPECT_EQ(g_releases, 1);
    EXPECT_EQ(g_released, block);
    // Once freed, the address is no longer registered.
    EXPECT_EQ(kd_ref_copy(block), nullptr);
}

TEST_F(RefTest, UnregisteredPointersPassThrough)
{
    char on_stack[] = "text";
    void *p = on_stack;
    EXPECT_EQ(kd_ref_copy_safe(p), p);
    EXPECT_EQ(kd_ref_copy(p), nullptr);
    kd_ref_free_safe(&p);
    EXPECT_EQ(p, on_stack); // left alone

    void *heap = std::malloc(8);
    kd_ref_free(&heap); // plain heap block: freed (LSan would see a leak otherwise)
    EXPECT_EQ(heap, nullptr);
}

TEST_F(RefTest, DoubleRegistrationKeepsOneCount)
{
    void *block = std::malloc(4);
    kd_ref_init_ptr(block, count_release);
    kd_ref_init_ptr(block, count_release);
    EXPECT_EQ(log_.count("Attempting to add referenced pointer"), 1);
    void *p = block;
    kd_ref_free_safe(&p);
    EXPECT_EQ(g_releases, 1);
}

TEST_F(RefTest, NullAndEarlyCallsOnlyWarn)
{
    void *p = nullptr;
    kd_ref_free_safe(&p);
    kd_ref_init_ptr(nullptr, nullptr);
    EXPECT_EQ(log_.count("Freeing null pointer"), 1);
    EXPECT_EQ(log_.count("Adding null pointer"), 1);
}

TEST(RefLifecycle, FiniReleasesWhatIsLeftAndCountsIt)
{
    kdtest::LogCapture log;
    void *early = std::malloc(4);
    kd_ref_init_ptr(early, nullptr); // before init: refused
    EXPECT_EQ(log.count("init ptr called before init"), 1);
    std::free(early);

    kd_ref_init();
    g_releases = 0;
    kd_ref_init_ptr(std::malloc(4), count_release);
    kd_ref_init_ptr(std::malloc(4), nullptr);
    kd_ref_fini();
    EXPECT_EQ(g_releases, 1);
    EXPECT_EQ(log.count("Freed 2 remaining reference counted items."), 1);
}

} // namespace
