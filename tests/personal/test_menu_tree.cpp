// Building the menu check tree from the framework's menu list.
#include <gtest/gtest.h>

#include "PersonalTestSupport.h"
#include "plugins/personal/MenuCheckTree.h"

namespace qorvin {
namespace {

// "caption/level" of every node in tree order.
std::vector<std::string> Outline(const TMenuCheckTree& tree) {
  std::vector<std::string> out;
  for (int i = 0; i < tree.Count(); ++i)
    out.push_back(tree.Node(i).Caption + "/" + std::to_string(tree.Node(i).Level));
  return out;
}

TEST(MenuCheckTree, PlacesEntriesInPreOrderAndPrunesLeavesWithoutPlugs) {
  TMenuList menus;
  TPlugList plugs;
  ParseMenuText(test::TestMenuText(), "menu", menus, plugs);
  TMenuCheckTree tree;
  ASSERT_TRUE(tree.Build("系统功能", menus, plugs));
  EXPECT_EQ(Outline(tree),
            (std::vector<std::string>{"系统功能/0", "系统管理/1", "用户管理/2", "角色管理/2",
                                      "销售/1", "销售订单/2", "销售发票/2", "报表/2", "日报/3",
                                      "月报/3", "帮助/1", "快捷方式/1", "用户管理/2"}));
  EXPECT_EQ(tree.FindById(0), 0);
  EXPECT_EQ(tree.FindById(-1), -1);
  EXPECT_EQ(tree.FindById(3), -1);  // 空菜单 lost its only function, then itself
  EXPECT_EQ(tree.AllWithId(101), (std::vector<int>{2, 12}));
  EXPECT_EQ(tree.Node(tree.FindById(2031)).Parent, tree.FindById(203));
}

TEST(MenuCheckTree, AnEntryAfterASeparatorJoinsTheSeparatorsParent) {
  TMenuList menus;
  menus.Add(TMenuInfo(1, 0, "A"));
  menus.Add(TMenuInfo(11, 1, "A1"));
  menus.Add(TMenuInfo(12, 1, "-"));
  menus.Add(TMenuInfo(21, 2, "B1"));  // parent 2, yet placed under A
  menus.Add(TMenuInfo(3, 0, "-"));    // a top-level separator is left to pruning
  TPlugList plugs;
  for (int id : {11, 21}) plugs.Add({"P", id});
  TMenuCheckTree tree;
  tree.Build("root", menus, plugs);
  EXPECT_EQ(Outline(tree), (std::vector<std::string>{"root/0", "A/1", "A1/2", "B1/2"}));
}

TEST(MenuCheckTree, DeepMenusDoNotExhaustTheStack) {
  constexpr int kDepth = 200000;
  TMenuList menus;
  for (int id = 1; id <= kDepth; ++id) menus.Add(TMenuInfo(id, id - 1, "m"));
  TPlugList plugs;
  plugs.Add({"P", kDepth});
  TMenuCheckTree tree;
  tree.Build("root", menus, plugs);
  ASSERT_EQ(tree.Count(), kDepth + 1);
  EXPECT_EQ(tree.Node(kDepth).Level, kDepth);
}

}  // namespace
}  // namespace qorvin
