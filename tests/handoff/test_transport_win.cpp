// The handoff's transport on Win32 (run under Wine): a message-only window per folder, answered
// only while its thread pumps messages.
#include "handoff/transport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

namespace {

TEST(WinHandoff, AnswersTheCopyThatPumpsAndTellsNoCopyFromAHungOne)
{
    struct Row {
        const char* folder;   // the sender's; the server serves "C:\\moon\\data"
        bool pumps;
        int result;
    };
    const Row rows[] = {
        {"c:/Moon/./data", true, HANDOFF_OK},
        {"C:\\moon\\other", true, HANDOFF_NO_COPY},
        {"C:\\moon\\data", false, HANDOFF_HUNG},
    };
    for (const Row& row : rows) {
        std::atomic<bool> serving{false}, done{false};
        std::thread server([&] {
            Handoff_Serve("C:\\moon\\data", [](const HandoffRequest& request, HandoffAnswer* answer) {
                for (const HandoffLink& link : request.links)
                    answer->results.push_back({link.url, true, ""});
            });
            serving = true;
            while (!done) {
                MSG msg;
                while (row.pumps && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                    DispatchMessageW(&msg);
                Sleep(5);
            }
            Handoff_Close();
        });
        while (!serving)
            Sleep(5);
        const HandoffRequest request{{{"https://example.com/a.zip", "", ""}}};
        HandoffAnswer answer;
        EXPECT_EQ(Handoff_Send(row.folder, request, &answer, 300), row.result) << row.folder;
        EXPECT_TRUE(row.result != HANDOFF_OK || answer.results.at(0).url == "https://example.com/a.zip");
        done = true;
        server.join();
    }
}

}  // namespace
