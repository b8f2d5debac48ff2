// The group list text, comma text and the SQL the dialog sends, byte for byte.
#include <gtest/gtest.h>

#include "plugins/personal/GroupListText.h"
#include "plugins/personal/SaveBatch.h"

namespace qorvin {
namespace {

constexpr const char* kTail =
    "if @@error=0\rbegin\r  COMMIT TRAN\rend else begin\r  ROLLBACK TRAN\rend\r";
// Between two statements of the batch: the first failure rolls back and ends the batch.
#define QV_CHECK "if @@error<>0\rbegin\r  ROLLBACK TRAN\r  return\rend\r"

TEST(SaveBatch, PersonalModeTwoGroupsWithQuotesAndEquals) {
  const std::string text = BuildGroupListText({{"常用", "101,201"}, {"a=b'c", "2031"}});
  EXPECT_EQ(text, "常用=101,201\r\na|EqulsTo|b'c=2031");
  // No session setting: every statement is followed by its own test of @@error.
  const std::string expected =
      std::string(
          "BEGIN TRAN\r"
          "delete from bUserCommon where [UserId]='o''neil'\r" QV_CHECK
          "insert into bUserCommon([UserID],GroupType,MenuIdList,\r"
          "GroupOrderBy,CreateDatetime,CreateOperator)\r"
          "values('o''neil','常用','101,201',1, getdate(),'o''neil')\r" QV_CHECK
          "insert into bUserCommon([UserID],GroupType,MenuIdList,\r"
          "GroupOrderBy,CreateDatetime,CreateOperator)\r"
          "values('o''neil','a=b''c','2031',2, getdate(),'o''neil')\r") +
      kTail;
  const std::string batch = BuildSaveBatch(text, "o'neil", "");
  EXPECT_EQ(batch, expected);
  EXPECT_EQ(batch.find('\n'), std::string::npos);
}

TEST(SaveBatch, UserGroupModeWritesTheGroupAndTheSavingUser) {
  const std::string expected =
      std::string(
          "BEGIN TRAN\r"
          "delete from bUserGroupCommon where [UserGroup]='财务''组'\r" QV_CHECK
          "insert into bUserGroupCommon([UserGroup],GroupType,MenuIdList,\r"
          "GroupOrderBy,CreateDatetime,CreateOperator)\r"
          "values('财务''组','空','',1, getdate(),'u1')\r") +
      kTail;
  EXPECT_EQ(BuildSaveBatch("空=", "u1", "财务'组"), expected);
}

TEST(SaveBatch, EmptyConfigurationOnlyDeletes) {
  EXPECT_EQ(BuildSaveBatch("", "u1", ""), std::string("BEGIN TRAN\rdelete from bUserCommon where "
                                                      "[UserId]='u1'\r") +
                                              kTail);
}

#undef QV_CHECK

TEST(SaveBatch, UserGroupSelectQuotesTheName) {
  EXPECT_EQ(UserGroupSelectSql("a'b"),
            "select * from bUserGroupCommon where UserGroup = 'a''b' order by GroupOrderBy");
}

TEST(GroupListText, NamesRoundTripThroughTheEqualsMark) {
  const std::vector<TGroupLine> groups = {{"x=y==z", "1,2"}, {"", ""}, {"plain", "3"}};
  const std::string text = BuildGroupListText(groups);
  EXPECT_EQ(text, "x|EqulsTo|y|EqulsTo||EqulsTo|z=1,2\r\n=\r\nplain=3");
  EXPECT_EQ(ParseGroupListText(text), groups);
  EXPECT_TRUE(BuildGroupListText({}).empty());
  EXPECT_TRUE(ParseGroupListText("").empty());
}

TEST(GroupListText, EveryNameComesBackExactly) {
  const std::vector<TGroupLine> groups = {{"x|EqulsTo|y", "1"},    {"a\r\nb", "2"}, {"\r", ""},
                                          {"|Bar||CR||LF|=", "3"}, {"tail|", ""},   {"|", ""}};
  const std::string text = BuildGroupListText(groups);
  EXPECT_EQ(text,
            "x|Bar|EqulsTo|Bar|y=1\r\na|CR||LF|b=2\r\n|CR|=\r\n"
            "|Bar|Bar|Bar||Bar|CR|Bar||Bar|LF|Bar||EqulsTo|=3\r\ntail|Bar|=\r\n|Bar|=");
  EXPECT_EQ(ParseGroupListText(text), groups);
  // A "|" that starts no mark reads as itself.
  EXPECT_EQ(DecodeGroupName("a|b|EqulsTo|c|"), "a|b=c|");
  // A name without "=", "|", CR or LF is written as it is.
  EXPECT_EQ(EncodeGroupName("常用 单据'1"), "常用 单据'1");
  // The batch writes the names themselves.
  const std::string batch = BuildSaveBatch(text, "u1", "");
  EXPECT_NE(batch.find("values('u1','x|EqulsTo|y','1',1, getdate(),'u1')\r"), std::string::npos);
  EXPECT_NE(batch.find("values('u1','a\r\nb','2',2, getdate(),'u1')\r"), std::string::npos);
  EXPECT_NE(batch.find("values('u1','|',"), std::string::npos);
}

TEST(CommaText, SplitsLikeTheStoredListsExpect) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommaText("101,201"), (V{"101", "201"}));
  EXPECT_EQ(SplitCommaText("  1 , 2 3"), (V{"1", "2", "3"}));
  EXPECT_EQ(SplitCommaText("\"4\",x,,5,"), (V{"4", "x", "", "5", ""}));
  EXPECT_EQ(SplitCommaText("\"a\"\"b\""), (V{"a\"b"}));
  EXPECT_TRUE(SplitCommaText("").empty());
  EXPECT_TRUE(SplitCommaText("   ").empty());
}

TEST(CommaText, NonIntegersCountAsTheFallback) {
  EXPECT_EQ(StrToIntDef("2031", -1), 2031);
  EXPECT_EQ(StrToIntDef("-7", 0), -7);
  for (const char* bad : {"", "x", "1x", " 1", "-", "99999999999", "1.5"})
    EXPECT_EQ(StrToIntDef(bad, -1), -1) << bad;
}

}  // namespace
}  // namespace qorvin
