// intlist: builds a list of ten digits by inserting each one at the front,
// then prints the list from front to back, so the digits come out in the
// reverse of the order they went in.

#include "intlist.h"

#include <cstdio>
#include <cstdlib>

ListNode *START;

// Returns a new node holding value, not yet in the list (its nextNode is
// null). O(1): one allocation. If the heap is exhausted it reports that on
// standard error and ends the process with status 1; it never returns null.
ListNode *creatNode(std::int32_t value)
{
    auto *node = static_cast<ListNode *>(std::malloc(sizeof(ListNode)));
    if (node == nullptr) {
        std::fputs("intlist: out of memory\n", stderr);
        std::exit(EXIT_FAILURE);
    }
    node->value = value;
    node->nextNode = nullptr;
    return node;
}

// Makes node the first node of the list; the former first node, if any,
// follows it. O(1). Cannot fail; node must come from creatNode and be
// inserted once.
void addNewNodeAtStart(ListNode *node)
{
    node->nextNode = START;
    START = node;
}

// Writes every value from the first node to the last, in decimal with nothing
// between them, to standard output. O(n). Does not flush: a failed write
// shows only in the stream's error flag, for the caller to check.
void printLinkedList()
{
    for (const ListNode *node = START; node != nullptr; node = node->nextNode) {
        std::printf("%d", node->value);
    }
}

int main()
{
    // The first ten digits of pi, so the output is them reversed.
    addNewNodeAtStart(creatNode(3));
    addNewNodeAtStart(creatNode(1));
    addNewNodeAtStart(creatNode(4));
    addNewNodeAtStart(creatNode(1));
    addNewNodeAtStart(creatNode(5));
    addNewNodeAtStart(creatNode(9));
    addNewNodeAtStart(creatNode(2));
    addNewNodeAtStart(creatNode(6));
    addNewNodeAtStart(creatNode(5));
    addNewNodeAtStart(creatNode(3));
    printLinkedList();

    // Flush and close here rather than at exit, where a full disk, a closed
    // descriptor or a file system that reports a failed write only at close
    // (NFS, say) would be lost and the run would still look successful.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::fclose(stdout) != 0) {
        std::perror("intlist: write error");
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
