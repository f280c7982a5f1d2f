#include "ui/browser.h"

#include "ui/ui.h"

#include "browsers/browserhosts.h"
#include "handoff/nativehost.h"
#include "handoff/transport.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/program.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "web/linkdrop.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// Ten thousand links take the copy a while to add.
constexpr int HANDOFF_WAIT_MS = 30000;
// How long a copy that the host started may take to listen.
constexpr auto START_WAIT = std::chrono::seconds(15);
constexpr auto START_POLL = std::chrono::milliseconds(200);
constexpr const char* REFUSED_LINK = "Badly formatted URL, or not a file!";
constexpr const char* NO_ANSWER = "Moonfetch did not answer in time.";
constexpr const char* NOT_REACHED = "Moonfetch is not running and could not be started.";
constexpr const char* NOT_ADDED = "Moonfetch did not add the link.";

// What each of the transport's failures tells the browser about a link.
struct Failure {
    int sent;
    const char* reason;
};
constexpr Failure FAILURES[] = {
    {HANDOFF_HUNG, NO_ANSWER},
    {HANDOFF_NO_COPY, NOT_REACHED},
    {HANDOFF_TOO_BIG, "too many links at once"},
};

// Starts `moonfetch --data-folder` on its own, apart from the browser's pipes and session.
bool startCopy()
{
    return Plat_StartDetached(Plat_ProgramFile(), {"--data-folder"});
}

// Sends the request in parts that each fit a frame; *answer has the results of the parts that
// were answered, in order.
int sendParts(const std::string& folder, const HandoffRequest& request, HandoffAnswer* answer)
{
    *answer = HandoffAnswer{};
    for (const HandoffRequest& part : Handoff_Split(request)) {
        HandoffAnswer got;
        const int sent = Handoff_Send(folder.c_str(), part, &got, HANDOFF_WAIT_MS);
        if (sent != HANDOFF_OK)
            return sent;
        answer->results.insert(answer->results.end(), got.results.begin(), got.results.end());
    }
    return HANDOFF_OK;
}

// Hands the request to the copy of the data folder, the current one, starting it when none
// runs. A copy that holds the folder's lock but does not listen yet is waited for, never
// joined by another one, which would only find the lock held.
int handOff(const HandoffRequest& request, HandoffAnswer* answer)
{
    std::error_code error;
    const std::string folder = Plat_PathText(std::filesystem::current_path(error));
    int sent = sendParts(folder, request, answer);
    if (sent != HANDOFF_NO_COPY || (!Plat_InstanceLocked(LOCK_FILE) && !startCopy()))
        return sent;
    const auto deadline = std::chrono::steady_clock::now() + START_WAIT;
    while (sent == HANDOFF_NO_COPY && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(START_POLL);
        sent = sendParts(folder, request, answer);
    }
    return sent == HANDOFF_NO_COPY && Plat_InstanceLocked(LOCK_FILE) ? HANDOFF_HUNG : sent;
}

// Why a link that the copy did not answer for was not added, after the transport's result.
const char* failureReason(int sent)
{
    for (const Failure& failure : FAILURES)
        if (failure.sent == sent)
            return failure.reason;
    return NOT_ADDED;
}

// The link test that a drop onto the window passes, with the person's AllowHTML, and the one
// the copy applies (which refuses a NUL with the other controls): only links that it takes go to it.
bool passesLinkTest(LinkDropTarget* test, const std::string& url)
{
    return MQUI_LinkRefusal(url) == nullptr && test->IsAcceptableLink(url.c_str()) == 1;
}

// Answers one message: the links that pass the link test go to the copy, each gets its result.
std::string answerLinks(const std::vector<HandoffLink>& links)
{
    LinkDropTarget test{};
    Reg_ReadDword(REG_ROOT_CURRENT_USER, REG_KEY_DIRECTORIES, REG_VAL_ALLOW_HTML, &test.allowHTML);
    std::vector<NativeResult> results(links.size(), NativeResult{false, REFUSED_LINK});
    HandoffRequest request;
    request.raise = false;
    std::vector<size_t> passed;   // the position in links of each link of the request
    for (size_t k = 0; k < links.size(); ++k) {
        if (!passesLinkTest(&test, links[k].url))
            continue;
        request.links.push_back({links[k].url, links[k].referrer, links[k].cookieHeader});
        passed.push_back(k);
    }
    HandoffAnswer answer;
    const int sent = passed.empty() ? HANDOFF_OK : handOff(request, &answer);
    for (size_t k = 0; k < passed.size(); ++k) {
        NativeResult& result = results[passed[k]];
        if (k < answer.results.size())
            result = {answer.results[k].added, answer.results[k].added ? "" : answer.results[k].reason};
        else
            result.reason = failureReason(sent);
    }
    return Native_EncodeAnswer(results);
}

// Serves the browser until it closes the pipe: one answer per frame. The data folder is its
// current folder, where the copy it starts runs too; without one, no link gets through.
int runNativeHost()
{
    Plat_PrepareStdioPipes();
    if (MQUI_EnterDataFolder() != 0)
        std::filesystem::current_path("/");
    std::string payload;
    for (;;) {
        const int read = Native_ReadFrame(PLAT_STDIN, &payload);
        if (read == NATIVE_END)
            return 0;
        if (read != NATIVE_FRAME) {
            Native_WriteFrame(PLAT_STDOUT, Native_EncodeError(Native_FrameRefusal(read)));
            return 1;
        }
        std::vector<HandoffLink> links;
        const std::string refusal = Native_DecodeMessage(payload, &links);
        if (!Native_WriteFrame(PLAT_STDOUT, refusal.empty() ? answerLinks(links) : Native_EncodeError(refusal)))
            return 0;
    }
}

// Tells what became of each manifest; 1 when any failed.
int tellHostFiles(const std::vector<BrowserHostFile>& files, const char* done, const char* none)
{
    int exitCode = 0;
    for (const BrowserHostFile& file : files) {
        if (file.error == 0) {
            std::printf("%s %s\n", done, file.path.c_str());
        } else {
            std::fprintf(stderr, "moonfetch: %s: %s\n", file.path.c_str(), std::strerror(file.error));
            exitCode = 1;
        }
    }
    if (files.empty())
        std::printf("%s\n", none);
    return exitCode;
}

}  // namespace

int MQUI_BrowserCommand(int argc, char** argv)
{
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--native-host" || Browser_StartedAsHost(argc, argv))
        return runNativeHost();
    if (first == "--install-browser-hosts")
        return tellHostFiles(Browser_InstallHosts(Plat_ProgramFile()), "Wrote",
                             "No browser folder was found: no manifest was written.");
    if (first == "--uninstall-browser-hosts")
        return tellHostFiles(Browser_UninstallHosts(), "Removed", "No manifest of Moonfetch was found.");
    return -1;
}
