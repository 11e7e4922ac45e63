// Whether this machine's memory lies on one node. Where it lies on several, a page lives on the node
// of the thread that first wrote it, so rows written by a team are partly remote for a solver that
// steps on the calling thread alone; on one node, who writes them makes no difference.
#pragma once

namespace core {

// True when the kernel lists one node with memory (/sys/devices/system/node/has_memory); false
// where it lists several or cannot be read.
bool memory_on_one_node();

// Whether a node list as the kernel prints it ("0", "0-1", "0,2", with a newline) names one node.
bool names_one_node(const char *list);

}  // namespace core
