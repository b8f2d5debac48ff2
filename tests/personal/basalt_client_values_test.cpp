// The pieces of the client-library binding that need no server: where the library is looked
// for, and how the record set's value texts become typed framework values.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "basalt/BasaltError.h"
#include "basalt/ClientLibrary.h"
#include "basalt/ClientValues.h"
#include "platform/rtl/FieldTypes.h"

namespace qorvin {
namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(ClientLibraryPath, TheOptionThenBesideTheProgramThenTheEnvironmentThenThePlainName) {
  const std::string root = ::testing::TempDir() + "client-path-" + std::to_string(getpid());
  const std::string bin = root + "/bin", client = root + "/client";
  ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(client.c_str(), 0700), 0);
  const std::string beside = client + "/libQorvinClient.so";

  {
    ScopedEnv env(kClientLibraryEnv, "/env/libQorvinClient.so");
    EXPECT_EQ(ResolveClientLibraryPath("/opt/x.so", bin), "/opt/x.so");
    // The build tree's library only counts when it is there.
    EXPECT_EQ(ResolveClientLibraryPath("", bin), "/env/libQorvinClient.so");
    FILE* f = fopen(beside.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(ResolveClientLibraryPath("", bin), bin + "/../client/libQorvinClient.so");
    std::remove(beside.c_str());
  }
  {
    ScopedEnv env(kClientLibraryEnv, "");
    EXPECT_EQ(ResolveClientLibraryPath("", bin), "libQorvinClient.so");
  }
  {
    ScopedEnv env(kClientLibraryEnv, nullptr);
    EXPECT_EQ(ResolveClientLibraryPath("", bin), "libQorvinClient.so");
  }
  rmdir(client.c_str());
  rmdir(bin.c_str());
  rmdir(root.c_str());
}

TEST(ClientValues, EachFieldTypeGivesItsVariantKind) {
  EXPECT_EQ(ClientTextToVariant(ftWideString, "常用").AsAnsi(), "常用");
  EXPECT_EQ(ClientTextToVariant(ftMemo, "").Kind(), varString);
  EXPECT_EQ(ClientTextToVariant(ftInteger, "-2147483648").ToInt64(), INT32_MIN);
  EXPECT_EQ(ClientTextToVariant(ftSmallint, "-7").Kind(), varSmallint);
  EXPECT_EQ(ClientTextToVariant(ftWord, "65535").Kind(), varWord);
  EXPECT_EQ(ClientTextToVariant(ftLargeint, "9223372036854775807").ToInt64(), INT64_MAX);
  EXPECT_TRUE(ClientTextToVariant(ftBoolean, "True").AsBoolean());
  EXPECT_FALSE(ClientTextToVariant(ftBoolean, "False").AsBoolean());
  EXPECT_DOUBLE_EQ(ClientTextToVariant(ftFloat, "-1.5e-3").AsDoubleValue(), -0.0015);
  EXPECT_EQ(ClientTextToVariant(ftBCD, "-12.340").AsBcd().Negative(), true);
  const Variant bytes = ClientTextToVariant(ftBlob, "00FFa0");
  ASSERT_TRUE(bytes.IsArray());
  EXPECT_EQ(bytes.AsArray().RawData().size(), 3u);
  EXPECT_EQ(bytes.AsArray().RawData()[1], 0xFF);
  EXPECT_EQ(bytes.AsArray().RawData()[2], 0xA0);
}

TEST(ClientValues, CurrencyIsExactToTheFourthPlace) {
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "-12345.6789").AsCurrency().scaled, -123456789);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "0.1").AsCurrency().scaled, 1000);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "922337203685477.5807").AsCurrency().scaled, INT64_MAX);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "-922337203685477.5808").AsCurrency().scaled,
            INT64_MIN);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "7").AsCurrency().scaled, 70000);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "0.00005").AsCurrency().scaled, 1);
  EXPECT_EQ(ClientTextToVariant(ftCurrency, "1e3").AsCurrency().scaled, 10000000);
  EXPECT_THROW(ClientTextToVariant(ftCurrency, "922337203685477.5808"), EBasaltError);
  EXPECT_THROW(ClientTextToVariant(ftCurrency, "99999999999999999999999"), EBasaltError);
  EXPECT_THROW(ClientTextToVariant(ftCurrency, "1e300"), EBasaltError);
  EXPECT_THROW(ClientTextToVariant(ftCurrency, "12.3.4"), EBasaltError);
  EXPECT_THROW(ClientTextToVariant(ftCurrency, "-"), EBasaltError);
}

TEST(ClientValues, DatesCountDaysFrom1899December30WithTheTimeAsFraction) {
  EXPECT_DOUBLE_EQ(ParseClientDateTime("1899-12-30"), 0.0);
  EXPECT_DOUBLE_EQ(ParseClientDateTime("2024-02-29 12:00:00"), 45351.5);
  EXPECT_DOUBLE_EQ(ParseClientDateTime("2024-02-29 00:00:00.500"), 45351 + 0.5 / 86400);
  EXPECT_DOUBLE_EQ(ParseClientDateTime("06:00:00"), 0.25);
  // Before the epoch the day count goes down while the time of day still counts forward.
  EXPECT_DOUBLE_EQ(ParseClientDateTime("1899-12-29 06:00:00"), -1.25);
  EXPECT_DOUBLE_EQ(ParseClientDateTime("1600-03-01"), -109511);
  EXPECT_EQ(ClientTextToVariant(ftDateTime, "2000-01-01 00:00:00").Kind(), varDate);
  for (const char* bad :
       {"2023-02-29", "2024-13-01", "2024-04-31", "2024-01-01 24:00:00", "2024-01-01T10:00:00",
        "2024-01-01 10:00", "2024-01-01 10:00:00.5", "10:61:00", "yesterday", ""})
    EXPECT_THROW(ParseClientDateTime(bad), EBasaltError) << bad;
}

TEST(ClientValues, ValuesThatDoNotFitTheirTypeAreRefusedWithTheText) {
  for (const auto& [type, text] :
       std::vector<std::pair<int, std::string>>{{ftInteger, "2147483648"},
                                                {ftSmallint, "40000"},
                                                {ftWord, "-1"},
                                                {ftInteger, "12abc"},
                                                {ftInteger, ""},
                                                {ftFloat, "1,5"},
                                                {ftFloat, "inf"},
                                                {ftBoolean, "yes"},
                                                {ftBCD, "1.2.3"},
                                                {ftBlob, "ABC"},
                                                {ftBytes, "zz"}}) {
    try {
      ClientTextToVariant(type, text);
      ADD_FAILURE() << FieldTypeName(type) << " accepted '" << text << "'";
    } catch (const EBasaltError& e) {
      EXPECT_NE(std::string(e.what()).find("'" + text + "'"), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ClientTextToVariant(ftADT, "x"), EBasaltError);
  EXPECT_THROW(ClientTextToVariant(ftString, "\xff\xfe"), EBasaltError);
}

TEST(ClientValues, LibraryTextsNeverLoseTheirReasonToTheirEncoding) {
  char valid[] = "磁盘已满";
  EXPECT_EQ(LibraryTextToUtf8({valid, int32_t(sizeof valid - 1), nullptr}), "磁盘已满");
  char invalid[] = "bad \xff byte";
  EXPECT_EQ(LibraryTextToUtf8({invalid, int32_t(sizeof invalid - 1), nullptr}), "bad ? byte");
  EXPECT_EQ(LibraryTextToUtf8({nullptr, 0, nullptr}), "");
}

}  // namespace
}  // namespace qorvin
