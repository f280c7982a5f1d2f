#include "inet.h"

#include <curl/curl.h>

#include <mutex>
#include <new>
#include <string>

struct InetSession {
    std::string agent;
};

namespace {

// libcurl's global set-up is not thread-safe and must run once per process.
bool startLibrary()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return started;
}

}  // namespace

InetSession* Inet_Open(const char* agent)
{
    if (agent == nullptr || !startLibrary())
        return nullptr;
    return new (std::nothrow) InetSession{agent};
}

const char* Inet_Agent(const InetSession* session)
{
    return session->agent.c_str();
}
