// A sandbox with the download core started in it (trace log, Internet session, empty lists)
// and stopped afterwards.
#pragma once

#include "core/items.h"
#include "core/start.h"
#include "platform/text.h"

#include "tests/support/fixtures.h"

#include <csignal>
#include <string>
#include <sys/resource.h>

namespace moontest {

class CoreSandbox : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ASSERT_EQ(MOONQ_Start(), 0);
    }
    void TearDown() override
    {
        MOONQ_Stop();
        Sandbox::TearDown();
    }
};

// A new item at the end of pendingList: url with flags, its local file as given, and size.
inline UrlItem* newItem(const std::string& url, uint32_t flags, const std::string& localPath = "", int64_t size = 0)
{
    UrlItem* item = MOONQ_NewItem(url.c_str());
    item->flags = flags;
    MOONQ_SetLocalName(item, localPath.c_str());
    item->size = size;
    return item;
}

// Runs body while no file may grow past bytes, which fails writes as a full disk does; its result.
template <class Body>
auto withFileSizeLimit(rlim_t bytes, Body body)
{
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limited = {bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    auto result = body();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

}  // namespace moontest
