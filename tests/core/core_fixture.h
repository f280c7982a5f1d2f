// A sandbox with the download core started in it (trace log, Internet session, empty lists)
// and stopped afterwards.
#pragma once

#include "items.h"

#include "fixtures.h"

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

}  // namespace moontest
