// The version plug-in beside the web front end: a package uploaded by a
// logged-in browser is listed and installed, and the version directory is
// published for download under "/pub".
#include "ws_fixture.h"
#include "version_internal.h"

#include <kerrow/param.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace wstest;

std::string value_at(const std::string &route)
{
    char *v = kd_param_get_value_text(kd_param_get_by_route(route.c_str()));
    std::string out = v ? v : "(none)";
    std::free(v);
    return out;
}

class VersionWeb : public WsFixture {
protected:
    void SetUp() override
    {
        fs::create_directories(root_ / "media/hd0/media");
        fs::create_directories(root_ / "opt/pkg/usr/kerrow/solvera/v1");
        fs::create_directories(root_ / "opt/pkg/var");
        fs::create_symlink("/opt/pkg/usr/kerrow/solvera/v1", root_ / "opt/pkg/var/oem");
        fs::create_directories(root_ / "usr/local/share/sv-version");
        std::ofstream(root_ / "usr/local/share/sv-version/banner.txt") << "v1";
        fs::copy_file(std::string(std::getenv("KD_SOURCE_DIR")) + "/sim/vrsn/vrsn", root_ / "cmd/vrsn");
        WsFixture::SetUp();
        vpli_ = __test_insert_active_plugin("version", "/nowhere/libsv-version.so");
        version::init(vpli_);
    }
    void TearDown() override
    {
        version::fini();
        WsFixture::TearDown();
    }

    int upload(const std::string &session, const fs::path &file, const std::string &name)
    {
        return curl_upload(port_, session, file.string(), name);
    }

    plugin_load_info *vpli_ = nullptr;
};

TEST_F(VersionWeb, AnUploadedPackageIsListedInstalledAndTheVersionDirectoryServed)
{
    const std::string files = "version/available_firmware_versions";
    const fs::path src = root_ / "src.tgz";
    std::ofstream(src) << "package bytes";
    drive([&] {
        ASSERT_TRUE(eventually([] { return value_at("version/state") == "Ready"; }, 60));
        EXPECT_EQ(http_get(port_, "/pub/sv-version/banner.txt").body, "v1");

        ws_client browser;
        ASSERT_TRUE(browser.open(port_));
        ASSERT_TRUE(login(browser));
        EXPECT_EQ(upload(browser.session(), src, "fw-9.vorpt.tgz"), 200);
        ASSERT_TRUE(eventually([&] { return kd_param_get_by_route((files + "/fw-9/action").c_str()) != nullptr; }, 60));
        EXPECT_EQ(on_loop([&] {
                      param_context *p = kd_param_get_by_route((files + "/fw-9/action").c_str());
                      return kd_param_get_choice_ops(p)->set(p, "Install");
                  }),
                  PARAM_SET_SUCCESS);
        ASSERT_TRUE(eventually([] { return value_at("version/state") == "Ready"; }, 60));
        EXPECT_TRUE(eventually([] { return value_at("version/installed_firmware_versions/fw-9/action") == "(none)" &&
                                           kd_param_get_by_route("version/installed_firmware_versions/fw-9"); }, 60));
    });
    EXPECT_EQ(commands_.calls().back(), "vrsn -x " + (root_ / "media/hd0/media/fw-9.vorpt.tgz"));
}

} // namespace
