#include "unit_tree.h"

#include <stdexcept>
#include <string>

namespace velmora_log {

void Unit_Tree::Push(Index level, Index index, const double *record) {
  if (level < 0 || level > 62 || index < 0 || (next_ >= 0 && (index << level) != next_))
    throw std::logic_error("Unit_Tree: node (" + std::to_string(level) + ", " +
                           std::to_string(index) + ") does not follow leaf " +
                           std::to_string(next_));
  next_ = (index + 1) << level;
  stack_.push_back(Node{level, index, std::vector<double>(record, record + width_)});
  while (stack_.size() >= 2) {
    Node &right = stack_.back(), &left = stack_[stack_.size() - 2];
    if (left.level != right.level || left.index % 2 != 0 || left.index + 1 != right.index) break;
    for (Index e = 0; e < width_; ++e) left.sum[e] = left.sum[e] + right.sum[e];
    ++left.level;
    left.index /= 2;
    stack_.pop_back();
  }
}

void Unit_Tree::Push_Nodes(const std::vector<double> &nodes) {
  const auto bad = [&] {
    throw std::logic_error("Unit_Tree: a list of nodes of " + std::to_string(nodes.size()) +
                           " values does not hold records of " + std::to_string(width_));
  };
  if (nodes.empty()) bad();
  const Index count = static_cast<Index>(nodes[0]);
  if (count < 0 || static_cast<Index>(nodes.size()) != 1 + count * (2 + width_)) bad();
  for (Index i = 0; i < count; ++i) {
    const double *node = nodes.data() + 1 + i * (2 + width_);
    Push(static_cast<Index>(node[0]), static_cast<Index>(node[1]), node + 2);
  }
}

std::vector<double> Unit_Tree::Nodes() const {
  std::vector<double> out;
  out.reserve(1 + stack_.size() * (2 + width_));
  out.push_back(static_cast<double>(stack_.size()));
  for (const Node &n : stack_) {
    out.push_back(static_cast<double>(n.level));
    out.push_back(static_cast<double>(n.index));
    out.insert(out.end(), n.sum.begin(), n.sum.end());
  }
  return out;
}

std::vector<double> Unit_Tree::Total() const {
  if (stack_.empty()) return std::vector<double>(static_cast<size_t>(width_), 0.0);
  std::vector<double> total = stack_.back().sum;
  for (size_t i = stack_.size() - 1; i-- > 0;)
    for (Index e = 0; e < width_; ++e) total[e] = stack_[i].sum[e] + total[e];
  return total;
}

}  // namespace velmora_log
