#include "web/session.h"

#include "net/errors.h"
#include "net/inet.h"

namespace {
InetSession* sessionHandle = nullptr;
}

int Wire_Init()
{
    // The program opens the session once; a core started again (tests do) keeps it.
    if (sessionHandle == nullptr)
        sessionHandle = Inet_Open(WIRE_AGENT);
    return sessionHandle ? 0 : ERR_CALL_FAILED;
}

InetSession* Wire_Session()
{
    return sessionHandle;
}
