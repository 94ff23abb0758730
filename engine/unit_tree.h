// Sums of per-leaf records along one fixed binary tree over the leaves: a
// leaf is a fixed number of points counted from the first point of all the
// data, node (level, index) covers leaves [index 2^level, (index + 1)
// 2^level) and is the sum of its two children, left + right, element by
// element. A complete node is the same bits whoever forms it from whatever
// run of leaves; the total folds the nodes left at the end from the right.
// So a sum formed over any split of the leaves (threads, chunks, blocks,
// machines) is the same bits as one formed in one piece.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora_log {

class Unit_Tree {
 public:
  using Index = std::int64_t;

  explicit Unit_Tree(Index width) : width_(width) {}

  Index width() const { return width_; }
  // The first leaf past those pushed (after none: the first one's start).
  Index next_leaf() const { return next_; }

  // Node (level, index), the next in leaf order after those pushed: merged
  // with its left sibling whenever that is the node before it, and so on
  // up. Throws std::logic_error for a node out of order.
  void Push(Index level, Index index, const double *record);
  // Nodes serialised by Nodes(), pushed one after another.
  void Push_Nodes(const std::vector<double> &nodes);

  // The nodes held, in leaf order: how many, then level, index and the
  // record of each. Those of one run of leaves are what a holder of that
  // run returns for another to push beside the other runs.
  std::vector<double> Nodes() const;

  // The sum over every leaf pushed (zeros where none was).
  std::vector<double> Total() const;

 private:
  struct Node {
    Index level, index;
    std::vector<double> sum;
  };
  Index width_;
  Index next_ = -1;
  std::vector<Node> stack_;
};

}  // namespace velmora_log
