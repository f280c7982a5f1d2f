#include "lists.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Node {
    ListLink link;
    int id;
};

// The ids from the head on; the walk backwards and the count must agree with it.
std::vector<int> ids(const ListLink& head)
{
    std::vector<int> forward, backward;
    for (const ListLink* at = head.next; at != &head; at = at->next)
        forward.push_back(reinterpret_cast<const Node*>(at)->id);
    for (const ListLink* at = head.prev; at != &head; at = at->prev)
        backward.insert(backward.begin(), reinterpret_cast<const Node*>(at)->id);
    EXPECT_EQ(backward, forward);
    EXPECT_EQ(List_Count(&head), forward.size());
    EXPECT_EQ(List_IsEmpty(&head), forward.empty());
    return forward;
}

class Lists : public ::testing::Test {
protected:
    void SetUp() override
    {
        List_Init(&head);
        for (int i = 0; i < 4; ++i) {
            nodes[i].id = i;
            List_Init(&nodes[i].link);
        }
    }
    ListLink head;
    Node nodes[4];
};

TEST_F(Lists, AppendRemoveAndPopKeepTheOrderAndDetachTheNode)
{
    EXPECT_EQ(List_PopFirst(&head), nullptr);
    for (auto& node : nodes)
        List_Append(&head, &node.link);
    List_Remove(&nodes[2].link);   // middle
    List_Remove(&nodes[3].link);   // last
    EXPECT_EQ(ids(head), (std::vector<int>{0, 1}));
    List_Append(&head, &nodes[3].link);   // a removed node may be linked again
    ListLink* popped = List_PopFirst(&head);
    EXPECT_TRUE(popped == &nodes[0].link && popped->next == popped && popped->prev == popped);
    EXPECT_EQ(ids(head), (std::vector<int>{1, 3}));
    List_PopFirst(&head);
    EXPECT_EQ(List_PopFirst(&head), &nodes[3].link);
    EXPECT_EQ(ids(head), std::vector<int>{});
}

using ListsDeathTest = Lists;

TEST_F(ListsDeathTest, BrokenInvariantEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    List_Append(&head, &nodes[0].link);
    // Appending a node that is still linked would tie two lists together.
    EXPECT_DEATH(List_Append(&head, &nodes[0].link), "");
    // A node whose neighbour no longer points back: removing it would corrupt the neighbour.
    List_Append(&head, &nodes[1].link);
    nodes[1].link.prev = &nodes[2].link;
    EXPECT_DEATH(List_Remove(&nodes[1].link), "");
    // A last node that does not lead back to the head.
    ListLink other;
    List_Init(&other);
    head.prev = &nodes[1].link;
    nodes[1].link.next = &other;
    EXPECT_DEATH(List_Append(&head, &nodes[3].link), "");
}

}  // namespace
