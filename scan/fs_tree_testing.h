// The walk's entries kept in a list, for tests, the fuzz target and tools
// that look at them one by one. The product never keeps the list: it builds
// the tree's JSON text during the walk (build_fs_tree_json).

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scan/fs_tree.h"

namespace halvex {

struct FsListedEntry {
  std::string name, path;
  uint64_t size = 0;
  uint32_t cluster = 0;
  bool is_dir = false;
};

struct FsTree {
  std::string fs_type;
  std::vector<FsListedEntry> entries;
  bool capped = false;
};

class FsListSink : public FsEntrySink {
 public:
  explicit FsListSink(FsTree* tree) : tree_(tree) {}
  void start(std::string_view) override {}
  void add(const FsEntry& e) override {
    tree_->entries.push_back(
        {std::string(e.name), std::string(e.path), e.size, e.cluster, e.is_dir});
  }

 private:
  FsTree* tree_;
};

inline FsTree list_fs_tree(const FsReadAt& read_at, uint64_t disk_size) {
  FsTree tree;
  FsListSink sink(&tree);
  FsWalkResult walk = walk_fs_tree(read_at, disk_size, sink);
  tree.fs_type = walk.fs_type;
  tree.capped = walk.capped;
  return tree;
}

}  // namespace halvex
