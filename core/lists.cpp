#include "core/lists.h"

#include <cstdlib>

namespace {

// The lists are the program's memory of the user's links; once they are inconsistent any
// further step could free or write the wrong record, so nothing more may run.
[[noreturn]] void brokenList()
{
    std::abort();
}

bool linksBack(const ListLink* node)
{
    return node->prev->next == node && node->next->prev == node;
}

}  // namespace

void List_Init(ListLink* node)
{
    node->next = node;
    node->prev = node;
}

bool List_IsEmpty(const ListLink* head)
{
    return head->next == head;
}

void List_Append(ListLink* head, ListLink* node)
{
    ListLink* last = head->prev;
    if (node->next != node || node->prev != node)
        brokenList();
    if (last->next != head)
        brokenList();
    node->next = head;
    head->prev = node;
    last->next = node;
    node->prev = last;
    if (!linksBack(node))
        brokenList();
}

void List_Remove(ListLink* node)
{
    if (!linksBack(node))
        brokenList();
    node->prev->next = node->next;
    node->next->prev = node->prev;
    List_Init(node);
}

ListLink* List_PopFirst(ListLink* head)
{
    if (List_IsEmpty(head))
        return nullptr;
    ListLink* first = head->next;
    List_Remove(first);
    return first;
}

size_t List_Count(const ListLink* head)
{
    size_t count = 0;
    for (const ListLink* node = head->next; node != head; node = node->next)
        ++count;
    return count;
}
