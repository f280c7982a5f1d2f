// Intrusive, circular, doubly linked lists with a sentinel head.
//
// Contract:
// - A node is any record whose first member is a ListLink; the list that holds it owns it.
// - A detached node and an empty head both point to themselves.
// - Not thread-safe: lists are linked and unlinked on the user-interface thread only (the query
//   pool's waiting line, under the pool's own lock, excepted).
// - A broken invariant (appending a linked node, links that do not point back) is an internal
//   fault that ends the process at once, without a message and without saving anything.
#pragma once

#include <cstddef>

struct ListLink {
    ListLink* next;
    ListLink* prev;
};

// Makes node (or head) point to itself: detached node, empty list.
void List_Init(ListLink* node);
bool List_IsEmpty(const ListLink* head);
// Links a detached node at the end of the list.
void List_Append(ListLink* head, ListLink* node);
// Unlinks node from its list and leaves it detached.
void List_Remove(ListLink* node);
// Removes and returns the first node, or null for an empty list.
ListLink* List_PopFirst(ListLink* head);
size_t List_Count(const ListLink* head);
