// Uploads through "/upload" (curl as the browser) and download links under
// "/pub": who may upload, where files land, what is refused, what a cut
// upload leaves, settings profiles, and links made on request.
#include "ws_fixture.h"

#include <kerrow/cuvent.h>
#include <kerrow/store.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace wstest;
namespace fs = std::filesystem;

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int open_fds()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

class Uploads : public WsFixture {
protected:
    void SetUp() override
    {
        WsFixture::SetUp();
        media_ = root_ / "media/hd0/media";
        fs::create_directories(media_);
    }

    // A logged-in browser session (from the client thread); the client
    // stays open for the test's length.
    std::string logged_in_session()
    {
        browser_ = std::make_unique<ws_client>();
        if (!browser_->open(port_) || !login(*browser_))
            return "";
        return browser_->session();
    }

    // POSTs a file as the page's form does; answers the HTTP status.
    int upload(const std::string &session, const fs::path &file, const std::string &name, const std::string &query = "")
    {
        return curl_upload(port_, session, file.string(), name, query);
    }

    fs::path file(const std::string &name, const std::string &content)
    {
        const fs::path p = root_ / ("src-" + name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    std::vector<std::string> names(const fs::path &dir)
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(dir, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    fs::path media_;
    std::unique_ptr<ws_client> browser_;
};

TEST_F(Uploads, ALoggedInUploadLandsInTheMediaDirectoryReplacingANamesake)
{
    std::ofstream(media_ / "clip.ts") << "old";
    drive([&] {
        const std::string session = logged_in_session();
        ASSERT_EQ(session.size(), 40u);
        EXPECT_EQ(upload(session, file("a", "new bytes"), "clip.ts"), 200);
        EXPECT_EQ(read_file(media_ / "clip.ts"), "new bytes");
        EXPECT_EQ(names(media_), std::vector<std::string>{"clip.ts"}); // no temporary left
    });
}

TEST_F(Uploads, RefusedWithoutLoginOrWithABadName)
{
    drive([&] {
        const fs::path src = file("x", "payload");
        EXPECT_EQ(upload("", src, "x.ts"), 403);
        ws_client anonymous;
        ASSERT_TRUE(anonymous.open(port_));
        EXPECT_EQ(upload(anonymous.session(), src, "x.ts"), 403);
        EXPECT_EQ(upload(std::string(40, 'a'), src, "x.ts"), 403);

        const std::string session = logged_in_session();
        for (const char *bad : {"../../x", ".hidden", "..", "a/b", "a\\\\b"})
            EXPECT_EQ(upload(session, src, bad), 400) << bad;
        // A form without a file uploads nothing.
        const std::string nofile = "curl -s -o /dev/null -w '%{http_code}' -b 'ZWSUI_SESSION=" + session +
                                   "' -F uploadsubmit=Upload 'http://127.0.0.1:" + std::to_string(port_) + "/upload'";
        std::string code;
        if (FILE *p = popen(nofile.c_str(), "r")) {
            char buf[16] = {};
            code = fgets(buf, sizeof buf, p) ? buf : "";
            pclose(p);
        }
        EXPECT_EQ(code, "400");
        EXPECT_TRUE(names(media_).empty());
        EXPECT_FALSE(fs::exists(root_ / "x"));
        EXPECT_FALSE(fs::exists(root_ / "media/x"));
    });
}

TEST_F(Uploads, ACutUploadLeavesNoFileNorDescriptorAndMarksNothingForTheNext)
{
    drive([&] {
        const std::string session = logged_in_session();
        const int fds = on_loop([] { return open_fds(); });
        // A certificate upload that stops in the middle of its body.
        int fd = connect_loopback(port_);
        ASSERT_GE(fd, 0);
        const std::string body_head = "--XyZ\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"cut.pem\"\r\n"
                                      "Content-Type: application/octet-stream\r\n\r\n" + std::string(5000, 'c');
        ASSERT_TRUE(send_all(fd, "POST /upload?security HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: ZWSUI_SESSION=" + session +
                                     "\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: 100000\r\n\r\n" +
                                     body_head));
        // The partial file exists while the body is on its way.
        const fs::path staging = root_ / "tmp/security/https-customer-certificate";
        EXPECT_TRUE(eventually([&] { return !names(staging).empty(); }));
        close(fd);
        EXPECT_TRUE(eventually([&] { return names(staging).empty() && open_fds() == fds; }))
            << names(staging).size() << " files, " << open_fds() - fds << " descriptors more";

        // The next upload, without a query, is an ordinary file.
        EXPECT_EQ(upload(session, file("n", "plain"), "next.pem"), 200);
        EXPECT_EQ(read_file(media_ / "next.pem"), "plain");
    });
}

TEST_F(Uploads, SettingsProfilesAreVerifiedAndInstalled)
{
    // The framework watches the directory's times (in seconds): an old one
    // makes the new file seen at once.
    const fs::path profiles = root_ / "var/local/solvera/profiles";
    fs::create_directories(profiles);
    fs::last_write_time(profiles, fs::file_time_type::clock::now() - std::chrono::hours(1));
    drive([&] {
        const std::string session = logged_in_session();
        EXPECT_EQ(upload(session, file("p", "{}"), "mine.pfl", "profile"), 200);
        EXPECT_TRUE(fs::exists(root_ / "var/local/solvera/profiles/mine.pfl"));
        EXPECT_TRUE(eventually([] { return kd_param_get_by_route("frame/settings_profiles/mine") != nullptr; }));
        EXPECT_EQ(upload(session, file("q", "{}"), "mine.txt", "profile"), 400);
        EXPECT_FALSE(fs::exists(root_ / "var/local/solvera/profiles/mine.txt"));
        EXPECT_TRUE(names(media_).empty());
    });
}

TEST_F(Uploads, DownloadLinksOnRequest)
{
    fs::create_directories(root_ / "data/dir");
    std::ofstream(root_ / "data/report.txt") << "report v1";
    std::ofstream(root_ / "data/other.txt") << "report v2";
    std::ofstream(root_ / "data/dir/inside.txt") << "inside";
    const auto publish = [](const char *path) {
        kd_cuvent_emit(nullptr, "request_publish_dir", const_cast<char *>(path));
        return 0;
    };
    drive([&] {
        on_loop([&] { return publish("/data/report.txt"); });
        EXPECT_EQ(http_get(port_, "/pub/report.txt").body, "report v1");
        on_loop([&] { return publish("/data/dir"); });
        EXPECT_EQ(http_get(port_, "/pub/dir/inside.txt").body, "inside");
        on_loop([&] { return publish("/data/missing.txt"); });
        EXPECT_EQ(http_get(port_, "/pub/missing.txt").status, 404);
        // Publishing the same name again replaces the link.
        fs::rename(root_ / "data/report.txt", root_ / "data/old.txt");
        fs::rename(root_ / "data/other.txt", root_ / "data/report.txt");
        on_loop([&] { return publish("/data/report.txt"); });
        EXPECT_EQ(http_get(port_, "/pub/report.txt").body, "report v2");
    });
    EXPECT_EQ(log_.count("Unable to create download link for '/data/missing.txt'. File does not exist."), 1);
}

TEST_F(Uploads, StagingIsPrivateAndNeverThroughALink)
{
    fs::create_directories(root_ / "elsewhere");
    fs::create_directories(root_ / "tmp");
    fs::create_directory_symlink(root_ / "elsewhere", root_ / "tmp/security");
    drive([&] {
        const std::string session = logged_in_session();
        EXPECT_EQ(upload(session, file("c", "cert"), "site.pem", "security"), 500);
        EXPECT_TRUE(names(root_ / "elsewhere").empty());
        EXPECT_EQ(upload(session, file("p", "{}"), "mine.pfl", "profile"), 200);
        EXPECT_EQ(fs::status(root_ / "tmp/settings-profiles/https-settings-profiles").permissions() & fs::perms::all,
                  fs::perms::owner_all);
    });
}

// An upload over its limit is answered 413 and leaves no file, whole or
// partial; one at the limit is taken. A body without a length (chunked) is
// refused: its framing would end up in the file.
TEST_F(Uploads, TooLargeUploadsAreRefusedAndLeaveNothing)
{
    const ws::upload_limits saved = ws::g_upload_limits;
    ws::g_upload_limits = {200u << 10, 20u << 10};
    const fs::path certs = root_ / "tmp/security/https-customer-certificate";
    drive([&] {
        const std::string session = logged_in_session();
        ASSERT_EQ(session.size(), 40u);
        const struct {
            size_t size;
            const char *query;
            bool chunked;
            int status;
        } cases[] = {
            {(200u << 10) + 1, "", false, 413},
            {(200u << 10) + 1, "", true, 411},
            {3u << 20, "", false, 413},
            {(20u << 10) + 1, "security", false, 413},
            {(20u << 10) + 1, "profile", false, 413},
            {200u << 10, "", false, 200},
            {1000, "", true, 411},
        };
        for (const auto &c : cases) {
            const fs::path src = file("big", std::string(c.size, 'u'));
            std::string cmd = "curl -s -o /dev/null -w '%{http_code}' --max-time 20 -b 'ZWSUI_SESSION=" + session +
                              "' -F 'uploadfile=@" + src.string() + ";filename=\"big.ts\"' -F uploadsubmit=Upload";
            if (c.chunked)
                cmd += " -H 'Transfer-Encoding: chunked'";
            cmd += " 'http://127.0.0.1:" + std::to_string(port_) + "/upload" + (*c.query ? "?" : "") + c.query + "'";
            const std::string what = std::to_string(c.size) + " " + c.query + (c.chunked ? " chunked" : "");
            EXPECT_EQ(output_of(cmd), std::to_string(c.status)) << what;
            if (c.status != 200) {
                EXPECT_TRUE(names(media_).empty()) << what;
                EXPECT_TRUE(names(certs).empty()) << what;
                EXPECT_TRUE(names(root_ / "tmp/settings-profiles/https-settings-profiles").empty()) << what;
            } else {
                EXPECT_EQ(read_file(media_ / "big.ts"), std::string(c.size, 'u')) << what;
                fs::remove(media_ / "big.ts");
            }
        }
        EXPECT_EQ(names(media_), std::vector<std::string>{});
    });
    ws::g_upload_limits = saved;
}

} // namespace
