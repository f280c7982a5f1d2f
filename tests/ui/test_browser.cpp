#include "tests/ui/ui_fixture.h"

#include "core/pending.h"
#include "platform/nativehost.h"
#include "settings/registry.h"

#include <csignal>
#include <cstdio>
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

class BrowserHost : public moontest::Sandbox {};

// The host as a browser runs it: the good links of a message reach the copy of the data folder,
// which the host starts, with their cookies; every other frame gets its own answer, and nothing
// ends the host but the end of its input, a frame it cannot read whole or a closed output.
TEST_F(BrowserHost, HandsTheGoodLinksToTheCopyItStartsAndAnswersEveryFrame)
{
    ASSERT_EQ(RegStore_CreateFile(REG_ROOT_CURRENT_USER), REG_OK);   // no first-start dialog
    std::filesystem::create_directory("dl");
    ASSERT_EQ(Reg_WriteString(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_DOWNLOAD, path("dl").c_str()), REG_OK);
    moontest::NginxServer nginx(path("nginx"));
    nginx.makeFile("a.zip", 5000);
    nginx.makeFile("c.zip", 6000);
    nginx.addConfig(R"(location = /c.zip { if ($http_cookie != "s=1; t=2") { return 403; } })");
    ASSERT_TRUE(nginx.start());

    const std::string refused = R"({"added":false,"reason":"Badly formatted URL, or not a file!"})";
    std::vector<Link> pages;
    for (int k = 0; k < 10000; ++k)
        pages.push_back({"http://127.0.0.1/page" + std::to_string(k) + ".html"});
    const std::string good = linksMessage({{nginx.url("a.zip")}, {nginx.url("c.zip"), nginx.url(""), "s=1; t=2"},
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

    // The copy the host started queried both links, the second with its cookies, which it keeps
    // in no file.
    const std::string folder = path("data/moonfetch/");
    EXPECT_TRUE(moontest::waitFor([&] {
        const std::string list = readFile(folder + PENDING_FILE);
        return list.find(nginx.url("a.zip") + "\n" + path("dl/a.zip") + "\n5000\t") != std::string::npos &&
               list.find(nginx.url("c.zip") + "\n" + path("dl/c.zip") + "\n6000\t") != std::string::npos;
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

}  // namespace
