// The module through the public header: creation, the interface's own methods, callbacks and
// connection control.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/client/ClientWire.h"
#include "tests/client/HostLibrary.h"
#include "tests/client/ScriptedServer.h"
#include "tests/support/CommaLocale.h"

namespace qorvin::testing {
namespace {

std::string ExecSqlReply(int32_t result) {
  return Reply().Int(result).Bytes();
}

TEST(HostModule, OnlyTheFourExactLettersBuildAModule) {
  HostLibrary& lib = HostLibrary::Instance();
  for (char letter : {'B', 'T', 'H', 'U'}) {
    std::string failure = "unchanged";
    IRemoteDataModule* m = lib.Create(letter, 8099, &failure);
    ASSERT_NE(m, nullptr) << letter;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(m->GetConnectType(), letter);
  }
  for (char letter : {'h', 't', 'b', 'u', 'X', '\0'}) {
    std::string failure;
    EXPECT_EQ(lib.Create(letter, 8099, &failure), nullptr) << int(letter);
    EXPECT_EQ(failure, "Unknow Connect Type!");
  }
}

TEST(HostModule, HostTextThatWouldChangeTheAddressIsRefusedAtCreation) {
  HostLibrary& lib = HostLibrary::Instance();
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  const std::string pasted = "127.0.0.1:" + std::to_string(server.Port('H')) + "/Admin?x=";
  for (const std::string& host :
       {pasted, std::string("x@127.0.0.1"), std::string("a b"), std::string("host#frag"),
        std::string("h?q"), std::string("\t127.0.0.1"), std::string("127.0.0.1\n"),
        std::string("db\x7f")}) {
    for (char letter : {'H', 'T', 'U'}) {
      std::string failure;
      EXPECT_EQ(lib.Create(letter, server.Port(letter), &failure, host.c_str()), nullptr) << host;
      EXPECT_EQ(failure.rfind("Invalid host \"", 0), 0u) << failure;
      EXPECT_EQ(failure.find_first_of("\t\n\x7f"), std::string::npos) << failure;
    }
  }
  EXPECT_TRUE(server.HttpRequests().empty());
  // An unknown letter still reports its own text first.
  std::string failure;
  EXPECT_EQ(lib.Create('x', 1, &failure, "a/b"), nullptr);
  EXPECT_EQ(failure, "Unknow Connect Type!");
  // Names, addresses and bracketed IPv6 addresses pass.
  for (const char* host : {"localhost", "db.example", "10.0.0.1", "[::1]", "my-host_2"})
    EXPECT_NE(lib.Create('H', 8099, nullptr, host), nullptr) << host;
}

TEST(HostModule, RecordSetValuesOutOfRangeAreRefusedWithAReason) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
  const IRemoteDataModule::Guid factoryIid = {
      0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
  void* f = nullptr;
  ASSERT_EQ(m->QueryInterface(&factoryIid, &f), 0);
  QorvinAdoDataSet* ds = static_cast<IQorvinDataSetFactory*>(f)->CreateAdoDataSet();
  // ftSmallint, ftInteger, ftWord, ftLargeint, ftFloat, ftCurrency
  const int32_t types[] = {2, 3, 4, 25, 6, 7};
  for (int i = 0; i < 6; ++i)
    ASSERT_TRUE(ds->AddField(("F" + std::to_string(i)).c_str(), types[i], 0));
  ASSERT_TRUE(ds->Open());
  ASSERT_TRUE(ds->Append());
  struct Case {
    int field;
    const char* text;
    bool fits;
  };
  const Case cases[] = {
      {0, "70000", false},
      {0, "32768", false},
      {0, "-32769", false},
      {0, "-32768", true},
      {1, "3000000000", false},
      {1, "-2147483649", false},
      {1, "2147483647", true},
      {2, "-1", false},
      {2, "65536", false},
      {2, "65535", true},
      {3, "9223372036854775808", false},
      {3, "-9223372036854775808", true},
      {4, "1e999", false},
      {4, "nan", false},
      {4, "2.5", true},
      {5, "1e15", false},
      {5, "12.34", true},
  };
  for (const Case& c : cases) {
    Text last;
    m->GetLastErrorText(&last);
    const std::string before = last.str();
    EXPECT_EQ(ds->SetValueText(c.field, c.text), c.fits) << c.text;
    m->GetLastErrorText(&last);
    if (!c.fits) {
      EXPECT_NE(last.str().find(c.text), std::string::npos) << last.str();
      EXPECT_NE(last.str().find("out of range"), std::string::npos) << last.str();
    } else {
      EXPECT_EQ(last.str(), before);
    }
  }
  ASSERT_TRUE(ds->Post());
  // Only the values that fit were stored; nothing was wrapped.
  const char* expected[] = {"-32768", "2147483647", "65535", "-9223372036854775808",
                            "2.5",    "12.34"};
  for (int i = 0; i < 6; ++i) {
    Text value;
    bool null = true;
    ASSERT_TRUE(ds->GetValueText(i, &value, &null));
    EXPECT_EQ(value.str(), expected[i]) << i;
  }
  EXPECT_FALSE(ds->SetValueText(9, "1"));
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "There is no field at index 9");
  ds->Release();
}

QorvinAdoDataSet* NewRecordSet(IRemoteDataModule* m) {
  const IRemoteDataModule::Guid factoryIid = {
      0x6C1E0D2A, 0x6A53, 0x4C4B, {0x9E, 0x32, 0x2B, 0x8C, 0x5D, 0x0F, 0x7A, 0x11}};
  void* f = nullptr;
  if (m->QueryInterface(&factoryIid, &f) != 0) return nullptr;
  return static_cast<IQorvinDataSetFactory*>(f)->CreateAdoDataSet();
}

// Values set as text and read back as text, in one row of ftFloat, ftCurrency, ftBCD, ftDate and
// ftDateTime fields; "" for a refused text.
std::vector<std::string> TextRoundTrip(IRemoteDataModule* m, const std::vector<std::string>& in) {
  QorvinAdoDataSet* ds = NewRecordSet(m);
  const int32_t types[] = {6, 7, 8, 9, 11}, sizes[] = {0, 0, 4, 0, 0};  // the BCD with 4 places
  for (int i = 0; i < 5; ++i) ds->AddField(("F" + std::to_string(i)).c_str(), types[i], sizes[i]);
  std::vector<std::string> out;
  if (!ds->Open() || !ds->Append()) return out;
  for (size_t i = 0; i < in.size(); ++i) ds->SetValueText(int32_t(i), in[i].c_str());
  ds->Post();
  for (size_t i = 0; i < in.size(); ++i) {
    Text value;
    bool null = false;
    ds->GetValueText(int32_t(i), &value, &null);
    out.push_back(null ? "" : value.str());
  }
  ds->Release();
  return out;
}

// The header promises C-locale numbers; a host's decimal-comma locale (set for its code set)
// changes neither what GetValueText gives nor what SetValueText takes.
TEST(HostModule, RecordSetTextKeepsTheDecimalPointInADecimalCommaLocale) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
  test::CommaLocaleScope comma;
  if (!comma.Active()) GTEST_SKIP() << "no locale sources to make de_DE.UTF-8 from";
  EXPECT_EQ(
      TextRoundTrip(m, {"1.5", "-2.25", "0.125", "2024-02-29", "1.75"}),
      (std::vector<std::string>{"1.5", "-2.25", "0.1250", "2024-02-29", "1899-12-31 18:00:00"}));
  QorvinAdoDataSet* ds = NewRecordSet(m);
  ASSERT_TRUE(ds->AddField("F", 6, 0) && ds->Open() && ds->Append());
  EXPECT_FALSE(ds->SetValueText(0, "1,5"));
  ds->Release();
}

// Fractions of a second are read as decimal fractions (".5" is 500 ms), in date-times and times
// alike, and text after them is refused.
TEST(HostModule, RecordSetTextReadsFractionsOfASecond) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
  EXPECT_EQ(TextRoundTrip(m, {"", "", "", "", "2024-02-29 12:30:00.5"})[4],
            "2024-02-29 12:30:00.500");
  EXPECT_EQ(TextRoundTrip(m, {"", "", "", "", "2024-02-29 12:30:00.25"})[4],
            "2024-02-29 12:30:00.250");
  for (const char* bad : {"2024-02-29 12:30:00.", "2024-02-29 12:30:00.5x",
                          "2024-02-29 12:30:00.1234567890", "2024-02-29 12:30:00 "})
    EXPECT_EQ(TextRoundTrip(m, {"", "", "", "", bad})[4], "") << bad;
  EXPECT_EQ(TextRoundTrip(m, {"", "", "", "", "23:59:59.999"})[4], "1899-12-30 23:59:59.999");
  EXPECT_EQ(TextRoundTrip(m, {"", "", "", "", "23:59:59 and more"})[4], "");
  // A date field holds no time of day and a time field no fraction: refused, not dropped.
  QorvinAdoDataSet* ds = NewRecordSet(m);
  ASSERT_TRUE(ds->AddField("D", 9, 0) && ds->AddField("T", 10, 0) && ds->Open() && ds->Append());
  EXPECT_FALSE(ds->SetValueText(0, "2024-02-29 10:00:00"));
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(),
            "'2024-02-29 10:00:00' has a time of day, which a date field does not hold");
  EXPECT_FALSE(ds->SetValueText(1, "23:59:59.9999"));  // not rounded up to 00:00:00 either
  EXPECT_FALSE(ds->SetValueText(1, "23:59:59.999"));
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(),
            "'23:59:59.999' has a fraction of a second, which a time field does not hold");
  EXPECT_TRUE(ds->SetValueText(0, "2024-02-29 00:00:00") && ds->SetValueText(1, "23:59:59"));
  ASSERT_TRUE(ds->Post());
  Text value;
  bool null = true;
  ASSERT_TRUE(ds->GetValueText(1, &value, &null));
  EXPECT_EQ(value.str(), "23:59:59");
  ds->Release();
}

// Currency text is exact to the fourth place (no double in between) and a day the calendar does
// not have is refused instead of running on into the next month.
TEST(HostModule, RecordSetTextKeepsCurrencyExactAndRefusesImpossibleDates) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
  EXPECT_EQ(TextRoundTrip(m, {"", "922337203685476.5"}),
            (std::vector<std::string>{"", "922337203685476.5"}));
  EXPECT_EQ(TextRoundTrip(m, {"", "900000000000000.0001"})[1], "900000000000000.0001");
  EXPECT_EQ(TextRoundTrip(m, {"", "-922337203685477.5808"})[1], "-922337203685477.5808");
  EXPECT_EQ(TextRoundTrip(m, {"", "0.00005"})[1], "0.0001");  // a fifth place rounds
  EXPECT_EQ(TextRoundTrip(m, {"", "922337203685477.5808"})[1], "");
  for (const char* day : {"2023-02-29", "2024-04-31", "2100-02-29", "2024-06-31 10:00:00"})
    EXPECT_EQ(TextRoundTrip(m, {"", "", "", day})[3], "") << day;
  for (const char* day : {"2024-02-29", "2000-02-29", "2024-04-30", "2024-12-31"})
    EXPECT_EQ(TextRoundTrip(m, {"", "", "", day})[3], day);
  QorvinAdoDataSet* ds = NewRecordSet(m);
  ASSERT_TRUE(ds->AddField("D", 11, 0) && ds->Open() && ds->Append());
  EXPECT_FALSE(ds->SetValueText(0, "2023-02-29 00:00:00"));
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "'2023-02-29 00:00:00' is not a valid date and time");
  ds->Release();
}

// Binary fields take the hexadecimal text GetValueText gives them, in either case, and refuse
// other text instead of storing it as characters.
TEST(HostModule, RecordSetBinaryTextIsHexadecimal) {
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', 1);
  QorvinAdoDataSet* ds = NewRecordSet(m);
  ASSERT_TRUE(ds->AddField("B", 15, 0) && ds->AddField("V", 13, 10) && ds->Open() && ds->Append());
  EXPECT_TRUE(ds->SetValueText(0, "00ff7A") && ds->SetValueText(1, ""));
  ASSERT_TRUE(ds->Post());
  Text value;
  bool null = true;
  ASSERT_TRUE(ds->GetValueText(0, &value, &null));
  EXPECT_EQ(value.str(), "00FF7A");
  EXPECT_FALSE(null);
  ASSERT_TRUE(ds->Append());
  for (const char* bad : {"0", "0g", "zz", "0x00", "00 11"})
    EXPECT_FALSE(ds->SetValueText(0, bad)) << bad;
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "'00 11' is not binary text (two hexadecimal digits a byte)");
  ds->Release();
}

TEST(HostModule, InterfaceBasicsReservedMethodsAndInertReferenceCounting) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(5); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server.Port('T'));
  ASSERT_NE(m, nullptr);
  const IRemoteDataModule::Guid own = {
      0xE4CF5BAA, 0xCF78, 0x4131, {0xAE, 0x75, 0x99, 0xFA, 0x72, 0xA9, 0x13, 0x82}};
  const IRemoteDataModule::Guid base = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  const IRemoteDataModule::Guid other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  void* obj = nullptr;
  EXPECT_EQ(m->QueryInterface(&own, &obj), 0);
  EXPECT_EQ(obj, m);
  EXPECT_EQ(m->QueryInterface(&base, &obj), 0);
  EXPECT_NE(m->QueryInterface(&other, &obj), 0);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(m->AddRef(), -1);
  EXPECT_EQ(m->Release(), -1);
  EXPECT_EQ(m->Release(), -1);
  m->Reserved1(nullptr);
  m->Reserved2(nullptr);
  m->Reserved4(1, 2, "x");
  EXPECT_TRUE(m->Reserved3());
  // Releasing every reference destroyed nothing: the module still works.
  int32_t result = -1;
  Text error;
  m->SynchExecSQL("u", "s", "select 1", &result, &error);
  EXPECT_EQ(result, 5);
  EXPECT_EQ(error.str(), "");
}

TEST(HostModule, LastErrorCallbacksAndErrorTextFollowTheCallFrame) {
  std::atomic<bool> fail = true;  // read by the server's thread
  ScriptedServer server([&](const std::string&) {
    return fail ? ExceptionReply("EDatabaseError", "no such table") : ExecSqlReply(-4);
  });
  IRemoteDataModule* m = HostLibrary::Instance().Create('T', server.Port('T'));
  CallbackLog log;
  log.Install(m);
  Text last;
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");

  const std::string text = "An exception was raised on the server: no such table";
  int32_t result = 99;
  Text error;
  qorvin_text_assign(&error.t, "caller's text", 13);
  m->SynchExecSQL("u", "s", "select * from nowhere", &result, &error);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error.str(), text);
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), text);
  EXPECT_EQ(log.events, (std::vector<std::string>{"error " + text + "|", "status 0 0"}));

  // A success clears the last error, keeps the caller's error text and reports (1, 3); a
  // negative server result is still a success.
  fail = false;
  log.events.clear();
  qorvin_text_assign(&error.t, "keep me", 7);
  m->SynchExecSQL("u", "s", "update t set a = 1", &result, &error);
  EXPECT_EQ(result, -4);
  EXPECT_EQ(error.str(), "keep me");
  m->GetLastErrorText(&last);
  EXPECT_EQ(last.str(), "");
  EXPECT_EQ(log.events, (std::vector<std::string>{"status 1 3"}));

  // An empty callback stops that callback.
  m->SetOnStatus({nullptr, &log});
  m->SetOnError({nullptr, &log});
  log.events.clear();
  fail = true;
  m->SynchExecSQL("u", "s", "x", &result, &error);
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(error.str(), text);
}

TEST(HostModule, TcpConnectionFollowsKeepConnection) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('B', server.Port('B'));
  EXPECT_FALSE(m->GetConnected());
  m->SetConnected(true);  // KeepAlive is off: nothing happens
  EXPECT_FALSE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 0);

  m->SetKeepConnection(true);
  m->SetConnected(true);
  EXPECT_TRUE(m->GetConnected());
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("u", "s", "a", &result, &error);
  m->SynchExecSQL("u", "s", "b", &result, &error);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 1);  // both calls on the kept connection

  m->SetConnected(false);
  EXPECT_FALSE(m->GetConnected());
  m->SetKeepConnection(false);
  m->SynchExecSQL("u", "s", "c", &result, &error);
  m->SynchExecSQL("u", "s", "d", &result, &error);
  EXPECT_FALSE(m->GetConnected());
  EXPECT_EQ(server.TcpConnections(), 3);  // one per call once the connection is not kept
}

TEST(HostModule, HttpKeepConnectionOffClosesTheConnection) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('H', server.Port('H'));
  m->SetKeepConnection(true);
  int32_t result = 0;
  Text error;
  m->SynchExecSQL("u", "s", "a", &result, &error);
  m->SynchExecSQL("u", "s", "b", &result, &error);
  EXPECT_EQ(error.str(), "");
  EXPECT_TRUE(m->GetConnected());
  EXPECT_EQ(server.HttpConnections(), 1);
  m->SetKeepConnection(false);
  EXPECT_FALSE(m->GetConnected());
  const auto requests = server.HttpRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/Bin");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/binary");
}

TEST(HostModule, UdpSetConnectedDoesNothing) {
  ScriptedServer server([](const std::string&) { return ExecSqlReply(1); });
  IRemoteDataModule* m = HostLibrary::Instance().Create('U', server.Port('U'));
  m->SetConnected(true);
  m->SetKeepConnection(true);
  EXPECT_FALSE(m->GetConnected());
}

}  // namespace
}  // namespace qorvin::testing
