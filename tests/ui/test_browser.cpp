#include "tests/ui/ui_fixture.h"

#include "core/pending.h"
#include "platform/browserhosts.h"
#include "platform/nativehost.h"
#include "settings/registry.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using moontest::readFile;

std::string frame(std::string_view payload, uint32_t length)
{
    return std::string(reinterpret_cast<const char*>(&length), sizeof length).append(payload);
}

std::string frame(std::string_view payload)
{
    return frame(payload, uint32_t(payload.size()));
}

struct HostRun {
    int exitCode = -1;   // -1: ended by a signal
    std::vector<std::string> answers;
};

// `moonfetch --native-host` as a browser starts it, fed input; with closedOutput nobody reads
// its answers.
HostRun runHost(const std::string& input, bool closedOutput)
{
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    char program[] = MOON_PROGRAM, option[] = "--native-host";
    char* argv[] = {program, option, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (closedOutput)
        close(out[0]);
    // A host that gave up on its input closes it: the rest is not written.
    const auto before = std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        (void)!write(in[1], input.data(), input.size());
        close(in[1]);
    });
    HostRun run;
    std::string payload;
    while (!closedOutput && Native_ReadFrame(out[0], &payload) == NATIVE_FRAME)
        run.answers.push_back(payload);
    writer.join();
    std::signal(SIGPIPE, before);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!closedOutput)
        close(out[0]);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct Link {
    std::string url, referrer = "", cookieHeader = "";
};

std::string linksMessage(const std::vector<Link>& links)
{
    std::string text;
    for (const Link& link : links)
        text += (text.empty() ? "" : ",") + ("{\"url\":\"" + link.url + "\",\"referrer\":\"" + link.referrer +
                                             "\",\"cookieHeader\":\"" + link.cookieHeader + "\"}");
    return "{\"links\":[" + text + "]}";
}

class BrowserHost : public moontest::Sandbox {
protected:
    // Settings without a first-start dialog, downloads into "dl"; nginx serves a.zip, c.zip
    // only with the cookie "s=1; t=2", and a page that sets "s=1" and links to d.zip, which it
    // serves only with that cookie.
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);
        std::filesystem::create_directory("dl");
        ASSERT_EQ(Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, path("dl").c_str()),
                  REG_OK);
        nginx = std::make_unique<moontest::NginxServer>(path("nginx"));
        for (const char* name : {"a.zip", "c.zip", "d.zip"})
            nginx->makeFile(name, 6000);
        nginx->addConfig(R"(location = /c.zip { if ($http_cookie != "s=1; t=2") { return 403; } })");
        nginx->addConfig(R"(location = /d.zip { if ($http_cookie != "s=1") { return 403; } })");
        nginx->addConfig(R"(location = /page.html { default_type text/html; add_header Set-Cookie "s=1; Path=/"; return 200 "<a href=d.zip>d</a>"; })");
        ASSERT_TRUE(nginx->start());
    }
    // Waits until the copy of the data folder holds each of names, queried, and ends it.
    void expectQueriedAndEndCopy(const std::vector<std::string>& names)
    {
        const std::string folder = path("data/moonfetch/");
        EXPECT_TRUE(moontest::waitFor([&] {
            const std::string list = readFile(folder + PENDING_FILE);
            for (const std::string& name : names)
                if (list.find(nginx->url(name) + "\n" + path("dl/" + name) + "\n6000") == std::string::npos)
                    return false;
            return true;
        })) << readFile(folder + PENDING_FILE);
        const pid_t copy = std::atoi(readFile(folder + "moonfch_lock.txt").c_str());
        ASSERT_GT(copy, 0);
        ::kill(copy, SIGTERM);
        // Not the test's child: ended once gone or a zombie nobody reaps.
        EXPECT_TRUE(moontest::waitFor([&] {
            const std::string stat = readFile("/proc/" + std::to_string(copy) + "/stat");
            return stat.empty() || stat.find(") Z ") != std::string::npos;
        }));
        for (const char* file : {PENDING_FILE, "moonfch_log.txt"})
            EXPECT_EQ(readFile(folder + file).find("s=1"), std::string::npos) << file;
    }
    std::unique_ptr<moontest::NginxServer> nginx;
};

// The host as a browser runs it: the good links of a message reach the copy of the data folder,
// which the host starts, with their cookies; every other frame gets its own answer, and nothing
// ends the host but the end of its input, a frame it cannot read whole or a closed output.
TEST_F(BrowserHost, HandsTheGoodLinksToTheCopyItStartsAndAnswersEveryFrame)
{
    const std::string refused = R"({"added":false,"reason":"Badly formatted URL, or not a file!"})";
    std::vector<Link> pages;
    for (int k = 0; k < 10000; ++k)
        pages.push_back({"http://127.0.0.1/page" + std::to_string(k) + ".html"});
    const std::string good = linksMessage({{nginx->url("a.zip")}, {nginx->url("c.zip"), nginx->url(""), "s=1; t=2"},
                                           {"http://h/folder/"}, {"http://h/nul\\u0000.zip"}});
    const std::string empty = R"({"links":[]})";
    auto error = [](const std::string& why) { return "{\"error\":\"" + why + "\"}"; };
    struct Row { const char* name; std::string input; bool closedOutput; int exitCode; std::vector<std::string> answers; };
    const Row rows[] = {
        {"links, then every kind of frame", frame(good) + frame("{\"links\":") + frame("{\"links\":[\"\xFF\"]}") +
             frame(R"({"links":{}})") + frame(linksMessage(pages)) + frame(empty, 40),
         false, 1,
         {R"({"added":2,"refused":2,"omitted":0,"results":[{"added":true},{"added":true},)" + refused + "," +
              refused + "]}",
          error("The message is not valid JSON."), error("The message is not UTF-8 text."),
          error(R"(The message is not an object with \"links\", a list of objects each with a \"url\" text.)"),
          R"({"added":0,"refused":10000,"omitted":0,"results":[)" + refused,
          error("The message ends before its announced length.")}},
        {"length 0xFFFFFFFF", frame(empty, 0xFFFFFFFF) + frame(empty), false, 1,
         {error("The message is larger than 1 MB.")}},
        {"no frame at all", "", false, 0, {}},
        {"nobody reads the answers", frame(empty) + frame(empty), true, 0, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HostRun run = runHost(row.input, row.closedOutput);
        EXPECT_EQ(run.exitCode, row.exitCode);
        ASSERT_EQ(run.answers.size(), row.answers.size());
        for (size_t k = 0; k < row.answers.size(); ++k)
            EXPECT_EQ(run.answers[k].substr(0, row.answers[k].size()), row.answers[k]);
    }

    // The copy the host started queried both links, the second with its cookies.
    expectQueriedAndEndCopy({"a.zip", "c.zip"});
}

// The extension in Chromium: its menu action on a link of a page that set a cookie ends with the
// link queried with that cookie by the copy that the host, started by the browser, started.
TEST_F(BrowserHost, ChromiumHandsALinkOfAPageWithThePagesCookie)
{
    if (!std::filesystem::exists("/usr/bin/chromium") || !std::filesystem::exists(MOON_PUPPETEER))
        GTEST_SKIP() << "needs Debian's chromium and puppeteer-core in " MOON_PUPPETEER;
    std::filesystem::create_directories("profile/NativeMessagingHosts");
    moontest::writeFile("profile/NativeMessagingHosts/com.larkvale.moonfetch.json",
                        Browser_HostManifest(false, MOON_PROGRAM));
    const std::string command = "NODE_PATH='" MOON_PUPPETEER "/..' node '" MOON_SOURCE "/tests/ui/chromium_menu.js' '"
                                MOON_SOURCE "/browser/extension' '" + path("profile") + "' '" + nginx->url("page.html") +
                                "' '" + nginx->url("d.zip") + "' > told.txt";
    ASSERT_EQ(std::system(("timeout 120 sh -c \"" + command + "\"").c_str()), 0) << readFile("told.txt");
    EXPECT_EQ(readFile("told.txt"), "Added: " + nginx->url("d.zip") + "\n");
    expectQueriedAndEndCopy({"d.zip"});
}

}  // namespace
