// The application's menu list and the list of installed plugs, as the framework offers them to
// plug-ins, and the loader of the menu file that a host is given (format in docs/basalt.md).
//
// Entries of a TMenuList come in tree pre-order: every entry is followed by its descendants. A
// caption of exactly "-" marks a separator. Menu ids are positive; 0 is the parent id of the
// top-level entries. Thread: UI thread only.
#pragma once

#include <string>
#include <vector>

#include "basalt/BasaltApi.h"

namespace qorvin {

class BASALT_API TMenuInfo {
 public:
  TMenuInfo(int id, int parentId, std::string caption)
      : id_(id), parent_id_(parentId), caption_(std::move(caption)) {}
  const std::string& GetMenuCaption() const { return caption_; }
  int GetMenuId() const { return id_; }
  int GetMenuParentId() const { return parent_id_; }

 private:
  int id_;
  int parent_id_;
  std::string caption_;
};

class BASALT_API TMenuList {
 public:
  int GetCount() const { return int(items_.size()); }
  // The entry at `index` (from 0); EBasaltError when out of range.
  const TMenuInfo& GetMenuInfo(int index) const;
  void Add(TMenuInfo info) { items_.push_back(std::move(info)); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TMenuInfo> items_;
};

// One installed plug: the class that serves a menu function.
struct BASALT_API TPlugListItem {
  std::string PlugName;
  int MenuId = 0;
};

class BASALT_API TPlugList {
 public:
  // The plug registered for the menu function `menuId`, or nullptr. The pointer stays valid until
  // the list is changed.
  const TPlugListItem* FindByMenuId(int menuId) const;
  void Add(TPlugListItem item) { items_.push_back(std::move(item)); }
  int GetCount() const { return int(items_.size()); }
  void Clear() { items_.clear(); }

 private:
  std::vector<TPlugListItem> items_;
};

// Reads a menu file into `menus` and `plugs` (both replaced). EBasaltError naming the file and
// the line on any malformed line, an unreadable file, or a file larger than 16 MiB; the lists are
// then left unchanged.
BASALT_API void LoadMenuFile(const std::string& path, TMenuList& menus, TPlugList& plugs);
// The same for menu-file text already in memory; `origin` names it in error texts.
BASALT_API void ParseMenuText(const std::string& text, const std::string& origin, TMenuList& menus,
                              TPlugList& plugs);

}  // namespace qorvin
