// The integer list of intlist: one singly linked list per process, reached
// through START, that grows only at its front.
#ifndef INTLIST_H
#define INTLIST_H

#include <cstdint>

struct ListNode {
    std::int32_t value;
    ListNode *nextNode;
};

// The first node of the list, or null while the list is empty.
extern ListNode *START;

ListNode *creatNode(std::int32_t value);
void addNewNodeAtStart(ListNode *node);
void printLinkedList();

#endif
