#include "core/lists.h"

#include <gtest/gtest.h>

namespace {

// The lists' ordinary work is shown through the download core's item lists; here only the
// checks that stop a broken list.
TEST(ListsDeathTest, BrokenInvariantEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ListLink head, nodes[4], other;
    for (ListLink* link : {&head, &nodes[0], &nodes[1], &nodes[2], &nodes[3], &other})
        List_Init(link);
    List_Append(&head, &nodes[0]);
    // Appending a node that is still linked would tie two lists together.
    EXPECT_DEATH(List_Append(&head, &nodes[0]), "");
    // A node whose neighbour no longer points back: removing it would corrupt the neighbour.
    List_Append(&head, &nodes[1]);
    nodes[1].prev = &nodes[2];
    EXPECT_DEATH(List_Remove(&nodes[1]), "");
    // A last node that does not lead back to the head.
    head.prev = &nodes[1];
    nodes[1].next = &other;
    EXPECT_DEATH(List_Append(&head, &nodes[3]), "");
}

}  // namespace
